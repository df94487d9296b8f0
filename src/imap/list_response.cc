#include "imap/list_response.h"

#include <cstring>

#include "utils/ascii.h"

namespace lodemig {
namespace {

// The characters of atoms, which here also stand for flags, numbers and
// sequence sets: "%", "*" and "]" are taken, since servers put them in
// extended data, and bytes above 0x7f, since a server that speaks UTF-8
// writes names with them.
bool isAtomChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte <= 0x20 || byte == 0x7F) {
    return false;
  }
  return c != '(' && c != ')' && c != '{' && c != '"' && c != '\\';
}

// Reads `text_` left to right; every step checks the end first. The readers
// that take a `std::string*` append what they read to it, or only skip it
// when it is null.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool atEnd() const { return at_ == text_.size(); }
  bool peekIs(char c) const { return at_ < text_.size() && text_[at_] == c; }

  bool take(char c) {
    if (!peekIs(c)) {
      return false;
    }
    ++at_;
    return true;
  }

  // Takes `word` in any ASCII case.
  bool takeWord(std::string_view word) {
    if (text_.size() - at_ < word.size() ||
        !ostrel::utils::equalsIgnoreCase(text_.substr(at_, word.size()), word)) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  // One or more atom characters.
  bool atom(std::string* out) {
    const std::size_t start = at_;
    while (at_ < text_.size() && isAtomChar(text_[at_])) {
      ++at_;
    }
    if (out != nullptr) {
      out->append(text_.substr(start, at_ - start));
    }
    return at_ > start;
  }

  // A double-quoted string; only \" and \\ are escapes.
  bool quoted(std::string* out) {
    if (!take('"')) {
      return false;
    }
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') {
        return true;
      }
      if (c == '\\') {
        if (at_ == text_.size() || (text_[at_] != '"' && text_[at_] != '\\')) {
          return false;
        }
        c = text_[at_++];
      } else if (c == '\r' || c == '\n' || c == '\0') {
        return false;
      }
      if (out != nullptr) {
        *out += c;
      }
    }
    return false;
  }

  // "{n}", the line end the reader kept, and n bytes. The count is checked
  // against what is left before it can overflow.
  bool literal(std::string* out) {
    if (!take('{')) {
      return false;
    }
    std::size_t count = 0;
    const std::size_t digitsStart = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      count = count * 10 + static_cast<std::size_t>(text_[at_] - '0');
      ++at_;
      if (count > text_.size()) {
        return false;
      }
    }
    if (at_ == digitsStart || !take('}')) {
      return false;
    }
    take('\r');
    if (!take('\n') || text_.size() - at_ < count) {
      return false;
    }
    const std::string_view bytes = text_.substr(at_, count);
    if (std::memchr(bytes.data(), '\0', bytes.size()) != nullptr) {
      return false;
    }
    if (out != nullptr) {
      out->append(bytes);
    }
    at_ += count;
    return true;
  }

  bool astring(std::string* out) {
    if (peekIs('"')) {
      return quoted(out);
    }
    if (peekIs('{')) {
      return literal(out);
    }
    return atom(out);
  }

  // A parenthesized list of atoms, strings and lists, one space between
  // items. A loop with a depth count rather than recursion, so that a
  // server cannot exhaust the stack with nesting.
  bool skipList() {
    if (!take('(')) {
      return false;
    }
    std::size_t depth = 1;
    bool afterOpen = true;
    while (depth > 0) {
      if (take('(')) {
        ++depth;
        afterOpen = true;
        continue;
      }
      if (!(afterOpen && peekIs(')')) && !astring(nullptr)) {
        return false;
      }
      afterOpen = false;
      // Lists close, then a space leads to the next item.
      while (depth > 0 && take(')')) {
        --depth;
      }
      if (depth > 0 && !take(' ')) {
        return false;
      }
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

bool readAttributes(Cursor& in, std::vector<std::string>& attributes) {
  attributes.clear();
  if (!in.take('(')) {
    return false;
  }
  if (in.take(')')) {
    return true;
  }
  for (;;) {
    std::string& attribute = attributes.emplace_back();
    if (in.take('\\')) {
      attribute += '\\';
    }
    if (!in.atom(&attribute)) {
      return false;
    }
    if (in.take(')')) {
      return true;
    }
    if (!in.take(' ')) {
      return false;
    }
  }
}

bool readSeparator(Cursor& in, std::string& separator) {
  separator.clear();
  if (in.takeWord("NIL")) {
    return true;
  }
  return in.quoted(&separator) && separator.size() == 1 &&
         static_cast<unsigned char>(separator[0]) < 0x80;
}

}  // namespace

bool parseListResponse(const std::string& response, ListEntry& entry) {
  Cursor in(response);
  if (!in.take('*') || !in.take(' ') || !(in.takeWord("LIST") || in.takeWord("LSUB")) ||
      !in.take(' ') || !readAttributes(in, entry.attributes) || !in.take(' ') ||
      !readSeparator(in, entry.separator) || !in.take(' ')) {
    return false;
  }
  entry.name.clear();
  if (!in.astring(&entry.name)) {
    return false;
  }
  if (in.atEnd()) {
    return true;
  }
  return in.take(' ') && in.skipList() && in.atEnd();
}

bool hasAttribute(const ListEntry& entry, std::string_view attribute) {
  for (const std::string& candidate : entry.attributes) {
    if (ostrel::utils::equalsIgnoreCase(candidate, attribute)) {
      return true;
    }
  }
  return false;
}

}  // namespace lodemig
