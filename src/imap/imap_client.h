#ifndef LODEMIG_IMAP_IMAP_CLIENT_H_
#define LODEMIG_IMAP_IMAP_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_command.h"
#include "imap/imap_exception.h"
#include "imap/pending_commands.h"
#include "imap/response_reader.h"
#include "utils/imessage.h"
#include "utils/tcp_stream.h"

namespace lodemig {

enum class ClientState : int { Disconnected = 0, Connected = 1, Authenticated = 2, Selected = 3 };

// How the client logs in once connected.
enum class LoginKind : int {
  Master,   // X-MASTERAUTH with the master password
  CramMd5,  // AUTHENTICATE CRAM-MD5 as the user
  Plain,    // LOGIN as the user
  Proxy,    // AUTHENTICATE PLAIN as the administrator on the user's behalf
};

// What one connection of the client needs: the server and how to reach it,
// and as whom to log in.
struct ClientSettings {
  ConnectionSettings server;
  LoginKind login = LoginKind::Master;
  std::string user;  // the account for CramMd5, Plain and Proxy; unused by Master
  // What the login sends: the master password for Master and Proxy (Proxy
  // logs in as server.admin), else the account's, or the administrator's
  // for a LOGIN name built from a form.
  std::string password;
};

// One IMAP connection to the target server: its settings, its stream (owned;
// replaced on every connection), its state and the tag counter. Commands are
// built apart (ImapCommand); the client writes them and its reader hands
// each one the untagged responses that came before its tagged line and that
// line, matching tagged lines by tag among the commands still outstanding.
// Untagged responses go to the oldest outstanding command.
//
// A command whose line cannot be written while no other is outstanding is
// sent again once on a new connection: the client connects, logs in and
// re-applies the last identity the server accepted (X-SETUSER), so that a
// resent command never acts as the administrator where it was meant for an
// account. Every exception that leaves the client (the ImapException family)
// leaves it Disconnected with nothing outstanding. Used by one thread.
// Destroying a logged-in client logs out and closes the stream.
class ImapClient {
 public:
  static constexpr std::size_t kChunkReserve = 10240;
  static constexpr std::uint32_t kStreamAreaSize = 4096;
  static constexpr std::uint32_t kGatheringAreaSize = 32768;

  ImapClient();
  ~ImapClient();
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  // Takes the settings of the next connections; the current one is kept.
  void configure(const ClientSettings& settings);

  // Opens the connection, reads the greeting and, when `loginAfter`, logs
  // in. Throws ImapConnectionFailed ("" when the server cannot be reached,
  // the greeting when it is empty or holds "* BYE") and the login's
  // exceptions (AuthenticateFailedException on refusal); any failure leaves
  // the client Disconnected. A login makes the state Authenticated.
  void connect(bool loginAfter);
  // Closes the stream, if any, forgets the outstanding commands and moves to
  // Disconnected. Never throws.
  void closeStream();
  // Sends LOGOUT (never reconnecting for it), waits for its answer unless
  // told not to, and moves to Disconnected. The stream stays open; the
  // caller closes it.
  void logout(bool waitForAnswer = true);
  // Applies the transition when it is allowed; otherwise nothing changes.
  void setState(ClientState next);

  // Finishes `command`'s line and writes it with its content, in one send
  // where it is small, and holds it as outstanding; with kMaxCommandsInFlight
  // already outstanding it first waits for the oldest. `command` (and its
  // content) must stay alive until it is answered or the client throws.
  // Throws ImapConnectionFailed "Send failed" when even a new connection
  // cannot take it (IMessageLoadFailedException "Send failed" for a command
  // with content), IMessageLoadFailedException when the content cannot be
  // produced or is not of the announced size, and the reconnection's own
  // exceptions. A command written whole is never sent again.
  void submit(ImapCommand& command);
  // Reads responses until `command` (submitted) has its tagged line; returns
  // its status. A read takes what has arrived and waits only while nothing
  // has: answers that came together are taken with one receive, and no read
  // ever waits for answers beyond the next. Throws ImapServerBrokeConnection on "* BYE",
  // ImapTimeoutException when nothing comes before the time-out, and
  // ImapConnectionFailed "recvLine failed" when the connection breaks, a
  // response exceeds its bounds, or `command` is not outstanding.
  CommandStatus waitFor(ImapCommand& command);
  // submit() then waitFor().
  CommandStatus execute(ImapCommand& command);
  // For a command submitted open (ImapCommand::keepOpen()) and still
  // outstanding: writes `part` (startContinuation()) and its content after
  // the command's previous content; `part` ends the command unless it is
  // open too. closeCommand() writes the CR LF that ends `command`. Neither
  // sends again on a new connection: the server holds part of the command.
  // Throws ImapConnectionFailed "Send failed" when the connection cannot take
  // it and IMessageLoadFailedException when the content cannot be produced,
  // either leaving the client Disconnected.
  void continueCommand(const ImapCommand& command, ImapCommand& part);
  void closeCommand(const ImapCommand& command);

  ClientState state() const { return state_; }
  // True when the last connect() failed in the login exchange: the server
  // greeted, then refused or ended the connection instead of an answer.
  bool endedInLogin() const { return endedInLogin_; }
  // The server's answer that refused the last connect()'s login (its tagged
  // line, CR LF removed); "" when the login was not refused that way.
  const std::string& loginRefusal() const { return loginRefusal_; }
  // The server greeting read by the last connect (CR kept, LF removed).
  const std::string& lastLine() const { return lastLine_; }
  // The capability words the server announced on this connection without
  // being asked: the greeting's, replaced by those the login's answer
  // carried (a standard server's AUTHENTICATE or LOGIN). Empty when the
  // server announced none, when a STARTTLS made the greeting's void, or when
  // the login's answer named none (they may differ once logged in).
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  // Why the last failure happened, for the admin: the resolver's or the
  // system's error, a time-out, the TLS reason, or, for a command the server
  // refused (waitFor() not Ok), its answer after the tag with its code
  // ("NO [OVERQUOTA] Quota exceeded"); control characters become '?' and a
  // long answer is cut. Set by every failure, kept until the next one.
  const std::string& failureCause() const { return failureCause_; }
  // True when the last connect() failed for a reason that will not pass by
  // itself: a name the resolver does not know, or a TLS set-up that failed
  // (a certificate, a missing STARTTLS). A refused or lost connection, a
  // silent server and a resolver that failed for the time being may pass.
  bool failureLasting() const { return failureLasting_; }
  // Records `cause` as the last failure's, for a failure found outside the
  // client (content that cannot be counted before its command is built).
  void noteFailure(const std::string& cause) { failureCause_ = cause; }
  // Takes the next tag: "V" and the counter, which then increments.
  std::string nextTag();

  // True when the last connect() was to compress (settings' compress) and
  // the server did not offer COMPRESS=DEFLATE or refused it: the connection
  // goes on uncompressed.
  bool compressionDeclined() const { return compressionDeclined_; }
  // True while the connection is compressed.
  bool compressing() const { return stream_ && stream_->compressing(); }

  // The identity ("user@domain") the server last accepted with X-SETUSER on
  // this connection; re-applied after a reconnection. Empty: administrator.
  const std::string& identity() const { return identity_; }
  void rememberIdentity(const std::string& qualifiedName) { identity_ = qualifiedName; }
  void forgetIdentity() { identity_.clear(); }

 private:
  // Creates a new stream for the configured host, port and TLS flag, closing
  // any previous one. Throws ImapConnectionFailed "" when the address is
  // invalid.
  void openStream();
  void reconnect();
  bool usable();

  // submit() that reconnects only when `mayReconnect`.
  void submit(ImapCommand& command, bool mayReconnect);
  // Reads until the server asks for the content of `command` (outstanding,
  // its line sent), then sends it; other commands' answers are handed on,
  // and a refusal of `command` ends the wait with nothing of it sent.
  void sendWhenAsked(ImapCommand& command);
  // Writes the command, reconnecting once when allowed and the connection is
  // gone.
  void send(const ImapCommand& command, bool mayReconnect);
  // One attempt on the current stream: false when the stream cannot take it.
  bool writeCommand(const ImapCommand& command);
  bool writeLine(const std::string& bytes);
  // Without `endsCommand` the content is not followed by the command's CR LF.
  void writeContent(IMessage& content, std::uint32_t announced, bool endsCommand = true);
  // The content's last bytes, sent at once with whatever the stream holds.
  void finishContent(const char* bytes, std::size_t count);
  // Has the system send the content's stored bytes, when it offers them and
  // they are large, after the bytes the stream holds (the command's line);
  // `sent` counts those that went. True when nothing is left to do: all
  // went with the final CR LF, or the stream failed.
  bool sendStoredRange(IMessage& content, std::uint32_t announced, std::uint64_t& sent);
  // The answer to a login challenge, on the current connection only.
  void sendContinuation(const std::string& text);

  // Reads one whole response; the reader's outcomes become exceptions.
  const std::string& readResponse();
  // Gives `response` to the outstanding command it belongs to.
  void dispatch(const std::string& response);
  // Closes the stream and throws ImapConnectionFailed "recvLine failed".
  [[noreturn]] void failReceive();
  // Closes the stream and throws IMessageLoadFailedException with `text`.
  [[noreturn]] void failContent(const char* text);

  // Asks for TLS with STARTTLS on the plain connection and runs the
  // handshake. Throws ImapConnectionFailed with the reason as its detail.
  void startTls();
  // After the login: when the server offers COMPRESS=DEFLATE, switches it
  // on. A refusal only notes compressionDeclined(); a layer that cannot
  // start closes the stream and throws ImapConnectionFailed "recvLine failed".
  void startCompression();
  // True when the logged-in server offers COMPRESS=DEFLATE: the login's
  // answer tells, else a CAPABILITY command.
  bool offersCompression();
  // Closes the stream and throws ImapConnectionFailed "" with `detail`.
  [[noreturn]] void failTls(const std::string& detail);
  // "host:port", for the reasons of a failure.
  std::string serverText() const;
  // Why the last connect failed before the greeting: the resolver's answer,
  // the system's error or the TLS reason.
  // `lasting` is set as failureLasting() reads.
  std::string openFailure(bool& lasting) const;
  // Why the last read got no whole line: `what` ("no greeting", "no answer")
  // when the time-out passed, else the connection's end or error.
  std::string readFailure(const char* what) const;
  // Reads the greeting line within the time-out; closes the stream and
  // throws ImapConnectionFailed when none came whole.
  void readGreeting();
  // Takes the refused command's tagged line after its tag (status word,
  // response code, text) as the failure's cause.
  void noteRefusal(const ImapCommand& command);
  // `text` with control characters as '?', cut when long.
  static std::string printableCause(const std::string& text);
  void login();
  void loginMaster();
  void loginCramMd5();
  void loginPlain();
  void loginProxy();
  // Takes the capabilities a standard server's login answer carried.
  void noteLoginCapabilities(const ImapCommand& command);
  // Closes the stream and throws AuthenticateFailedException with `text`.
  // `answer` is the command whose refusal it is.
  [[noreturn]] void failLogin(const char* text, const ImapCommand& answer);

  ClientSettings settings_;
  std::uint32_t tagCounter_ = 0;
  ClientState state_ = ClientState::Disconnected;
  std::string lastLine_;
  std::string failureCause_;
  bool failureLasting_ = false;
  std::unique_ptr<ostrel::utils::basic_tcpclientiostream> stream_;
  std::string identity_;
  // True while connect() runs: a failure inside it must not start another
  // connection.
  bool connecting_ = false;
  bool endedInLogin_ = false;
  bool compressionDeclined_ = false;
  std::string loginRefusal_;
  std::vector<std::string> capabilities_;
  // True when capabilities_ came with the login's answer, so that they are
  // what the server offers a logged-in client.
  bool capabilitiesOfLogin_ = false;

  PendingCommands pending_;
  ResponseReader reader_;
  // Reused working buffers, so that an append allocates as little as it can.
  std::string chunk_;
  // Takes the piece that must not come after the announced content.
  std::string probe_;
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_CLIENT_H_
