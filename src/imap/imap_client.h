#ifndef LODEMIG_IMAP_IMAP_CLIENT_H_
#define LODEMIG_IMAP_IMAP_CLIENT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imap/imap_command.h"
#include "imap/imap_exception.h"
#include "utils/imessage.h"
#include "utils/tcp_stream.h"

namespace lodemig {

enum class ClientState : int { Disconnected = 0, Connected = 1, Authenticated = 2, Selected = 3 };

// One IMAP connection to the target server: its settings, its stream (owned;
// replaced on every connection), its state and the tag counter. Logs in with
// X-MASTERAUTH (master mode), AUTHENTICATE CRAM-MD5 or LOGIN.
//
// A command whose line cannot be written is sent again once on a new
// connection: the client connects, logs in and re-applies the last identity
// the server accepted (X-SETUSER), so that a resent command never acts as the
// administrator where it was meant for an account. Used by one thread.
// Destroying a logged-in client logs out and closes the stream.
class ImapClient {
 public:
  static constexpr std::size_t kChunkReserve = 10240;
  static constexpr std::size_t kLiteralPiece = 10240;
  static constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;
  static constexpr std::uint64_t kMaxResponseLength = std::uint64_t{64} << 20;
  static constexpr std::uint32_t kStreamAreaSize = 4096;

  ImapClient();
  ~ImapClient();
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  // Log in as administrator with X-MASTERAUTH.
  void configureMaster(const std::string& host, std::uint32_t port, const std::string& password,
                       std::uint32_t timeoutSeconds, bool tls);
  // Log in as `user` with CRAM-MD5 or LOGIN.
  void configureUser(const std::string& host, std::uint32_t port, const std::string& user,
                     const std::string& password, bool useCramMd5, std::uint32_t timeoutSeconds,
                     bool tls);

  // Opens the connection, reads the greeting and, when `loginAfter`, logs
  // in. Throws ImapConnectionFailed ("" when the server cannot be reached,
  // the greeting when it is empty or holds "* BYE") and the login's
  // exceptions; any failure leaves the client Disconnected.
  void connect(bool loginAfter);
  // Creates a new stream for the stored host, port and TLS flag, closing any
  // previous one. Throws ImapConnectionFailed "" when the address is invalid.
  void openStream();
  // Closes the stream, if any, and moves to Disconnected. Never throws.
  void closeStream();
  // Writes `text` and flushes, reconnecting once when the connection is
  // gone. Throws ImapConnectionFailed "Send failed" when even the new
  // connection cannot take it, and the reconnection's own exceptions.
  void sendLine(const std::string& text);
  // Reads one line into `out`, ending in LF (CR kept); empty when nothing
  // arrived before the time-out or the end of the stream. Throws
  // ImapConnectionFailed "recvLine failed" (and closes) when the client is
  // disconnected, the stream has failed, the line exceeds kMaxLineLength or
  // it was cut short before its LF.
  void recvLine(std::string& out);
  // Logs in with the configured mechanism; throws AuthenticateFailedException
  // on refusal. On success the state becomes Authenticated.
  void login();
  // Sends LOGOUT (never reconnecting for it) and moves to Disconnected. The
  // stream stays open; the caller closes it.
  void logout();
  // Applies the transition when it is allowed; otherwise nothing changes.
  void setState(ClientState next);

  ClientState state() const { return state_; }
  // The server greeting read by the last connect (CR kept, LF removed).
  const std::string& lastLine() const { return lastLine_; }
  // Takes the next tag: "V" and the counter, which then increments.
  std::string nextTag();

  // The identity ("user@domain") the server last accepted with X-SETUSER on
  // this connection; re-applied after a reconnection. Empty: administrator.
  const std::string& identity() const { return identity_; }
  void rememberIdentity(const std::string& qualifiedName) { identity_ = qualifiedName; }
  void forgetIdentity() { identity_.clear(); }

 private:
  friend class ImapCommand;

  // Sends `line` and, with `content`, the content pieces and a final CR LF,
  // with one flush: a command whose content comes in one piece leaves in one
  // send. Reconnects once when allowed and the connection is gone.
  void sendCommand(const std::string& line, IMessage* content, std::uint32_t announced,
                   bool mayReconnect);
  // One attempt on the current stream: false when the stream cannot take it.
  bool writeCommand(const std::string& line, IMessage* content, std::uint32_t announced);
  void writeContent(IMessage& content, std::uint32_t announced);
  void reconnect();
  // Reads up to and including LF (bounded); false when the line is too long.
  bool readRawLine(std::string& out);
  // Appends exactly `count` literal bytes to `out`; a stream that ends first
  // is a connection failure.
  void readLiteral(std::uint64_t count, std::string& out);
  // Closes the stream and throws ImapConnectionFailed "recvLine failed".
  [[noreturn]] void failReceive();
  // Closes the stream and throws IMessageLoadFailedException with `text`.
  [[noreturn]] void failContent(const char* text);
  bool usable();
  // Strings lent to commands for their lines and given back when they end,
  // so that a command allocates nothing once a few have run.
  std::string borrowBuffer();
  void returnBuffer(std::string&& buffer);

  void loginMaster();
  void loginCramMd5();
  void loginPlain();

  std::uint32_t tagCounter_ = 0;
  std::uint32_t timeoutSeconds_ = 0;
  ClientState state_ = ClientState::Disconnected;
  std::string lastLine_;
  std::unique_ptr<ostrel::utils::basic_tcpclientiostream> stream_;
  bool tls_ = false;
  std::string host_;
  std::string password_;
  std::string user_;
  bool master_ = true;
  bool cramMd5_ = false;
  std::uint32_t port_ = 0;
  std::string identity_;
  // True while connect() runs: a failure inside it must not start another
  // connection.
  bool connecting_ = false;

  // Reused working buffers, so that an append allocates as little as it can.
  std::string chunk_;
  // Takes the piece that must not come after the announced content.
  std::string probe_;
  std::vector<std::string> spareBuffers_;
  std::string lineBuffer_;
  std::string responseBuffer_;
  std::array<char, 4096> lineBlock_;
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_CLIENT_H_
