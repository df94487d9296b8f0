// Why a connection or a command failed, in words an admin can act on.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "imap/imap_client.h"
#include "utils/inet_address.h"

namespace lodemig {
namespace {

// A server's answer goes to the console and the log: control characters
// could move the cursor or clear the screen there, and a hostile server may
// send a megabyte of text.
constexpr std::size_t kLongestCause = 300;

}  // namespace

std::string ImapClient::printableCause(const std::string& text) {
  std::string cause;
  cause.reserve(std::min(text.size(), kLongestCause + 3));
  for (const char c : text) {
    if (cause.size() == kLongestCause) {
      cause += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    cause += byte < 0x20 || byte == 0x7f ? '?' : c;
  }
  return cause;
}

void ImapClient::noteRefusal(const ImapCommand& command) {
  const std::string& line = command.finalLine();
  const std::size_t start = line.compare(0, command.tag().size(), command.tag()) == 0 &&
                                    line.size() > command.tag().size()
                                ? command.tag().size() + 1
                                : 0;
  failureCause_ = printableCause(line.substr(start));
}

std::string ImapClient::openFailure(bool& lasting) const {
  const std::string tls = stream_->tlsFailure();
  lasting = !tls.empty();
  if (lasting) {
    return "TLS handshake with " + serverText() + " failed: " + tls;
  }
  const int error = stream_->connectError();
  if (error == EADDRNOTAVAIL) {
    bool temporary = false;
    std::string unresolved = ostrel::utils::resolutionFailure(settings_.server.host, &temporary);
    if (!unresolved.empty()) {
      lasting = !temporary;
      return unresolved;
    }
  }
  return "cannot connect to " + serverText() + ": " + std::strerror(error != 0 ? error : EIO);
}

std::string ImapClient::readFailure(const char* what) const {
  using End = ostrel::utils::SocketLayer::ReceiveEnd;
  // Once the compressed input broke, nothing after it could be read.
  if (const std::string broken = stream_->compressionFailure(); !broken.empty()) {
    return serverText() + " sent " + broken;
  }
  switch (stream_->receiveEnd()) {
    case End::kTimedOut:
      return std::string(what) + " from " + serverText() + " within " +
             std::to_string(settings_.server.timeoutSeconds) + " s (-timeout)";
    case End::kClosed:
      return serverText() + " closed the connection";
    case End::kFailed:
      return "the connection to " + serverText() +
             " failed: " + std::strerror(stream_->receiveError());
    case End::kNone:
      break;
  }
  return serverText() + " sent an answer that cannot be read";
}

void ImapClient::readGreeting() {
  lastLine_.clear();
  stream_->startDeadline();
  const bool read = reader_.readLine(*stream_, lastLine_);
  stream_->endDeadline();
  // A greeting cut short by the time-out is no greeting: taking it would
  // leave its rest to be read as the answer to the login.
  if (!read || lastLine_.empty() || lastLine_.back() != '\n') {
    failureCause_ = readFailure("no greeting");
    if (!read) {
      failReceive();
    }
    closeStream();
    throw ImapConnectionFailed(lastLine_);
  }
  lastLine_.pop_back();
  if (!usable() || lastLine_.find("* BYE") != std::string::npos) {
    const bool cr = !lastLine_.empty() && lastLine_.back() == '\r';
    failureCause_ = serverText() + " refused the connection: " +
                    printableCause(lastLine_.substr(0, lastLine_.size() - (cr ? 1 : 0)));
    closeStream();
    throw ImapConnectionFailed(lastLine_);
  }
}

}  // namespace lodemig
