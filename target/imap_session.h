#ifndef LODEMIG_TARGET_IMAP_SESSION_H_
#define LODEMIG_TARGET_IMAP_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "target/command_parser.h"
#include "target/connection_reader.h"
#include "target/content_digest.h"
#include "target/mail_store.h"
#include "target/server_layer.h"
#include "target/server_state.h"
#include "utils/deflate_layer.h"
#include "utils/tls_server.h"

namespace lodemig::target {

// The server side of one IMAP connection: runs the TLS handshake first when
// the options ask for TLS without STARTTLS, greets, reads commands (with
// literals anywhere in them), answers them and applies them to the store.
// The transcript sees the bytes as the client sent them, decrypted.
// The connection, the shared state and the transcript stream must outlive
// the session; the caller closes the connection after run().
class ImapSession {
 public:
  ImapSession(ServerState& state, ostrel::utils::ServerConnection& connection,
              std::ostream* transcript);
  ImapSession(const ImapSession&) = delete;
  ImapSession& operator=(const ImapSession&) = delete;

  // Serves the connection until the client logs out or goes away, the server
  // stops, a bound is exceeded or a fault switch ends it. A store that
  // cannot be written is answered with NO and reported on standard error.
  void run();

 private:
  enum class Flow { kContinue, kClose };
  // How a literal announced at the end of a command line was taken.
  enum class LiteralStep {
    kRead,        // read into the command; its next line follows
    kEndCommand,  // not waited for: the command is malformed or the server stalled
    kTooLarge,    // over the command's bounds, left unread
    kTooBig,      // an append's message over the append limit, left unread
    kClose,       // the connection ended or must end
  };

  // The answer to an append whose message is over the append limit.
  static constexpr std::string_view kTooBig = "[TOOBIG] Message too large";
  // The answer to an append refused for the server's load (--unavailable-every).
  static constexpr std::string_view kUnavailable = "[UNAVAILABLE] Server busy, try again later";

  // Reads one command, its lines and literals, and answers it.
  Flow readCommand();
  // Reads (or refuses) the literal the current line announced; `budget` is
  // what the command may still take and shrinks by a small literal's size.
  LiteralStep takeLiteral(const LiteralAnnouncement& literal, std::size_t& budget);
  // Reads an append's message of `size` bytes into its digest, and its
  // bytes or head as the store needs them; none when `tooBig`.
  ConnectionReader::Status readMessageLiteral(std::uint64_t size, bool tooBig);
  bool inMessagePosition() const;
  // Answers the command read, as `step` (the last literal's) left it.
  Flow answerCommand(LiteralStep step);
  Flow execute();
  // X-CHECKVERSION, STARTTLS, NOOP and LOGOUT; BAD for a command not known.
  Flow executeSimple(std::string_view name);

  Flow login();
  Flow authenticate();
  Flow masterAuth();
  Flow createUser();
  Flow setUser();
  Flow createFolder();
  Flow select();
  Flow fetch();
  Flow status();
  // UID FETCH, UID SEARCH, UID STORE and UID EXPUNGE; EXPUNGE.
  Flow uid();
  Flow uidFetch();
  Flow uidSearch();
  Flow uidStore();
  Flow expunge(bool byUid);
  // The records of the selected folder and, as indices into them in
  // ascending order, the ones a UID set names.
  struct UidSelection {
    std::vector<MessageRecord> records;
    std::vector<std::size_t> indices;
    // The UIDs of the records `indices` names, in that order.
    std::vector<std::uint64_t> chosenUids() const;
  };
  // The records the UID set `*uidSet` names, or all of them when `uidSet` is
  // null. Without one, an answer (BAD when not authenticated, without a
  // folder selected or for a malformed set; NO when the folder is gone) is
  // already sent and `flow` says how to go on.
  std::optional<UidSelection> selectByUid(const std::string* uidSet, Flow& flow);
  Flow capability();
  Flow startTls();
  Flow append(std::string_view command);
  // An APPEND of one or more messages (parts_), with MULTIAPPEND: every
  // message is counted for the faults; a drop closes and a refusal (of
  // any message, or one over the append limit) answers NO with none stored;
  // else each is stored as its fault says and the answer names the UIDs.
  Flow appendParts(std::string_view command);
  // One message's arguments: its flag list and date, either may be empty.
  struct PartArguments {
    std::string_view flags;
    std::string_view date;
  };
  // Stores the messages of appendParts() and answers OK with their UIDs.
  Flow storeParts(std::string_view command, const std::vector<PartArguments>& arguments,
                  const std::vector<ServerState::AppendFault>& faults);
  // Stores the append's message as `fault` says: once, not at all, twice or
  // with other flags; answers OK (with APPENDUID unless the options leave
  // UIDPLUS out) unless the folder is missing.
  Flow storeAppended(std::string_view command, std::string_view flags, std::string_view date,
                     ServerState::AppendFault fault);
  // The append as IncomingMessage for the store; valid until the next command.
  IncomingMessage incoming(std::string_view command, std::string_view flags, std::string_view date);
  // Keeps the append for storing once the client has gone, unanswered.
  void holdBack(std::string_view command, std::string_view flags, std::string_view date);
  // Stores what holdBack() kept; after the connection ended.
  void storeHeldBack();
  bool overAppendLimit(std::uint64_t size) const;
  // Reads the FETCH items of `items` (a single atom or a list at token
  // `index`) into fetchItems_; false when one is not known.
  bool fetchItems(const Token& items, std::size_t index);
  // "<number> FETCH (...)" with fetchItems_ in the order asked, UID first
  // when `withUid` and it was not asked.
  std::string fetchLine(std::uint64_t number, const MessageRecord& record,
                        bool withUid = false) const;
  // Sends `continuation` and reads the client's one-line reply into line_;
  // false when the connection ended.
  bool exchange(const std::string& continuation);

  // Arguments after the command name.
  std::size_t argumentCount() const;
  const Token& argument(std::size_t n) const;
  bool isAString(std::size_t n) const;

  // Adds "* <text>" to the pending answer.
  void untagged(std::string_view text);
  // Sends the pending answer and "<tag> <status> <text><more>" in one write,
  // after the configured delay. False when the connection failed.
  bool answer(std::string_view status, std::string_view text, std::string_view more = {});
  Flow reply(std::string_view status, std::string_view text, std::string_view more = {}) {
    return answer(status, text, more) ? Flow::kContinue : Flow::kClose;
  }
  // Sends the pending answer and "<line>" at once, without a tag or delay.
  bool sendNow(std::string_view line);
  // Sends out_ (through deflate once it is on) and empties it.
  bool sendOut();
  // COMPRESS DEFLATE (with --compress): answers OK, then both ways go
  // through raw deflate.
  Flow compress();

  ServerState& state_;
  const TargetOptions& options_;
  MailStore& store_;
  ostrel::utils::ServerConnection& connection_;
  ConnectionReader reader_;
  CommandParser parser_;
  // The connection as a layer, and deflate over it once COMPRESS is on.
  ServerLayer plainLayer_;
  std::unique_ptr<ostrel::utils::DeflateLayer> deflate_;

  // Login state: the acting account, and whether the master login was made.
  std::optional<MailStore::AccountId> acting_;
  bool master_ = false;
  // The folder of the last successful SELECT, as the client named it.
  std::optional<std::string> selected_;
  // Set by a stall: nothing more is answered, appends are kept in held_.
  struct HeldAppend {
    std::string folder;
    std::string flags;
    std::string date;
    std::string command;
    std::uint64_t digest = 0;
    std::uint64_t size = 0;
    std::string bytes;
    std::string messageIdField;
  };
  bool stalled_ = false;
  std::vector<HeldAppend> held_;
  // With MULTIAPPEND: each message of the command being read.
  struct MessagePart {
    std::uint64_t digest = 0;
    std::uint64_t size = 0;
    bool tooBig = false;
    std::string bytes;  // when the store keeps them
    std::string messageIdField;
  };
  std::vector<MessagePart> parts_;
  static void storeHeld(MailStore& store, MailStore::AccountId account,
                        const std::vector<HeldAppend>& appends);

  // Buffers reused from command to command.
  std::string line_;
  std::string literal_;
  std::string message_;  // the append's message, kept only when the store writes files
  std::string head_;     // its start, for its Message-ID, when message_ is not kept
  std::string messageIdField_;
  ContentDigest messageDigest_;  // of the append's message, however it was kept
  std::string tag_;
  std::string out_;
  std::vector<std::size_t> args_;             // token indices of the arguments after the name
  std::vector<std::string_view> fetchItems_;  // into parser_'s tokens, for one FETCH
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_IMAP_SESSION_H_
