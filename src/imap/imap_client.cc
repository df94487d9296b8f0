#include "imap/imap_client.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <utility>

#include "imap/digest.h"
#include "utils/inet_address.h"

namespace lodemig {

namespace {

const char kRecvFailed[] = "recvLine failed";
const char kSendFailed[] = "Send failed";
const char kMasterAuthFailed[] = "Authentication failed - Master Authentication";
const char kCramMd5Failed[] = "Authentication failed - Authentication CRAM-MD5";
const char kLoginFailed[] = "Authentication failed - Login";
const char kContentSizeDiffers[] = "message content differs from its announced size";
// Content below this size goes out with its command line and final CR LF in
// one send from memory; from the file it would take three calls (and three
// segments on the wire) to spare one copy of a few KB.
constexpr std::uint32_t kSmallestFileSend = 64 * 1024;

// Sets a flag for the lifetime of a scope and restores its previous value.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = previous_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

}  // namespace

ImapClient::ImapClient() {
  chunk_.reserve(kChunkReserve);
  lineBuffer_.reserve(1024);
  responseBuffer_.reserve(1024);
}

ImapClient::~ImapClient() {
  if ((state_ == ClientState::Authenticated || state_ == ClientState::Selected) && usable()) {
    try {
      logout();
    } catch (const ImapException&) {
      // The answer to LOGOUT changes nothing: the stream is closed below.
    }
  }
  closeStream();
}

void ImapClient::configureMaster(const std::string& host, std::uint32_t port,
                                 const std::string& password, std::uint32_t timeoutSeconds,
                                 bool tls) {
  host_ = host;
  port_ = port;
  user_.clear();
  password_ = password;
  timeoutSeconds_ = timeoutSeconds;
  tls_ = tls;
  master_ = true;
  cramMd5_ = false;
}

void ImapClient::configureUser(const std::string& host, std::uint32_t port, const std::string& user,
                               const std::string& password, bool useCramMd5,
                               std::uint32_t timeoutSeconds, bool tls) {
  host_ = host;
  port_ = port;
  user_ = user;
  password_ = password;
  timeoutSeconds_ = timeoutSeconds;
  tls_ = tls;
  master_ = false;
  cramMd5_ = useCramMd5;
}

std::string ImapClient::nextTag() {
  char text[16] = "V";
  const char* end = std::to_chars(text + 1, text + sizeof text, tagCounter_++).ptr;
  return std::string(text, static_cast<std::size_t>(end - text));
}

void ImapClient::setState(ClientState next) {
  bool allowed = false;
  switch (state_) {
    case ClientState::Disconnected:
      allowed = next == ClientState::Connected;
      break;
    case ClientState::Connected:
      allowed = next == ClientState::Disconnected || next == ClientState::Authenticated;
      break;
    case ClientState::Authenticated:
      allowed = next != ClientState::Authenticated;
      break;
    case ClientState::Selected:
      allowed = next == ClientState::Disconnected || next == ClientState::Authenticated;
      break;
  }
  if (allowed) {
    state_ = next;
  }
}

void ImapClient::openStream() {
  closeStream();
  const std::string text = "imap://" + host_ + ":" + std::to_string(port_);
  const ostrel::utils::InetSocketAddress local;
  try {
    if (tls_) {
      ostrel::utils::Url url(text);
      const ostrel::utils::InetSSLSocketAddress remote(url, std::string(), std::string());
      stream_ = std::make_unique<ostrel::utils::basic_tcpclientiostream>(
          remote, local, kStreamAreaSize, 0, kStreamAreaSize, 0, true);
    } else {
      const ostrel::utils::InetSocketAddress remote(text);
      stream_ = std::make_unique<ostrel::utils::basic_tcpclientiostream>(
          remote, local, kStreamAreaSize, 0, kStreamAreaSize);
    }
  } catch (const ostrel::utils::CantResolveException&) {
    throw ImapConnectionFailed(std::string());
  }
  stream_->setTimeout(timeoutSeconds_);
}

void ImapClient::closeStream() {
  if (stream_) {
    stream_->close();
  }
  setState(ClientState::Disconnected);
}

bool ImapClient::usable() {
  if (!stream_) {
    return false;
  }
  // A read that met the time-out or the end of the stream leaves end-of-file
  // (and fail) behind; only a bad stream is broken.
  if (stream_->eof()) {
    stream_->clear(stream_->rdstate() & std::ios::badbit);
  }
  return stream_->good();
}

void ImapClient::connect(bool loginAfter) {
  FlagScope scope(connecting_);
  try {
    openStream();
    stream_->open();
    if (stream_->rdstate() == std::ios::eofbit) {
      stream_->clear();
    }
    if (!stream_->good()) {
      closeStream();
      throw ImapConnectionFailed(std::string());
    }
    setState(ClientState::Connected);
    lastLine_.clear();
    if (!readRawLine(lastLine_)) {
      failReceive();
    }
    if (!lastLine_.empty() && lastLine_.back() == '\n') {
      lastLine_.pop_back();
    }
    if (!usable() || lastLine_.empty() || lastLine_.find("* BYE") != std::string::npos) {
      closeStream();
      throw ImapConnectionFailed(lastLine_);
    }
    if (loginAfter) {
      login();
    }
  } catch (const ImapException&) {
    closeStream();
    throw;
  }
}

void ImapClient::reconnect() {
  closeStream();
  if (stream_) {
    stream_->clear();
  }
  connect(true);
  if (identity_.empty()) {
    return;
  }
  // The identity belonged to the lost connection; without it the resent
  // command would act as the administrator.
  FlagScope scope(connecting_);
  ImapCommand command(*this, "X-SETUSER");
  command.addQuoted(identity_);
  if (command.execute() != CommandStatus::Ok) {
    closeStream();
    throw ImapConnectionFailed(kSendFailed);
  }
}

void ImapClient::sendLine(const std::string& text) {
  sendCommand(text, nullptr, 0, true);
}

void ImapClient::sendCommand(const std::string& line, IMessage* content, std::uint32_t announced,
                             bool mayReconnect) {
  if (state_ != ClientState::Disconnected && writeCommand(line, content, announced)) {
    return;
  }
  if (!mayReconnect || connecting_) {
    closeStream();
    throw ImapConnectionFailed(kSendFailed);
  }
  // A write that failed never reached the server as a whole command, so
  // sending all of it again cannot execute it twice.
  reconnect();
  if (writeCommand(line, content, announced)) {
    return;
  }
  closeStream();
  if (content != nullptr) {
    throw IMessageLoadFailedException(kSendFailed);
  }
  throw ImapConnectionFailed(kSendFailed);
}

bool ImapClient::writeCommand(const std::string& line, IMessage* content, std::uint32_t announced) {
  if (!usable()) {
    return false;
  }
  if (content == nullptr) {
    stream_->writeAndFlush(line.data(), line.size());
    return usable();
  }
  stream_->write(line.data(), static_cast<std::streamsize>(line.size()));
  if (stream_->bad()) {
    return false;
  }
  writeContent(*content, announced);
  return usable();
}

void ImapClient::writeContent(IMessage& content, std::uint32_t announced) {
  // A content failure leaves the server inside the literal; closing is the
  // only way back to a command boundary (the next command reconnects).
  auto produce = [this, &content](std::string& buffer, bool first) {
    try {
      return first ? content.firstChunk(buffer) : content.nextChunk(buffer);
    } catch (const std::runtime_error& error) {
      failContent(error.what());
    }
  };
  std::uint64_t sent = 0;
  int file = -1;
  std::uint64_t offset = 0;
  if (announced >= kSmallestFileSend && content.storedRange(file, offset)) {
    // Stored bytes that need no change go from the file to the socket
    // without being copied through this process.
    sent = stream_->sendFileRange(file, offset, announced);
    if (stream_->bad()) {
      return;
    }
    if (sent == announced) {
      stream_->writeAndFlush("\r\n", 2);
      return;
    }
  }
  // The pieces carry the content, or the part the system did not send
  // (TLS, or a file that ended or failed, which the pieces then report).
  std::uint64_t alreadySent = sent;
  chunk_.clear();
  for (bool more = produce(chunk_, true); more; more = produce(chunk_, false)) {
    if (alreadySent > 0) {
      const std::size_t skipped = static_cast<std::size_t>(
          std::min<std::uint64_t>(alreadySent, chunk_.size()));
      chunk_.erase(0, skipped);
      alreadySent -= skipped;
      if (chunk_.empty()) {
        continue;
      }
    }
    // Bytes beyond the announced size would be read by the server as
    // commands: stop before writing them.
    if (chunk_.size() > announced - sent) {
      failContent(kContentSizeDiffers);
    }
    sent += chunk_.size();
    if (sent == announced) {
      // Only the end may follow. It is confirmed before the last piece goes,
      // so that content longer than announced never completes the command;
      // the piece, the command's CR LF and the flush then leave together.
      probe_.clear();
      if (produce(probe_, false)) {
        failContent(kContentSizeDiffers);
      }
      chunk_ += "\r\n";
      stream_->writeAndFlush(chunk_.data(), chunk_.size());
      return;
    }
    stream_->write(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
    if (stream_->bad()) {
      return;
    }
  }
  if (sent != announced) {
    failContent(kContentSizeDiffers);
  }
  stream_->writeAndFlush("\r\n", 2);
}

void ImapClient::failContent(const char* text) {
  closeStream();
  throw IMessageLoadFailedException(text);
}

std::string ImapClient::borrowBuffer() {
  if (spareBuffers_.empty()) {
    return std::string();
  }
  std::string buffer = std::move(spareBuffers_.back());
  spareBuffers_.pop_back();
  return buffer;
}

void ImapClient::returnBuffer(std::string&& buffer) {
  // A few cover the nesting of a reconnection inside a command; a buffer
  // grown by an unusually long line is not kept.
  constexpr std::size_t kKeptBuffers = 8;
  constexpr std::size_t kKeptCapacity = 64 * 1024;
  if (spareBuffers_.size() < kKeptBuffers && buffer.capacity() <= kKeptCapacity) {
    buffer.clear();
    spareBuffers_.push_back(std::move(buffer));
  }
}

bool ImapClient::readRawLine(std::string& out) {
  std::istream& in = *stream_;
  for (;;) {
    in.getline(lineBlock_.data(), static_cast<std::streamsize>(lineBlock_.size()));
    const auto count = static_cast<std::size_t>(in.gcount());
    const std::ios::iostate state = in.rdstate();
    if (state == std::ios::goodbit) {
      // The LF was found and counted, but not stored.
      out.append(lineBlock_.data(), count - 1);
      out += '\n';
      return out.size() <= kMaxLineLength;
    }
    out.append(lineBlock_.data(), count);
    if (out.size() > kMaxLineLength) {
      return false;
    }
    if ((state & (std::ios::eofbit | std::ios::badbit)) != 0 || count == 0) {
      return true;
    }
    // Only the block filled up: the line goes on.
    in.clear();
  }
}

void ImapClient::recvLine(std::string& out) {
  out.clear();
  if (state_ == ClientState::Disconnected || !usable()) {
    failReceive();
  }
  // A line cut short by the time-out or the end of the stream is not a
  // response: its status word or literal announcement may be incomplete.
  if (!readRawLine(out) || stream_->bad() || (!out.empty() && out.back() != '\n')) {
    failReceive();
  }
}

void ImapClient::readLiteral(std::uint64_t count, std::string& out) {
  if (state_ == ClientState::Disconnected || !usable()) {
    failReceive();
  }
  // Memory grows only with the bytes that actually arrive, never with the
  // size a server announces.
  while (count > 0) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, kLiteralPiece));
    const std::size_t old = out.size();
    out.resize(old + piece);
    stream_->read(&out[old], static_cast<std::streamsize>(piece));
    const auto got = static_cast<std::size_t>(stream_->gcount());
    out.resize(old + got);
    count -= got;
    if (got < piece) {
      // Sending the command again could store an appended message twice.
      failReceive();
    }
  }
}

void ImapClient::failReceive() {
  closeStream();
  throw ImapConnectionFailed(kRecvFailed);
}

void ImapClient::login() {
  if (master_) {
    loginMaster();
  } else if (cramMd5_) {
    loginCramMd5();
  } else {
    loginPlain();
  }
  setState(ClientState::Authenticated);
}

void ImapClient::loginMaster() {
  ImapCommand command(*this, "X-MASTERAUTH");
  command.sendDirect();
  const std::string& first = command.readResponse();
  const std::size_t open = first.find('<');
  // Without a "<" there is no challenge to answer.
  if (first.empty() || first[0] != '+' || open == std::string::npos) {
    throw AuthenticateFailedException(kMasterAuthFailed);
  }
  const std::size_t close = first.find('>');
  const std::string challenge = close == std::string::npos || close < open
                                    ? first.substr(open)
                                    : first.substr(open, close - open + 1);
  sendCommand(ostrel::crypto::md5Hex(challenge + password_) + "\r\n", nullptr, 0, false);
  if (command.readUntilTagged() != CommandStatus::Ok) {
    throw AuthenticateFailedException(kMasterAuthFailed);
  }
}

void ImapClient::loginCramMd5() {
  ImapCommand command(*this, "AUTHENTICATE CRAM-MD5");
  command.sendDirect();
  const std::string& first = command.readResponse();
  if (first.empty() || first[0] != '+') {
    throw AuthenticateFailedException(kCramMd5Failed);
  }
  const std::string challenge = ostrel::crypto::base64Decode(first.substr(1));
  const std::string reply = user_ + " " + ostrel::crypto::hmacMd5(password_, challenge);
  sendCommand(ostrel::crypto::base64Encode(reply) + "\r\n", nullptr, 0, false);
  if (command.readUntilTagged() != CommandStatus::Ok) {
    throw AuthenticateFailedException(kCramMd5Failed);
  }
}

void ImapClient::loginPlain() {
  ImapCommand command(*this, "LOGIN");
  command.addQuoted(user_);
  command.addQuoted(password_);
  command.sendDirect();
  if (command.readUntilTagged() != CommandStatus::Ok) {
    throw AuthenticateFailedException(kLoginFailed);
  }
}

void ImapClient::logout() {
  // A connection that is already gone has nobody to log out from; a new one
  // is not made just for that.
  if (state_ == ClientState::Disconnected || !usable()) {
    setState(ClientState::Disconnected);
    return;
  }
  ImapCommand command(*this, "LOGOUT");
  command.sendDirect();
  try {
    command.readUntilTagged();
  } catch (const ImapServerBrokeConnection&) {
    // "* BYE" is the regular answer to LOGOUT.
  }
  setState(ClientState::Disconnected);
}

}  // namespace lodemig
