#include "imap/imap_client.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "imap/capabilities.h"
#include "utils/inet_address.h"

namespace lodemig {

namespace {

const char kRecvFailed[] = "recvLine failed";
const char kSendFailed[] = "Send failed";
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

std::string brokeWhileSending(const std::string& server) {
  return "the connection to " + server + " broke while sending";
}

}  // namespace

ImapClient::ImapClient() {
  chunk_.reserve(kChunkReserve);
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

void ImapClient::configure(const ClientSettings& settings) {
  settings_ = settings;
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
  const std::string text = "imap://" + settings_.server.host + ":" +
                           std::to_string(static_cast<std::uint32_t>(settings_.server.port));
  const ostrel::utils::InetSocketAddress local;
  const bool tlsFirst = settings_.server.tls == TlsMode::Implicit;
  // Only the writes gather; answers are short.
  const std::uint32_t writeSize =
      settings_.server.appendWindow > 1 ? kGatheringAreaSize : kStreamAreaSize;
  try {
    if (settings_.server.tls != TlsMode::None && settings_.server.tlsContext) {
      const ostrel::utils::InetSocketAddress remote(text);
      stream_ = std::make_unique<ostrel::utils::basic_tcpclientiostream>(
          remote, local, kStreamAreaSize, writeSize, tlsFirst, settings_.server.tlsContext,
          settings_.server.host);
    } else if (settings_.server.tls != TlsMode::None) {
      ostrel::utils::Url url(text);
      const ostrel::utils::InetSSLSocketAddress remote(url, std::string(), std::string());
      stream_ = std::make_unique<ostrel::utils::basic_tcpclientiostream>(
          remote, local, kStreamAreaSize, 0, writeSize, 0, tlsFirst);
    } else {
      const ostrel::utils::InetSocketAddress remote(text);
      stream_ = std::make_unique<ostrel::utils::basic_tcpclientiostream>(
          remote, local, kStreamAreaSize, 0, writeSize);
    }
  } catch (const ostrel::utils::CantResolveException& error) {
    bool temporary = false;
    failureCause_ = ostrel::utils::resolutionFailure(settings_.server.host, &temporary);
    // A name that resolves when asked again failed for the time being too.
    failureLasting_ = !failureCause_.empty() && !temporary;
    if (failureCause_.empty()) {
      failureCause_ = error.what();
    }
    throw ImapConnectionFailed(std::string());
  }
  stream_->setTimeout(settings_.server.timeoutSeconds);
}

std::string ImapClient::serverText() const {
  return settings_.server.host + ":" +
         std::to_string(static_cast<std::uint32_t>(settings_.server.port));
}

void ImapClient::failTls(const std::string& detail) {
  failureCause_ = detail;
  failureLasting_ = true;
  closeStream();
  throw ImapConnectionFailed(std::string(), detail);
}

void ImapClient::startTls() {
  // A greeting may list the capabilities already; otherwise they are asked.
  if (!offersCapability({lastLine_}, "STARTTLS")) {
    ImapCommand capability(nextTag(), "CAPABILITY");
    submit(capability, false);
    if (waitFor(capability) != CommandStatus::Ok ||
        !offersCapability(capability.untaggedLines(), "STARTTLS")) {
      failTls(serverText() + " does not offer STARTTLS");
    }
  }
  ImapCommand command(nextTag(), "STARTTLS");
  submit(command, false);
  if (waitFor(command) != CommandStatus::Ok) {
    failTls(serverText() + " refused STARTTLS: " + command.finalLine());
  }
  // Whatever came with the answer came before the protection: acting on it
  // would let anyone on the way inject commands' answers.
  if (stream_->bufferedInput() > 0) {
    failTls(serverText() + " sent data after its STARTTLS answer, before the TLS handshake");
  }
  if (!stream_->startTls()) {
    failTls("TLS handshake with " + serverText() +
            " failed after STARTTLS: " + stream_->tlsFailure());
  }
}

void ImapClient::closeStream() {
  if (stream_) {
    stream_->close();
  }
  // Their answers went with the connection.
  pending_.clear();
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
  endedInLogin_ = false;
  compressionDeclined_ = false;
  loginRefusal_.clear();
  // A cause from an earlier connection must not pass for this one's.
  failureCause_.clear();
  failureLasting_ = false;
  try {
    openStream();
    stream_->open();
    if (stream_->rdstate() == std::ios::eofbit) {
      stream_->clear();
    }
    if (!stream_->good()) {
      const bool tls = !stream_->tlsFailure().empty();
      failureCause_ = openFailure(failureLasting_);
      closeStream();
      throw ImapConnectionFailed(std::string(), tls ? failureCause_ : std::string());
    }
    setState(ClientState::Connected);
    reader_.resetBudget();
    readGreeting();
    if (settings_.server.tls == TlsMode::StartTls) {
      startTls();
    }
    if (loginAfter) {
      endedInLogin_ = true;
      login();
      endedInLogin_ = false;
    }
    if (loginAfter && settings_.server.compress) {
      startCompression();
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
  ImapCommand command(nextTag(), "X-SETUSER");
  command.addQuoted(identity_);
  if (execute(command) != CommandStatus::Ok) {
    closeStream();
    throw ImapConnectionFailed(kSendFailed);
  }
}

void ImapClient::submit(ImapCommand& command) {
  // Sending again is safe only when nothing else is outstanding: the answers
  // to the others would be lost with the connection.
  submit(command, pending_.empty());
}

void ImapClient::submit(ImapCommand& command, bool mayReconnect) {
  if (pending_.full()) {
    waitFor(*pending_.oldest());
  }
  command.finishLine();
  send(command, mayReconnect);
  pending_.add(command);
  if (command.synchronizing()) {
    sendWhenAsked(command);
  }
}

void ImapClient::sendWhenAsked(ImapCommand& command) {
  // Bounded as waitFor() is: each pass reads a response or throws.
  while (!command.completed()) {
    const std::string& response = readResponse();
    if (response.empty() || response[0] != '+') {
      dispatch(response);  // another command's answer, or this one refused
      continue;
    }
    writeContent(*command.content(), command.announcedSize(), !command.open());
    if (!usable()) {
      // The server holds part of a literal: only a new connection gets back
      // to a command boundary.
      failureCause_ = brokeWhileSending(serverText());
      closeStream();
      throw ImapConnectionFailed(kSendFailed);
    }
    return;
  }
}

CommandStatus ImapClient::waitFor(ImapCommand& command) {
  // Each pass reads one response or throws; the reader's budget, renewed only
  // when an outstanding command completes, bounds the passes.
  while (!command.completed()) {
    if (!pending_.holds(command)) {
      // Never sent, or sent on a connection that is gone: no answer can come.
      failureCause_ = "the connection to " + serverText() + " is gone";
      failReceive();
    }
    dispatch(readResponse());
  }
  if (command.status() != CommandStatus::Ok) {
    noteRefusal(command);
  }
  return command.status();
}

CommandStatus ImapClient::execute(ImapCommand& command) {
  submit(command);
  return waitFor(command);
}

void ImapClient::send(const ImapCommand& command, bool mayReconnect) {
  if (state_ != ClientState::Disconnected && writeCommand(command)) {
    return;
  }
  if (!mayReconnect || connecting_) {
    failureCause_ = brokeWhileSending(serverText());
    closeStream();
    throw ImapConnectionFailed(kSendFailed);
  }
  // A write that failed never reached the server as a whole command, so
  // sending all of it again cannot execute it twice.
  reconnect();
  if (writeCommand(command)) {
    return;
  }
  failureCause_ = brokeWhileSending(serverText());
  closeStream();
  if (command.content() != nullptr) {
    throw IMessageLoadFailedException(kSendFailed);
  }
  throw ImapConnectionFailed(kSendFailed);
}

void ImapClient::sendContinuation(const std::string& text) {
  if (state_ == ClientState::Disconnected || !writeLine(text)) {
    failureCause_ = brokeWhileSending(serverText());
    closeStream();
    throw ImapConnectionFailed(kSendFailed);
  }
}

bool ImapClient::writeLine(const std::string& bytes) {
  if (!usable()) {
    return false;
  }
  stream_->writeAndFlush(bytes.data(), bytes.size());
  return usable();
}

bool ImapClient::writeCommand(const ImapCommand& command) {
  // A synchronizing literal's content waits for the server's go-ahead.
  if (command.content() == nullptr || command.synchronizing()) {
    return writeLine(command.line());
  }
  if (!usable()) {
    return false;
  }
  const std::string& line = command.line();
  stream_->write(line.data(), static_cast<std::streamsize>(line.size()));
  if (stream_->bad()) {
    return false;
  }
  writeContent(*command.content(), command.announcedSize(), !command.open());
  return usable();
}

bool ImapClient::sendStoredRange(IMessage& content, std::uint32_t announced, std::uint64_t& sent) {
  int file = -1;
  std::uint64_t offset = 0;
  if (announced < kSmallestFileSend || !content.storedRange(file, offset)) {
    return false;
  }
  // Stored bytes that need no change go from the file to the socket without
  // being copied through this process.
  sent = stream_->sendFileRange(file, offset, announced);
  if (stream_->bad()) {
    return true;
  }
  if (sent == announced) {
    stream_->writeAndFlush("\r\n", 2);
    return true;
  }
  return false;
}

void ImapClient::writeContent(IMessage& content, std::uint32_t announced, bool endsCommand) {
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
  // Within a batch the next message's line, not the command's CR LF,
  // follows the content.
  if (endsCommand && sendStoredRange(content, announced, sent)) {
    return;
  }
  // The pieces carry the content, or the part the system did not send
  // (TLS, or a file that ended or failed, which the pieces then report).
  std::uint64_t alreadySent = sent;
  chunk_.clear();
  for (bool more = produce(chunk_, true); more; more = produce(chunk_, false)) {
    if (alreadySent > 0) {
      const std::size_t skipped =
          static_cast<std::size_t>(std::min<std::uint64_t>(alreadySent, chunk_.size()));
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
      if (endsCommand) {
        chunk_ += "\r\n";
      }
      finishContent(chunk_.data(), chunk_.size());
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
  finishContent("\r\n", endsCommand ? 2 : 0);
}

void ImapClient::finishContent(const char* bytes, std::size_t count) {
  // With a window, an append held back for the next one would leave the
  // server idle while the next message is read from the store.
  stream_->writeAndFlush(bytes, count);
}

void ImapClient::failContent(const char* text) {
  failureCause_ = text;
  closeStream();
  throw IMessageLoadFailedException(text);
}

const std::string& ImapClient::readResponse() {
  if (state_ == ClientState::Disconnected || !usable()) {
    failureCause_ = "the connection to " + serverText() + " is gone";
    failReceive();
  }
  // The whole answer, not each wait for its next bytes, must come within
  // the time-out: a server trickling a byte at a time would hold the run.
  stream_->startDeadline();
  const ResponseReader::Outcome outcome = reader_.read(*stream_);
  stream_->endDeadline();
  switch (outcome) {
    case ResponseReader::Outcome::Response:
      return reader_.response();
    case ResponseReader::Outcome::Bye:
      // The server is ending the connection: nothing more will come, and the
      // next command must start a new one.
      failureCause_ = serverText() + " ended the connection: " +
                      printableCause(reader_.line().substr(0, reader_.line().find('\r')));
      closeStream();
      throw ImapServerBrokeConnection();
    case ResponseReader::Outcome::Silence:
      // The answer is unknown, so the connection cannot carry another command.
      failureCause_ = readFailure("no answer");
      closeStream();
      throw ImapTimeoutException();
    case ResponseReader::Outcome::Broken:
      break;
  }
  failureCause_ = readFailure("no answer");
  // Sending the command again could store an appended message twice.
  failReceive();
}

void ImapClient::dispatch(const std::string& response) {
  ImapCommand* answered = pending_.takeTagged(response);
  if (answered != nullptr) {
    answered->complete(response);
    reader_.resetBudget();
    return;
  }
  // Untagged data carries no tag; the oldest command is the one the server
  // is working on.
  if (ImapCommand* oldest = pending_.oldest(); oldest != nullptr) {
    oldest->addUntagged(response);
  }
}

void ImapClient::failReceive() {
  closeStream();
  throw ImapConnectionFailed(kRecvFailed);
}

void ImapClient::logout(bool waitForAnswer) {
  // A connection that is already gone has nobody to log out from; a new one
  // is not made just for that.
  if (state_ == ClientState::Disconnected || !usable()) {
    setState(ClientState::Disconnected);
    return;
  }
  ImapCommand command(nextTag(), "LOGOUT");
  submit(command, false);
  if (!waitForAnswer) {
    pending_.clear();  // nothing is read from this connection again
    setState(ClientState::Disconnected);
    return;
  }
  try {
    waitFor(command);
  } catch (const ImapServerBrokeConnection&) {
    // "* BYE" is the regular answer to LOGOUT.
  }
  setState(ClientState::Disconnected);
}

}  // namespace lodemig
