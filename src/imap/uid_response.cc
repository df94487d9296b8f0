#include "imap/uid_response.h"

#include <algorithm>
#include <charconv>

#include "imap/message_summary.h"
#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

bool readUnsigned(std::string_view text, std::uint64_t& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

// The number after "[<code> " at the start of `text`; false without one.
bool codeNumber(std::string_view text, std::string_view code, std::uint64_t& value) {
  if (text.size() < code.size() + 2 || text[0] != '[' ||
      !equalsIgnoreCase(text.substr(1, code.size()), code) || text[code.size() + 1] != ' ') {
    return false;
  }
  text.remove_prefix(code.size() + 2);
  return readUnsigned(text.substr(0, std::min(text.find_first_of(" ]"), text.size())), value);
}

// Reads one FETCH item value at `at`: a number or atom, a quoted string, a
// parenthesized list or a literal. Sets `value` to the number, the string's
// or literal's contents, or the raw text of anything else. False when it is
// cut short.
bool readValue(std::string_view text, std::size_t& at, std::string& value) {
  value.clear();
  if (at >= text.size()) {
    return false;
  }
  if (text[at] == '"') {
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) {
        ++at;
      }
      value += text[at];
    }
    return at++ < text.size();
  }
  if (text[at] == '{') {
    const std::size_t close = text.find('}', at);
    std::uint64_t size = 0;
    if (close == std::string_view::npos ||
        !readUnsigned(text.substr(at + 1, close - at - 1), size) ||
        text.substr(close + 1, 2) != "\r\n" || text.size() - (close + 3) < size) {
      return false;
    }
    value.assign(text.substr(close + 3, size));
    at = close + 3 + size;
    return true;
  }
  if (text[at] == '(') {
    const std::size_t start = at;
    int depth = 0;
    // Bounded by the text; quoted parentheses do not occur in the items read here.
    for (; at < text.size(); ++at) {
      depth += text[at] == '(' ? 1 : text[at] == ')' ? -1 : 0;
      if (depth == 0) {
        break;
      }
    }
    if (at >= text.size()) {
      return false;
    }
    value.assign(text.substr(start, ++at - start));
    return true;
  }
  const std::size_t start = at;
  while (at < text.size() && text[at] != ' ' && text[at] != ')') {
    ++at;
  }
  value.assign(text.substr(start, at - start));
  return true;
}

// The item name at `at`: an atom, and a section in brackets with what it holds.
std::string_view itemName(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && text[at] != ' ' && text[at] != '[' && text[at] != ')') {
    ++at;
  }
  if (at < text.size() && text[at] == '[') {
    const std::size_t close = text.find(']', at);
    at = close == std::string_view::npos ? text.size() : close + 1;
  }
  return text.substr(start, at - start);
}

}  // namespace

bool parseAppendUid(std::string_view taggedLine, std::uint64_t& uidValidity, std::uint64_t& uid) {
  const std::size_t open = taggedLine.find('[');
  if (open == std::string_view::npos) {
    return false;
  }
  std::string_view code = taggedLine.substr(open);
  std::uint64_t validity = 0;
  if (!codeNumber(code, "APPENDUID", validity)) {
    return false;
  }
  code.remove_prefix(std::string_view("[APPENDUID ").size());
  code.remove_prefix(std::min(code.find(' '), code.size()));
  const std::size_t close = code.find(']');
  std::uint64_t number = 0;
  if (close == std::string_view::npos || !readUnsigned(code.substr(1, close - 1), number) ||
      validity == 0 || number == 0) {
    return false;
  }
  uidValidity = validity;
  uid = number;
  return true;
}

namespace {

// Adds the UIDs `range` ("n" or "n:m", either way round) names, ascending,
// to `uids` while it holds no more than `count`; false when it cannot be read
// or names too many.
bool addUidRange(std::string_view range, std::size_t count, std::vector<std::uint64_t>& uids) {
  const std::size_t colon = range.find(':');
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (!readUnsigned(range.substr(0, colon), first) ||
      !readUnsigned(
          colon == std::string_view::npos ? range.substr(0, colon) : range.substr(colon + 1),
          last) ||
      first == 0 || last == 0) {
    return false;
  }
  if (first > last) {
    std::swap(first, last);
  }
  // Bounded by `count`, however wide the range claims to be.
  if (last - first >= count - uids.size()) {
    return false;
  }
  for (std::uint64_t uid = first; uid <= last; ++uid) {
    uids.push_back(uid);
  }
  return true;
}

}  // namespace

bool parseAppendUidSet(std::string_view taggedLine, std::size_t count, std::uint64_t& uidValidity,
                       std::vector<std::uint64_t>& uids) {
  const std::size_t open = taggedLine.find('[');
  std::uint64_t validity = 0;
  if (open == std::string_view::npos || count == 0 ||
      !codeNumber(taggedLine.substr(open), "APPENDUID", validity) || validity == 0) {
    return false;
  }
  std::string_view code = taggedLine.substr(open + std::string_view("[APPENDUID ").size());
  code.remove_prefix(std::min(code.find(' '), code.size()));
  const std::size_t close = code.find(']');
  if (code.empty() || close == std::string_view::npos) {
    return false;
  }
  std::string_view set = code.substr(1, close - 1);
  std::vector<std::uint64_t> found;
  while (!set.empty()) {
    const std::size_t comma = set.find(',');
    if (!addUidRange(set.substr(0, comma), count, found)) {
      return false;
    }
    set.remove_prefix(comma == std::string_view::npos ? set.size() : comma + 1);
  }
  if (found.size() != count) {
    return false;
  }
  uidValidity = validity;
  uids = std::move(found);
  return true;
}

void readSelectResponses(const std::vector<std::string>& untagged, FolderUidState& state) {
  for (const std::string& response : untagged) {
    const std::string_view text(response);
    if (text.substr(0, 5) == "* OK ") {
      codeNumber(text.substr(5), "UIDVALIDITY", state.uidValidity);
      codeNumber(text.substr(5), "UIDNEXT", state.uidNext);
    }
    const std::size_t space = text.find(' ', 2);
    std::uint64_t count = 0;
    if (text.substr(0, 2) == "* " && space != std::string_view::npos &&
        equalsIgnoreCase(text.substr(space), " EXISTS") &&
        readUnsigned(text.substr(2, space - 2), count)) {
      state.messages = static_cast<std::int64_t>(count);
    }
  }
}

bool parseStatusResponse(std::string_view response, FolderUidState& state) {
  if (response.size() < 9 || !equalsIgnoreCase(response.substr(0, 9), "* STATUS ")) {
    return false;
  }
  // The item list is the last parenthesized part: a folder name may hold
  // parentheses only when quoted, and then before it.
  const std::size_t open = response.rfind('(');
  const std::size_t close = response.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return false;
  }
  std::string_view items = response.substr(open + 1, close - open - 1);
  FolderUidState read = state;
  while (!items.empty()) {
    const std::size_t nameEnd = items.find(' ');
    if (nameEnd == std::string_view::npos) {
      return false;
    }
    const std::string_view name = items.substr(0, nameEnd);
    items.remove_prefix(nameEnd + 1);
    const std::size_t valueEnd = std::min(items.find(' '), items.size());
    std::uint64_t value = 0;
    if (!readUnsigned(items.substr(0, valueEnd), value)) {
      return false;
    }
    items.remove_prefix(std::min(valueEnd + 1, items.size()));
    if (equalsIgnoreCase(name, "MESSAGES")) {
      read.messages = static_cast<std::int64_t>(value);
    } else if (equalsIgnoreCase(name, "UIDNEXT")) {
      read.uidNext = value;
    } else if (equalsIgnoreCase(name, "UIDVALIDITY")) {
      read.uidValidity = value;
    }
  }
  state = read;
  return true;
}

bool parseFetchFingerprint(std::string_view response, MessageFingerprint& fingerprint) {
  const std::size_t fetch = response.find(" FETCH (");
  if (response.substr(0, 2) != "* " || fetch == std::string_view::npos) {
    return false;
  }
  MessageFingerprint read;
  bool haveUid = false, haveSize = false, haveDate = false, haveId = false;
  std::size_t at = fetch + 8;
  std::string value;
  // Each turn takes one name and its value, so the loop ends with the text.
  while (at < response.size() && response[at] != ')') {
    const std::string_view name = itemName(response, at);
    if (name.empty() || at >= response.size() || response[at] != ' ') {
      return false;
    }
    ++at;
    if (!readValue(response, at, value)) {
      return false;
    }
    if (equalsIgnoreCase(name, "UID")) {
      haveUid = readUnsigned(value, read.uid);
    } else if (equalsIgnoreCase(name, "RFC822.SIZE")) {
      haveSize = readUnsigned(value, read.size);
    } else if (equalsIgnoreCase(name, "INTERNALDATE")) {
      haveDate = parseImapDateTime(value, read.date);
    } else if (equalsIgnoreCase(name, "BODY[HEADER.FIELDS (MESSAGE-ID)]")) {
      read.messageId = value == "NIL" ? std::string() : messageIdOfHeader(value);
      haveId = true;
    }
    while (at < response.size() && response[at] == ' ') {
      ++at;
    }
  }
  if (!(haveUid && haveSize && haveDate && haveId) || at >= response.size()) {
    return false;
  }
  fingerprint = read;
  return true;
}

std::string messageIdOfHeader(std::string_view header) {
  constexpr std::string_view kName = "message-id:";
  std::string unfolded;
  for (const char c : header) {
    if (c != '\r' && c != '\n') {
      unfolded += c == '\t' ? ' ' : c;
    } else if (c == '\n') {
      unfolded += '\n';
    }
  }
  // After unfolding, a line that starts with a blank continues the one before.
  std::string joined;
  for (std::size_t i = 0; i < unfolded.size(); ++i) {
    if (unfolded[i] == '\n' && i + 1 < unfolded.size() && unfolded[i + 1] == ' ') {
      continue;
    }
    joined += unfolded[i];
  }
  const std::string_view text(joined);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    if (line.size() >= kName.size() && equalsIgnoreCase(line.substr(0, kName.size()), kName)) {
      std::string_view body = line.substr(kName.size());
      const std::size_t first = body.find_first_not_of(' ');
      if (first == std::string_view::npos) {
        return {};
      }
      body = body.substr(first);
      return std::string(body.substr(0, body.find_last_not_of(' ') + 1));
    }
    at = end + 1;
  }
  return {};
}

std::string uidSetText(std::vector<std::uint64_t> uids) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  std::string text;
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t last = i;
    while (last + 1 < uids.size() && uids[last + 1] == uids[last] + 1) {
      ++last;
    }
    text.append(text.empty() ? "" : ",").append(std::to_string(uids[i]));
    if (last > i) {
      text.append(":").append(std::to_string(uids[last]));
    }
    i = last + 1;
  }
  return text;
}

}  // namespace lodemig
