#include "target/command_parser.h"

#include <limits>

namespace lodemig::target {

namespace {

bool isAtomChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7f && c != '(' && c != ')' && c != '"' && c != '{';
}

}  // namespace

LiteralAnnouncement findLiteralAnnouncement(std::string_view line) {
  LiteralAnnouncement literal;
  if (line.size() < 3 || line.back() != '}') {
    return literal;
  }
  std::size_t last = line.size() - 1;
  const bool plus = line[last - 1] == '+';
  if (plus) {
    --last;
  }
  std::size_t first = last;
  while (first > 0 && line[first - 1] >= '0' && line[first - 1] <= '9') {
    --first;
  }
  if (first == last || first == 0 || line[first - 1] != '{') {
    return literal;
  }
  std::uint64_t size = 0;
  for (std::size_t i = first; i < last; ++i) {
    const unsigned digit = static_cast<unsigned>(line[i] - '0');
    if (size > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      size = std::numeric_limits<std::uint64_t>::max();
      break;
    }
    size = size * 10 + digit;
  }
  literal.present = true;
  literal.synchronizing = !plus;
  literal.size = size;
  literal.start = first - 1;
  return literal;
}

void CommandParser::reset() {
  count_ = 0;
  open_.clear();
  topLevel_ = 0;
  piece_ = 0;
  hasMessage_ = false;
  error_.clear();
}

Token& CommandParser::push(Token::Kind kind) {
  if (count_ == tokens_.size()) {
    tokens_.emplace_back();
  }
  Token& token = tokens_[count_];
  token.kind = kind;
  token.text.clear();
  ++count_;
  token.end = count_;
  if (open_.empty()) {
    ++topLevel_;
  }
  return token;
}

bool CommandParser::fail(const char* message) {
  if (error_.empty()) {
    error_ = message;
  }
  return false;
}

bool CommandParser::feed(std::string_view text) {
  if (failed()) {
    return false;
  }
  ++piece_;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == ' ') {
      ++pos;
    } else if (c == '(') {
      push(Token::Kind::kList);
      open_.push_back(OpenList{count_ - 1, piece_, pos + 1});
      ++pos;
    } else if (c == ')') {
      if (open_.empty()) {
        return fail("Unbalanced parenthesis");
      }
      const OpenList list = open_.back();
      open_.pop_back();
      Token& token = tokens_[list.index];
      token.end = count_;
      if (list.piece == piece_) {
        token.text.assign(text.substr(list.start, pos - list.start));
      } else {
        // A list that spans a literal has no single raw text; its items are
        // joined instead.
        for (std::size_t i = list.index + 1; i < count_; i = tokens_[i].end) {
          if (!token.text.empty()) {
            token.text += ' ';
          }
          token.text += tokens_[i].text;
        }
      }
      ++pos;
    } else if (c == '"') {
      Token& token = push(Token::Kind::kString);
      ++pos;
      for (;;) {
        if (pos >= text.size()) {
          return fail("Unterminated quoted string");
        }
        char q = text[pos++];
        if (q == '"') {
          break;
        }
        if (q == '\\') {
          if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\\')) {
            return fail("Bad escape in quoted string");
          }
          q = text[pos++];
        } else if (q == '\r' || q == '\0') {
          return fail("Bad character in quoted string");
        }
        token.text += q;
      }
    } else if (isAtomChar(c)) {
      const std::size_t start = pos;
      while (pos < text.size() && isAtomChar(text[pos])) {
        ++pos;
      }
      push(Token::Kind::kAtom).text.assign(text.substr(start, pos - start));
    } else {
      return fail("Bad character in command");
    }
  }
  return true;
}

void CommandParser::addLiteral(std::string_view bytes) {
  if (!failed()) {
    push(Token::Kind::kString).text.assign(bytes);
  }
}

void CommandParser::addMessage() {
  if (!failed()) {
    push(Token::Kind::kMessage);
    hasMessage_ = true;
  }
}

bool CommandParser::finish() {
  if (failed()) {
    return false;
  }
  return open_.empty() || fail("Unbalanced parenthesis");
}

}  // namespace lodemig::target
