#include "imap/imap_command.h"

#include <charconv>
#include <cstring>
#include <utility>

#include "imap/imap_client.h"
#include "imap/imap_exception.h"

namespace lodemig {

namespace {

bool startsWith(const std::string& text, const char* prefix, std::size_t length) {
  return text.size() >= length && text.compare(0, length, prefix, length) == 0;
}

void stripLineEnd(std::string& text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  if (!text.empty() && text.back() == '\r') {
    text.pop_back();
  }
}

}  // namespace

ImapCommand::ImapCommand(ImapClient& client, const std::string& name)
    : client_(client),
      tag_(client.nextTag()),
      name_(name),
      line_(client.borrowBuffer()),
      finalLine_(client.borrowBuffer()) {
  line_ = tag_;
  addAtom(name);
}

ImapCommand::~ImapCommand() {
  client_.returnBuffer(std::move(line_));
  client_.returnBuffer(std::move(finalLine_));
}

void ImapCommand::appendAtom(std::string& line, const std::string& text) {
  if (!line.empty()) {
    line += ' ';
  }
  line += text;
}

void ImapCommand::appendQuoted(std::string& line, const std::string& text) {
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

void ImapCommand::appendParenthesized(std::string& line, const std::string& text) {
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

void ImapCommand::appendLiteral(std::string& line, const std::string& bytes) {
  if (!line.empty()) {
    line += ' ';
  }
  line += '{';
  line += std::to_string(bytes.size());
  line += "+}\r\n";
  line += bytes;
}

void ImapCommand::announceContent(std::uint32_t size) {
  char text[24] = " {";
  char* end = std::to_chars(text + 2, text + sizeof text - 4, size).ptr;
  std::memcpy(end, "+}\r\n", 4);
  line_.append(text, static_cast<std::size_t>(end + 4 - text));
  announcedSize_ = size;
}

CommandStatus ImapCommand::execute(IMessage* content) {
  if (content == nullptr) {
    line_ += "\r\n";
  }
  client_.sendCommand(line_, content, announcedSize_, true);
  return readUntilTagged();
}

void ImapCommand::sendDirect() {
  line_ += "\r\n";
  client_.sendCommand(line_, nullptr, 0, false);
}

void ImapCommand::countReceived(std::uint64_t bytes) {
  received_ += bytes;
  if (received_ > ImapClient::kMaxResponseLength) {
    client_.failReceive();
  }
}

const std::string& ImapCommand::readResponse() {
  std::string& response = client_.responseBuffer_;
  std::string& line = client_.lineBuffer_;
  response.clear();
  for (;;) {
    client_.recvLine(line);
    if (isStatusWord(line, 2, "BYE") && startsWith(line, "* ", 2)) {
      // The server is ending the connection: nothing more will come, and the
      // next command must start a new one.
      client_.closeStream();
      throw ImapServerBrokeConnection();
    }
    if (line.empty()) {
      // Silence or the end of the stream: the answer to this command is
      // unknown, so the connection cannot carry another one.
      client_.closeStream();
      throw ImapTimeoutException();
    }
    countReceived(line.size());
    response += line;
    if (!announcesLiteral(line)) {
      return response;
    }
    const std::uint64_t size =
        announcedLiteralSize(line, ImapClient::kMaxResponseLength - received_);
    countReceived(size);
    client_.readLiteral(size, response);
  }
}

bool ImapCommand::isTagged(const std::string& response) const {
  if (response.compare(0, tag_.size(), tag_) != 0) {
    return false;
  }
  // "V1" must not match the line of a "V10".
  if (response.size() == tag_.size()) {
    return true;
  }
  const char next = response[tag_.size()];
  return next == ' ' || next == '\r' || next == '\n';
}

CommandStatus ImapCommand::readUntilTagged() {
  for (;;) {
    const std::string& response = readResponse();
    if (isTagged(response)) {
      finalLine_ = response;
      stripLineEnd(finalLine_);
      return statusOf(finalLine_, tag_);
    }
    untaggedLines_.push_back(response);
    stripLineEnd(untaggedLines_.back());
  }
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

}  // namespace lodemig
