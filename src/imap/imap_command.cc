#include "imap/imap_command.h"

#include <charconv>
#include <cstring>

namespace lodemig {

namespace {

void stripLineEnd(std::string& text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  if (!text.empty() && text.back() == '\r') {
    text.pop_back();
  }
}

}  // namespace

void ImapCommand::start(std::string_view tag, std::string_view name) {
  synchronizing_ = false;
  open_ = false;
  tag_.assign(tag.data(), tag.size());
  line_.assign(tag.data(), tag.size());
  addAtom(name);
  content_ = nullptr;
  announcedSize_ = 0;
  lineFinished_ = false;
  completed_ = false;
  status_ = CommandStatus::Bad;
  untaggedLines_.clear();
  finalLine_.clear();
}

void ImapCommand::appendAtom(std::string& line, std::string_view text) {
  if (!line.empty()) {
    line += ' ';
  }
  line += text;
}

void ImapCommand::appendQuoted(std::string& line, std::string_view text) {
  if (!line.empty()) {
    line += ' ';
  }
  line += '"';
  // Runs without a special character are copied whole; each special one
  // gets its backslash and starts the next run.
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* at = run; at != end; ++at) {
    if (*at == '"' || *at == '\\') {
      line.append(run, static_cast<std::size_t>(at - run));
      line += '\\';
      run = at;
    }
  }
  line.append(run, static_cast<std::size_t>(end - run));
  line += '"';
}

void ImapCommand::appendParenthesized(std::string& line, std::string_view text) {
  if (!line.empty()) {
    line += ' ';
  }
  line += '(';
  line += text;
  line += ')';
}

void ImapCommand::appendQuotedList(std::string& line, const std::vector<std::string>& items) {
  if (!line.empty()) {
    line += ' ';
  }
  line += '(';
  bool first = true;
  for (const std::string& item : items) {
    // The quoted item brings its own space (the line is never empty here),
    // so every item after the first stands two spaces from the previous one.
    if (!first) {
      line += ' ';
    }
    first = false;
    appendQuoted(line, item);
  }
  line += ')';
}

void ImapCommand::appendLiteral(std::string& line, std::string_view bytes) {
  if (!line.empty()) {
    line += ' ';
  }
  line += '{';
  line += std::to_string(bytes.size());
  line += "+}\r\n";
  line += bytes;
}

void ImapCommand::announceContent(IMessage& content, std::uint32_t size, bool synchronizing) {
  char text[24] = " {";
  char* end = std::to_chars(text + 2, text + sizeof text - 4, size).ptr;
  if (synchronizing) {
    std::memcpy(end, "}\r\n", 3);
    end += 3;
  } else {
    std::memcpy(end, "+}\r\n", 4);
    end += 4;
  }
  line_.append(text, static_cast<std::size_t>(end - text));
  content_ = &content;
  announcedSize_ = size;
  synchronizing_ = synchronizing;
}

void ImapCommand::finishLine() {
  if (lineFinished_) {
    return;
  }
  if (content_ == nullptr) {
    line_ += "\r\n";
  }
  lineFinished_ = true;
}

void ImapCommand::startContinuation(std::string_view arguments) {
  start(std::string_view(), std::string_view());
  line_.clear();
  if (!arguments.empty()) {
    line_ += ' ';
    line_ += arguments;
  }
  // Written after the previous message's content, never as a line of its own.
  lineFinished_ = true;
}

void ImapCommand::addUntagged(const std::string& response) {
  untaggedLines_.push_back(response);
  stripLineEnd(untaggedLines_.back());
}

void ImapCommand::complete(const std::string& response) {
  finalLine_ = response;
  stripLineEnd(finalLine_);
  status_ = statusOf(finalLine_, tag_);
  completed_ = true;
}

bool announcesLiteral(const std::string& response) {
  std::size_t end = response.size();
  if (end > 0 && response[end - 1] == '\n') {
    --end;
  }
  if (end > 0 && response[end - 1] == '\r') {
    --end;
  }
  // Only "{" digits "}" or "{" digits "+}" at the very end announce a literal:
  // a server's free text may well end in a brace.
  if (end == 0 || response[end - 1] != '}') {
    return false;
  }
  --end;
  if (end > 0 && response[end - 1] == '+') {
    --end;
  }
  std::size_t digits = 0;
  while (end > 0 && response[end - 1] >= '0' && response[end - 1] <= '9') {
    --end;
    ++digits;
  }
  return digits > 0 && end > 0 && response[end - 1] == '{';
}

std::uint64_t announcedLiteralSize(const std::string& line, std::uint64_t limit) {
  const std::size_t brace = line.rfind('{');
  std::size_t position = brace == std::string::npos ? 0 : brace + 1;
  std::uint64_t size = 0;
  for (; position < line.size() && line[position] >= '0' && line[position] <= '9'; ++position) {
    size = size * 10 + static_cast<std::uint64_t>(line[position] - '0');
    if (size > limit) {
      return limit + 1;
    }
  }
  return size;
}

bool isStatusWord(const std::string& line, std::size_t position, std::string_view word) {
  if (position > line.size() || line.compare(position, word.size(), word) != 0) {
    return false;
  }
  // "OKAY" is no "OK": the word must end where the line or a blank does.
  const std::size_t after = position + word.size();
  return after == line.size() || line[after] == ' ' || line[after] == '\r' || line[after] == '\n';
}

CommandStatus statusOf(const std::string& line, const std::string& tag) {
  std::size_t position = tag.size();
  if (position > line.size()) {
    return CommandStatus::Bad;
  }
  while (position < line.size() && line[position] == ' ') {
    ++position;
  }
  if (isStatusWord(line, position, "OK")) {
    return CommandStatus::Ok;
  }
  if (isStatusWord(line, position, "NO")) {
    return CommandStatus::No;
  }
  // BAD, and any word that is none of the three: the command did not succeed.
  return CommandStatus::Bad;
}

std::int64_t existsCount(const std::string& untagged) {
  constexpr std::int64_t kLargestCount = 4294967295;
  if (untagged.compare(0, 2, "* ") != 0) {
    return -1;
  }
  std::size_t position = 2;
  std::int64_t count = 0;
  for (; position < untagged.size() && untagged[position] >= '0' && untagged[position] <= '9';
       ++position) {
    count = count * 10 + (untagged[position] - '0');
    if (count > kLargestCount) {
      return -1;
    }
  }
  // Keywords are matched without regard to case; nothing may follow.
  constexpr std::string_view kWord = " EXISTS";
  if (position == 2 || untagged.size() - position != kWord.size()) {
    return -1;
  }
  for (std::size_t i = 0; i < kWord.size(); ++i) {
    const char c = untagged[position + i];
    if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != kWord[i]) {
      return -1;
    }
  }
  return count;
}

}  // namespace lodemig
