#ifndef LODEMIG_IMAP_IMAP_GATEWAY_H_
#define LODEMIG_IMAP_IMAP_GATEWAY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_client.h"
#include "imap/imap_command.h"
#include "imap/imap_exception.h"
#include "imap/message_summary.h"
#include "imap/uid_response.h"
#include "utils/imessage.h"

namespace lodemig {

// The integer every gateway operation returns.
using GatewayResult = int;
constexpr GatewayResult kGatewayOk = 0;
constexpr GatewayResult kGatewayNotConnected = 1;
constexpr GatewayResult kGatewayAlreadyConnected = 2;
constexpr GatewayResult kGatewayConnectionProblem = 3;
constexpr GatewayResult kGatewayAuthenticationFailed = 4;
constexpr GatewayResult kGatewayCreateUserFailed = 5;
constexpr GatewayResult kGatewaySetUserFailed = 6;
constexpr GatewayResult kGatewayCreateFolderFailed = 7;
constexpr GatewayResult kGatewayAppendFailed = 8;
constexpr GatewayResult kGatewayContentFailed = 9;
constexpr GatewayResult kGatewaySelectFailed = 10;
constexpr GatewayResult kGatewayFetchFailed = 11;
constexpr GatewayResult kGatewayExpungeFailed = 12;
// An append refused together with the other messages of its command: the
// server stored none of them, and says nothing of which one it would not take.
constexpr GatewayResult kGatewayBatchRefused = 13;
// SUBSCRIBE or LSUB refused.
constexpr GatewayResult kGatewaySubscribeFailed = 14;

// The GatewayResult of an ImapException: 3 for a time-out, a failed or
// broken connection, 4 for a refused login, 9 for content that cannot be
// produced, `fallback` for any other.
GatewayResult gatewayResultFor(const ImapException& error, GatewayResult fallback);

// The FolderKind bit of a FolderType (1 contacts ... 5 mail, 6 notes); 0 for
// any other value.
unsigned folderKindBits(int folderType);
// "X-ALL" when the low 15 bits are all set, else the word of the lowest set
// bit ("X-CONTACT", "X-CALENDAR", "X-TODO", "X-JOURNAL", "X-MAIL", "X-MAPI",
// "X-NOTE", "X-SEARCH"), else "".
std::string folderKindWord(unsigned bits);
// True when the last word of an X-CHECKVERSION completion line is a version
// major.minor.patch of 6.3 or newer.
bool versionAtLeast63(const std::string& finalLine);

// What a standard IMAP server announced once logged in: how literals and
// folder names are to be written.
struct ServerTraits {
  bool literalPlus = false;   // LITERAL+: non-synchronizing literals of any size
  bool literalMinus = false;  // LITERAL-: non-synchronizing literals of up to 4096 bytes
  bool uidPlus = false;       // UIDPLUS: APPENDUID answers and UID EXPUNGE
  bool utf8 = false;          // UTF8=ACCEPT, enabled: folder names go in UTF-8
  bool utf8Offered = false;   // UTF8=ACCEPT announced, whether enabled or not
  bool specialUse = false;    // SPECIAL-USE: LIST marks the special folders
  bool multiAppend = false;   // MULTIAPPEND: one APPEND may carry several messages
  std::string separator;      // the hierarchy separator; "" for a flat server
};

// The answer to an append of a window: the token the caller gave it, its
// result and, when the server answered with APPENDUID, the folder's
// UIDVALIDITY and the message's UID there (0 when it did not).
struct AppendAnswer {
  std::uint64_t token = 0;
  GatewayResult result = kGatewayOk;
  std::uint64_t uidValidity = 0;
  std::uint64_t uid = 0;
};

// Result-code facade over one ImapClient: every ImapException is caught here
// and turned into a GatewayResult, one try/catch per operation. Other
// exceptions pass through. Command operations on a gateway that is not
// connected return kGatewayNotConnected without touching the client. Each
// operation builds its command in one ImapCommand kept for the next, so that
// appending allocates nothing for the command once a few have run.
class ImapGateway {
 public:
  ImapGateway() = default;
  virtual ~ImapGateway() = default;
  ImapGateway(const ImapGateway&) = delete;
  ImapGateway& operator=(const ImapGateway&) = delete;

  // Connects to settings.host and port, with its time-out and TLS flag, and
  // logs in as administrator with X-MASTERAUTH and settings.masterPassword.
  // 2 when already connected, 4 when refused, 3 when the server cannot be
  // reached or breaks the connection.
  GatewayResult connectMaster(const ConnectionSettings& settings);
  // Connects and reads the greeting (with TLS as the settings ask), without
  // logging in: the target can be reached. 3 when it cannot.
  GatewayResult reach(const ConnectionSettings& settings);
  // Logs in for the account `user` with the administrator's credentials of
  // `settings`: AUTHENTICATE PLAIN on the account's behalf or, with a login
  // form, LOGIN with the name the form builds. 4 when refused, also when the
  // server ends the connection in the login exchange (as some do for an
  // account they do not have).
  GatewayResult connectAs(const ConnectionSettings& settings, const std::string& user);
  // learnCapabilities(), then learnNames() for the separator alone.
  GatewayResult learnServer(ServerTraits& traits);
  // What the server announces once logged in: the capabilities the login's
  // answer carried, else those of a CAPABILITY command. From then on appends
  // go as a standard server takes them: APPEND without \Recent, with a
  // synchronizing literal unless the server announced LITERAL+ (or LITERAL-
  // for a small message). Sets every field of `traits` but utf8 (false) and
  // separator (""). 3 when the connection fails.
  GatewayResult learnCapabilities(ServerTraits& traits);
  // What folder names need, asked together in one round trip, each only when
  // wanted: ENABLE UTF8=ACCEPT when `enable` and traits.utf8Offered (sets
  // traits.utf8 when accepted; it must precede any SELECT), LIST "" "" when
  // `separator` (sets traits.separator), LIST "" "*" when `folders` is not
  // null (replaces *folders with its untagged answers). A refusal leaves its
  // part as it was; 3 when the connection fails.
  GatewayResult learnNames(ServerTraits& traits, bool enable, bool separator,
                           std::vector<std::string>* folders);
  // connectMaster(), but logs in as `user` with `password`, by CRAM-MD5 or
  // LOGIN; settings.masterPassword is not used.
  GatewayResult connect(const ConnectionSettings& settings, const std::string& user,
                        const std::string& password, bool useCramMd5);
  // Logs out (when asked; its failures are ignored) and closes the stream.
  // Without `waitForLogout` the LOGOUT is sent and the connection closed at
  // once: a round trip saved where nothing more is asked of it.
  void disconnect(bool sendLogout, bool waitForLogout = true);

  // X-CREATEUSER; 5 when refused. The groups list is sent only when not empty.
  GatewayResult createUser(const std::string& name, const std::string& domain,
                           const std::string& password, const std::string& fullName,
                           const std::vector<std::string>& groups = {});
  // X-SETUSER "user@domain"; 6 when refused. An accepted identity is
  // re-applied by the client whenever it has to reconnect.
  GatewayResult setUser(const std::string& user, const std::string& domain);
  // createUser() and setUser() with both commands written before either
  // answer is read: a round trip saved. The switch only sets the identity
  // of this connection, so sending it before the creation is answered asks
  // nothing of the target that the caller would not want; the caller reads
  // the creation's result first, as it would have. Sets *switched to the
  // switch's result.
  GatewayResult createThenSetUser(const std::string& name, const std::string& domain,
                                  const std::string& password, const std::string& fullName,
                                  GatewayResult* switched);
  // CREATE with the kind word of `folderType` (and the GUID when given); 7
  // when refused.
  GatewayResult createFolder(const std::string& name, int folderType,
                             const std::string& guid = std::string());
  // SELECT; the client becomes Selected. 10 when refused. With
  // `messageCount`, sets *messageCount to the folder's message count from
  // the server's last "* n EXISTS", or to -1 when none came or the folder
  // was not selected.
  // With `uids`, also sets its count, UIDVALIDITY and UIDNEXT from the
  // untagged responses (left at -1 and 0 where the server gave none).
  GatewayResult select(const std::string& name, std::int64_t* messageCount = nullptr,
                       FolderUidState* uids = nullptr);
  // select(), with SUBSCRIBE of the same name written right after the SELECT
  // and before either answer is read: no round trip of its own. Returns the
  // SELECT's result and sets *subscribed to the SUBSCRIBE's: 0, 14 when
  // refused (the client's failureCause() then holds the server's answer), 3
  // when the connection fails, 1 when not connected.
  GatewayResult selectAndSubscribe(const std::string& name, std::int64_t* messageCount,
                                   FolderUidState* uids, GatewayResult* subscribed);
  // LSUB "" "*": replaces `names` with the account's subscribed folders as
  // the server names them on the wire (ListEntry::name). 14 when refused or
  // when an answer cannot be read, 3 when the connection fails.
  GatewayResult listSubscribed(std::vector<std::string>& names);
  // STATUS name (MESSAGES UIDNEXT UIDVALIDITY) into `state`, without
  // selecting the folder; 10 when refused or when no STATUS response for it
  // can be read.
  GatewayResult status(const std::string& name, FolderUidState& state);
  // APPEND (or X-APPEND) with the message's flags, date and content as a
  // non-synchronizing literal; 8 when refused, 9 when the content cannot be
  // produced or does not match its size.
  // With `answer`, sets its result, uidValidity and uid as awaitAppend() does.
  GatewayResult append(const std::string& folderName, IMessage& message, bool useXAppend,
                       AppendAnswer* answer = nullptr);

  // Appends with several outstanding at once, up to `size` (1 to
  // kMaxCommandsInFlight; the default 1); the gateway keeps their commands
  // until they are answered. submitAppend() writes one, exactly as append()
  // would, and returns without its answer: 0 once it is written, else
  // append()'s results (nothing of it is then outstanding). awaitAppend()
  // waits for the answer to the oldest outstanding one and hands it back
  // with the `token` it was submitted with: 0, 8 when refused, 3 when the
  // connection is gone (token 0 when none was outstanding). A connection that fails with appends
  // outstanding takes them all: none is outstanding afterwards, and a failed write with others
  // outstanding is 3 whatever it was, since their answers are lost too. No
  // other command may be issued while appends are outstanding.
  void setAppendWindow(std::size_t size);
  GatewayResult submitAppend(const std::string& folderName, IMessage& message, bool useXAppend,
                             std::uint64_t token = 0);
  AppendAnswer awaitAppend();
  std::size_t appendsOutstanding() const { return outstanding_; }
  // Messages one APPEND may carry (1 to kMaxMessagesPerAppend; the default
  // 1). Where the server announced MULTIAPPEND (learnServer()) and takes
  // its literals without a go-ahead, submitAppend() adds consecutive
  // messages of a folder to one command until it carries that many, reaches
  // kBatchBytes, or a message of kLargestBatchedMessage bytes or more comes
  // (sent on its own); awaitAppend() ends a command still open. Each message
  // keeps its own token and answer: the command's, with its UID taken from
  // the APPENDUID set in order; a refusal of a command of several is 13 for
  // each of them (none is stored). A content failure inside a command closes
  // the connection, so that the server stores nothing of it.
  static constexpr std::size_t kMaxMessagesPerAppend = 1000;
  static constexpr std::uint64_t kBatchBytes = 1024 * 1024;
  static constexpr std::uint32_t kLargestBatchedMessage = 64 * 1024;
  void setMultiAppend(std::size_t messages);
  // CAPABILITY, for a server whose appends learnServer() does not learn:
  // whether it announces MULTIAPPEND (and LITERAL+). Never fails: a server
  // that does not answer announces nothing. Each connection forgets it.
  void learnMultiAppend();
  // The messages one APPEND carries on this connection: setMultiAppend()'s
  // where the server offers it, else 1. The window (setAppendWindow())
  // counts messages, so that one of this many times the commands wanted
  // keeps them in flight.
  std::size_t appendBatchSize() const;
  // FETCH 1:* (RFC822.SIZE INTERNALDATE FLAGS) in the selected folder, which
  // must not be empty: some servers refuse 1:* there. Replaces `summaries`
  // with one entry per message, in sequence order. 11 when refused or when
  // a response cannot be read or a message is missing from them.
  GatewayResult fetchSummaries(std::vector<MessageSummary>& summaries);
  // CAPABILITY; sets *appendLimit to the APPENDLIMIT it announces, -1 for
  // none. Never fails: a server that does not answer announces no limit.
  void appendLimit(std::int64_t* appendLimit);
  // UID FETCH of the selected folder's messages with a UID of at least
  // `fromUid` (all of them for 0 or 1): (UID RFC822.SIZE INTERNALDATE
  // BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)]), which leaves \Seen alone.
  // Replaces `fingerprints` with one entry per message, ascending by UID;
  // a server's "n:*" that names a last message below n adds nothing. 11
  // when refused or when a message's data cannot be read. The answer is
  // bounded as every answer is (ResponseReader::kMaxResponseLength).
  GatewayResult fetchFingerprints(std::uint64_t fromUid,
                                  std::vector<MessageFingerprint>& fingerprints);
  // CAPABILITY; true when the server announces UIDPLUS. Never fails: a
  // server that does not answer announces nothing. Remembered for
  // expungeUids().
  bool uidPlus();
  // UID STORE <uids> +FLAGS.SILENT (\Deleted), then UID EXPUNGE <uids> in
  // the selected folder: removes exactly those messages, whatever else is
  // flagged \Deleted there. Only once uidPlus() (or learnServer()) found
  // UIDPLUS: without it nothing is sent and the result is 12, as it is when
  // either command is refused. An empty `uids` sends nothing and is 0.
  GatewayResult expungeUids(const std::vector<std::uint64_t>& uids);
  // UID STORE <uids> +FLAGS.SILENT (<flags>), or -FLAGS.SILENT when not
  // `add`, in the selected folder; other flags stay as they are. An empty
  // `uids` sends nothing and is 0; a refusal is 12.
  GatewayResult changeFlags(const std::vector<std::uint64_t>& uids, bool add,
                            const std::string& flags);
  // NOOP: one round trip. 3 when the connection fails.
  GatewayResult noop();
  // True when the server reports version 6.3 or newer; never fails.
  bool checkVersion();

  bool connected() const { return connected_; }
  ImapClient& client() { return client_; }
  // Why the last connect could not set up the connection's protection (TLS,
  // STARTTLS), for the log; "" when it failed otherwise or did not fail.
  const std::string& connectionFailure() const { return connectionFailure_; }

 private:
  // Connects with `settings` and, when `logIn`, logs in; the result of a
  // connect.
  GatewayResult open(const ClientSettings& settings, bool logIn = true);
  // select() and selectAndSubscribe(): SUBSCRIBE goes too when `subscribed`
  // is not null.
  GatewayResult selectFolder(const std::string& name, std::int64_t* messageCount,
                             FolderUidState* uids, GatewayResult* subscribed);
  // Starts the gateway's command with the client's next tag and `name`.
  ImapCommand& startCommand(std::string_view name);
  void buildCreateUser(ImapCommand& command, const std::string& name, const std::string& domain,
                       const std::string& password, const std::string& fullName,
                       const std::vector<std::string>& groups);
  // Builds the APPEND (or X-APPEND) of `message` into `command`. Throws
  // IMessageLoadFailedException when its size cannot be counted.
  void buildAppend(ImapCommand& command, const std::string& folderName, IMessage& message,
                   bool useXAppend);
  // The APPEND's line with arguments_ (messageArguments()) and `size`.
  void startAppend(ImapCommand& command, const std::string& folderName, IMessage& message,
                   std::uint32_t size, bool useXAppend);
  // The message's content size; throws IMessageLoadFailedException with the
  // cause noted when it cannot be counted.
  std::uint32_t countContent(IMessage& message);
  // The message's flag list and date as an append gives them, in `arguments`.
  void messageArguments(std::string& arguments, IMessage& message) const;
  // True when a literal of `size` bytes waits for the server's go-ahead.
  bool synchronizingFor(std::uint32_t size) const;
  // True when a message of `size` bytes for `folderName` may join the open
  // command.
  bool joinsBatch(const std::string& folderName, bool useXAppend, std::uint32_t size) const;
  // True when a message of `size` bytes may be the first of several.
  bool batchable(std::uint32_t size) const;
  // Writes the end of the open command, if any. Throws as the client does.
  void closeBatch();
  // The answer of the message at `position` of the command last answered.
  AppendAnswer batchAnswer(std::size_t position, std::uint64_t token) const;

  // Declared before the client, which holds them while they are outstanding,
  // so that they outlive the client.
  ImapCommand command_;
  ImapCommand second_;  // the switch that follows a creation
  ImapCommand third_;   // the last of the questions learnNames() asks together
  // The appends of the window, used in turn: the oldest outstanding one is
  // at head_, the next free one outstanding_ places after it.
  struct InFlightAppend {
    ImapCommand command;  // written when the message is the first of its command
    std::uint64_t token = 0;
    std::size_t position = 0;  // in its command, from 0
    std::size_t messages = 1;  // in the command, when the message is its first
  };
  std::vector<InFlightAppend> window_ = std::vector<InFlightAppend>(1);
  std::size_t head_ = 0;
  std::size_t outstanding_ = 0;
  // The command still taking messages: its first message's slot, folder and
  // bytes so far.
  std::size_t multiAppend_ = 1;
  bool batchOpen_ = false;
  std::size_t batchLead_ = 0;
  std::string batchFolder_;
  bool batchXAppend_ = false;
  std::uint64_t batchBytes_ = 0;
  ImapCommand part_;  // the next message of the open command
  std::string arguments_;
  // The answer of the command whose messages are being handed out.
  GatewayResult batchResult_ = kGatewayOk;
  std::size_t batchMessages_ = 0;
  std::uint64_t batchValidity_ = 0;
  std::vector<std::uint64_t> batchUids_;
  ImapClient client_;
  bool connected_ = false;
  std::string connectionFailure_;
  // Set by learnServer(): appends as a standard server takes them.
  bool standardAppends_ = false;
  // UIDPLUS was announced: UID EXPUNGE removes only the messages it names.
  bool uidPlus_ = false;
  ServerTraits traits_;
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_GATEWAY_H_
