#include "target/imap_session.h"

#include <algorithm>
#include <iostream>

#include "imap/digest.h"
#include "target/message_header.h"
#include "target/sequence_set.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

namespace {

// Large enough that a stream of small appends needs few receives.
constexpr std::size_t kReadBufferSize = 128 * 1024;
constexpr std::size_t kKeptMessageCapacity = 16 * 1024 * 1024;
constexpr char kTooBig[] = "[TOOBIG] Message too large";
// The INTERNALDATE of a message appended without a date: fixed, so that
// answers can be compared across runs.
constexpr std::string_view kNoDate = "01-Jan-2000 00:00:00 +0000";
// The one header section FETCH serves, as its answer names it.
constexpr std::string_view kMessageIdItem = "BODY[HEADER.FIELDS (MESSAGE-ID)]";

using ostrel::utils::equalsIgnoreCase;

// The folder kinds CREATE takes, in the spelling the folders file keeps.
constexpr std::string_view kKindWords[] = {"X-CONTACT", "X-CALENDAR", "X-TODO",
                                           "X-JOURNAL", "X-MAIL",     "X-MAPI",
                                           "X-NOTE",    "X-SEARCH",   "X-ALL"};

std::string_view kindWord(std::string_view word) {
  for (const std::string_view kind : kKindWords) {
    if (equalsIgnoreCase(word, kind)) {
      return kind;
    }
  }
  return {};
}

// The space-separated words of a flag list's text.
std::vector<std::string_view> flagWords(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = text.find_first_not_of(' '); at != std::string_view::npos;) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = text.find_first_not_of(' ', end);
  }
  return words;
}

std::string joinWords(const std::vector<std::string_view>& words) {
  std::string joined;
  for (const std::string_view word : words) {
    joined.append(joined.empty() ? "" : " ").append(word);
  }
  return joined;
}

// The flags with \Flagged dropped when they have it and added when not, so
// that a stored message's flags surely differ from the ones sent.
std::string toggledFlagged(std::string_view flags) {
  std::vector<std::string_view> words = flagWords(flags);
  const auto flagged = [](std::string_view word) { return equalsIgnoreCase(word, "\\Flagged"); };
  const auto kept = std::remove_if(words.begin(), words.end(), flagged);
  if (kept == words.end()) {
    words.push_back("\\Flagged");
  } else {
    words.erase(kept, words.end());
  }
  return joinWords(words);
}

std::string upperCopy(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

// A quoted string of `text`.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + '"';
}

// The folder name as an atom when it can be one, quoted otherwise.
std::string mailboxText(std::string_view name) {
  const bool atom = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f &&
           std::string_view("(){%*\"\\]").find(c) == std::string_view::npos;
  });
  return atom ? std::string(name) : quoted(name);
}

}  // namespace

ImapSession::ImapSession(ServerState& state, ostrel::utils::ServerConnection& connection,
                         std::ostream* transcript)
    : state_(state),
      options_(state.options()),
      store_(state.store()),
      connection_(connection),
      reader_(connection, kReadBufferSize, transcript) {}

void ImapSession::run() {
  // A client that fails the handshake, or speaks in the clear, hears nothing.
  if (state_.tls() != nullptr && !options_.starttls && !connection_.startTls(*state_.tls())) {
    return;
  }
  if (!sendNow("* OK lodemig-target IMAP4rev1 server ready")) {
    return;
  }
  while (!state_.stopping() && readCommand() == Flow::kContinue) {
  }
  storeHeldBack();
}

bool ImapSession::inMessagePosition() const {
  // The first literal after the mailbox argument of an append, outside any
  // list, is the message; every other literal is a small argument.
  return parser_.depth() == 0 && !parser_.hasMessage() && parser_.topLevelCount() >= 3 &&
         parser_[1].kind == Token::Kind::kAtom &&
         (equalsIgnoreCase(parser_[1].text, "APPEND") ||
          equalsIgnoreCase(parser_[1].text, "X-APPEND"));
}

ImapSession::Flow ImapSession::readCommand() {
  parser_.reset();
  if (message_.capacity() > kKeptMessageCapacity) {
    // One huge message should not pin its memory for the whole connection.
    std::string().swap(message_);
  }
  message_.clear();
  head_.clear();
  tag_.clear();
  const char* abandoned = nullptr;
  const char* abandonedStatus = "BAD";
  std::size_t budget = options_.maxCommandLength;
  bool first = true;
  for (;;) {
    const ConnectionReader::Status status = reader_.readLine(line_, budget);
    if (status == ConnectionReader::Status::kClosed) {
      return Flow::kClose;
    }
    if (status == ConnectionReader::Status::kTooLong) {
      // The rest of the line may announce a literal whose bytes would then be
      // read as commands; only closing is safe.
      sendNow("* BYE Command line too long");
      return Flow::kClose;
    }
    budget -= line_.size();
    const LiteralAnnouncement literal = findLiteralAnnouncement(line_);
    parser_.feed(std::string_view(line_).substr(0, literal.present ? literal.start : line_.size()));
    if (first) {
      first = false;
      if (parser_.size() > 0 && parser_[0].kind == Token::Kind::kAtom && line_[0] != ' ' &&
          parser_[0].text != "*" && parser_[0].text != "+") {
        tag_ = parser_[0].text;
      }
    }
    if (!literal.present) {
      break;
    }
    const bool message = !parser_.failed() && inMessagePosition();
    // Dropped bytes cost no memory, so a failed command's literal has the
    // message bound too.
    const std::uint64_t limit =
        message || parser_.failed() ? options_.maxLiteralSize : std::uint64_t{budget};
    if (literal.size > limit) {
      if (!literal.synchronizing) {
        // The bytes are on their way and too many to read through.
        sendNow("* BYE Literal too large");
        return Flow::kClose;
      }
      abandoned = "Literal too large";
      break;
    }
    const bool tooBig = message && overAppendLimit(literal.size);
    if (tooBig && literal.synchronizing) {
      // Refused before the continuation, so that the bytes are never sent.
      abandoned = kTooBig;
      abandonedStatus = "NO";
      break;
    }
    if (literal.synchronizing) {
      if (parser_.failed() || stalled_) {
        // The client waits for the continuation; without it the literal
        // never comes and the command ends here.
        break;
      }
      if (!sendNow("+ Ready")) {
        return Flow::kClose;
      }
    }
    ConnectionReader::Status read;
    if (message) {
      // The message is digested as it arrives, so that its answer waits for
      // no pass over it; without files to write, or when it is to be
      // refused for its size, its bytes are not kept.
      messageDigest_.reset();
      if (store_.keepsBytes() && !tooBig) {
        read = reader_.readBytes(literal.size, &message_, &messageDigest_);
      } else {
        // Only the start is kept: enough for the Message-ID of a header.
        const std::uint64_t head = std::min<std::uint64_t>(literal.size, kHeaderScanLimit);
        read = reader_.readBytes(head, tooBig ? nullptr : &head_, &messageDigest_);
        if (read == ConnectionReader::Status::kOk && head < literal.size) {
          read = reader_.readBytes(literal.size - head, nullptr, &messageDigest_);
        }
      }
      parser_.addMessage();
    } else if (parser_.failed()) {
      read = reader_.readBytes(literal.size, nullptr);
    } else {
      literal_.clear();
      read = reader_.readBytes(literal.size, &literal_);
      budget -= static_cast<std::size_t>(literal.size);
      parser_.addLiteral(literal_);
    }
    if (read != ConnectionReader::Status::kOk) {
      return Flow::kClose;
    }
  }
  if (abandoned == nullptr) {
    parser_.finish();
  }
  std::string_view error = parser_.error();
  if (abandoned != nullptr) {
    error = abandoned;
  }
  if (tag_.empty()) {
    return sendNow("* BAD " + std::string(error.empty() ? "Missing tag" : error)) ? Flow::kContinue
                                                                                  : Flow::kClose;
  }
  if (state_.countCommandForBye()) {
    sendNow("* BYE Server shutting down the connection");
    return Flow::kClose;
  }
  if (!error.empty()) {
    return reply(abandoned != nullptr ? abandonedStatus : "BAD", error);
  }
  try {
    return execute();
  } catch (const QLException& e) {
    // The store could not be written: the client hears NO and the person
    // running the server sees why.
    std::cerr << "lodemig-target: " << e.what() << std::endl;
    return reply("NO", "[SERVERBUG] ", e.what());
  }
}

std::size_t ImapSession::argumentCount() const {
  return args_.size();
}

const Token& ImapSession::argument(std::size_t n) const {
  return parser_[args_[n]];
}

bool ImapSession::isAString(std::size_t n) const {
  return n < args_.size() &&
         (argument(n).kind == Token::Kind::kAtom || argument(n).kind == Token::Kind::kString);
}

ImapSession::Flow ImapSession::execute() {
  if (parser_.size() < 2 || parser_[1].kind != Token::Kind::kAtom) {
    return reply("BAD", "Missing command name");
  }
  args_.clear();
  for (std::size_t i = parser_[1].end; i < parser_.size(); i = parser_[i].end) {
    args_.push_back(i);
  }
  const std::string& name = parser_[1].text;
  if (stalled_ && !equalsIgnoreCase(name, "APPEND") && !equalsIgnoreCase(name, "X-APPEND")) {
    return Flow::kContinue;  // a stalled server answers nothing
  }
  if (equalsIgnoreCase(name, "APPEND")) {
    return append("APPEND");
  }
  if (equalsIgnoreCase(name, "X-APPEND")) {
    return append("X-APPEND");
  }
  if (equalsIgnoreCase(name, "SELECT")) {
    return select();
  }
  if (equalsIgnoreCase(name, "FETCH")) {
    return fetch();
  }
  if (equalsIgnoreCase(name, "UID")) {
    return uid();
  }
  if (equalsIgnoreCase(name, "EXPUNGE")) {
    return expunge(false);
  }
  if (equalsIgnoreCase(name, "STATUS")) {
    return status();
  }
  if (equalsIgnoreCase(name, "CREATE")) {
    return createFolder();
  }
  if (equalsIgnoreCase(name, "X-SETUSER")) {
    return setUser();
  }
  if (equalsIgnoreCase(name, "X-CREATEUSER")) {
    return createUser();
  }
  if (equalsIgnoreCase(name, "X-MASTERAUTH")) {
    return masterAuth();
  }
  if (equalsIgnoreCase(name, "AUTHENTICATE")) {
    return authenticate();
  }
  if (equalsIgnoreCase(name, "LOGIN")) {
    return login();
  }
  if (equalsIgnoreCase(name, "X-CHECKVERSION")) {
    return reply("OK", "X-CHECKVERSION ", options_.version);
  }
  if (equalsIgnoreCase(name, "CAPABILITY")) {
    return capability();
  }
  // Without a certificate the command stays unknown, as it always was.
  if (state_.tls() != nullptr && equalsIgnoreCase(name, "STARTTLS")) {
    return startTls();
  }
  if (equalsIgnoreCase(name, "NOOP")) {
    return reply("OK", "NOOP completed");
  }
  if (equalsIgnoreCase(name, "LOGOUT")) {
    untagged("BYE lodemig-target logging out");
    answer("OK", "LOGOUT completed");
    return Flow::kClose;
  }
  return reply("BAD", "Unknown command");
}

bool ImapSession::exchange(const std::string& continuation) {
  if (!sendNow(continuation)) {
    return false;
  }
  const ConnectionReader::Status status = reader_.readLine(line_, options_.maxCommandLength);
  if (status == ConnectionReader::Status::kTooLong) {
    sendNow("* BYE Line too long");
  }
  return status == ConnectionReader::Status::kOk;
}

ImapSession::Flow ImapSession::login() {
  if (argumentCount() != 2 || !isAString(0) || !isAString(1)) {
    return reply("BAD", "LOGIN needs a user name and a password");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  const std::optional<MailStore::AccountId> account = store_.findAccount(argument(0).text);
  if (!account || *account == MailStore::kAdministrator ||
      store_.password(*account) != argument(1).text) {
    return reply("NO", "[AUTHENTICATIONFAILED] Authentication failed");
  }
  acting_ = account;
  master_ = false;
  return reply("OK", "LOGIN completed");
}

ImapSession::Flow ImapSession::authenticate() {
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "AUTHENTICATE needs a mechanism");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  if (!equalsIgnoreCase(argument(0).text, "CRAM-MD5")) {
    return reply("NO", "Unsupported authentication mechanism");
  }
  const std::string challenge = state_.newChallenge();
  if (!exchange("+ " + ostrel::crypto::base64Encode(challenge))) {
    return Flow::kClose;
  }
  if (line_ == "*") {
    return reply("BAD", "Authentication cancelled");
  }
  bool valid = true;
  const std::string response = ostrel::crypto::base64Decode(line_, &valid);
  const std::size_t space = response.rfind(' ');
  if (!valid || space == std::string::npos) {
    return reply("BAD", "Malformed CRAM-MD5 response");
  }
  const std::optional<MailStore::AccountId> account =
      store_.findAccount(std::string_view(response).substr(0, space));
  if (!account || *account == MailStore::kAdministrator ||
      ostrel::crypto::hmacMd5(store_.password(*account), challenge) !=
          std::string_view(response).substr(space + 1)) {
    return reply("NO", "[AUTHENTICATIONFAILED] Authentication failed");
  }
  acting_ = account;
  master_ = false;
  return reply("OK", "AUTHENTICATE completed");
}

ImapSession::Flow ImapSession::masterAuth() {
  if (argumentCount() != 0) {
    return reply("BAD", "X-MASTERAUTH takes no arguments");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  const std::string challenge = state_.newChallenge();
  if (!exchange("+ " + challenge)) {
    return Flow::kClose;
  }
  if (line_ == "*") {
    return reply("BAD", "Authentication cancelled");
  }
  // Only the lower-case form is accepted: a client that sends anything else
  // is wrong, and accepting it would hide that.
  if (line_ != ostrel::crypto::md5Hex(challenge + options_.masterPassword)) {
    return reply("NO", "[AUTHENTICATIONFAILED] Master authentication failed");
  }
  acting_ = MailStore::kAdministrator;
  master_ = true;
  return reply("OK", "X-MASTERAUTH completed");
}

ImapSession::Flow ImapSession::createUser() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!master_) {
    return reply("NO", "X-CREATEUSER needs the master login");
  }
  if (argumentCount() != 1 || argument(0).kind != Token::Kind::kList) {
    return reply("BAD", "X-CREATEUSER needs a parenthesized list");
  }
  const std::string* name = nullptr;
  const std::string* domain = nullptr;
  const std::string* password = nullptr;
  const std::string* fullName = nullptr;
  bool groups = false;
  const Token& list = argument(0);
  for (std::size_t i = args_[0] + 1; i < list.end;) {
    const Token& key = parser_[i];
    const std::size_t valueIndex = key.end;
    if (key.kind != Token::Kind::kAtom || valueIndex >= list.end) {
      return reply("BAD", "Malformed X-CREATEUSER list");
    }
    const Token& value = parser_[valueIndex];
    const bool isText = value.kind == Token::Kind::kAtom || value.kind == Token::Kind::kString;
    const std::string** slot = nullptr;
    if (equalsIgnoreCase(key.text, "NAME")) {
      slot = &name;
    } else if (equalsIgnoreCase(key.text, "DOMAIN")) {
      slot = &domain;
    } else if (equalsIgnoreCase(key.text, "PASSWORD")) {
      slot = &password;
    } else if (equalsIgnoreCase(key.text, "FULLNAME")) {
      slot = &fullName;
    } else if (equalsIgnoreCase(key.text, "GROUPS")) {
      if (groups || value.kind != Token::Kind::kList) {
        return reply("BAD", "Malformed X-CREATEUSER list");
      }
      for (std::size_t g = valueIndex + 1; g < value.end; g = parser_[g].end) {
        if (parser_[g].kind != Token::Kind::kString && parser_[g].kind != Token::Kind::kAtom) {
          return reply("BAD", "Malformed X-CREATEUSER list");
        }
      }
      groups = true;
    } else {
      return reply("BAD", "Unknown X-CREATEUSER item");
    }
    if (slot != nullptr) {
      if (*slot != nullptr || !isText) {
        return reply("BAD", "Malformed X-CREATEUSER list");
      }
      *slot = &value.text;
    }
    i = value.end;
  }
  if (name == nullptr || domain == nullptr) {
    return reply("BAD", "X-CREATEUSER needs NAME and DOMAIN");
  }
  const std::string empty;
  switch (store_.createAccount(*name + "@" + *domain, password != nullptr ? *password : empty,
                               fullName != nullptr ? *fullName : empty)) {
    case MailStore::Outcome::kDone:
      return reply("OK", "X-CREATEUSER completed");
    case MailStore::Outcome::kExists:
      return reply("NO", "[ALREADYEXISTS] Account exists");
    default:
      return reply("NO", "Invalid account");
  }
}

ImapSession::Flow ImapSession::setUser() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!master_) {
    return reply("NO", "X-SETUSER needs the master login");
  }
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "X-SETUSER needs an account");
  }
  const std::string& address = argument(0).text;
  if (state_.refusesSetUser(address)) {
    return reply("NO", "X-SETUSER refused");
  }
  const std::optional<MailStore::AccountId> account = store_.findAccount(address);
  if (!account) {
    return reply("NO", "No such account");
  }
  acting_ = account;
  selected_.reset();
  return reply("OK", "X-SETUSER completed");
}

ImapSession::Flow ImapSession::createFolder() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  const std::size_t count = argumentCount();
  if (count < 1 || count > 2 || !isAString(count - 1) ||
      (count == 2 && argument(0).kind != Token::Kind::kList)) {
    return reply("BAD", "CREATE needs a folder name, after an optional kind list");
  }
  std::string_view kind = MailStore::kNoKind;
  if (count == 2) {
    bool kindSeen = false;
    const Token& list = argument(0);
    for (std::size_t i = args_[0] + 1; i < list.end; i = parser_[i].end) {
      const Token& item = parser_[i];
      if (item.kind != Token::Kind::kAtom) {
        return reply("BAD", "Malformed kind list");
      }
      if (equalsIgnoreCase(item.text, "GUID")) {
        const std::size_t guid = item.end;
        if (guid >= list.end || (parser_[guid].kind != Token::Kind::kString &&
                                 parser_[guid].kind != Token::Kind::kAtom)) {
          return reply("BAD", "Malformed kind list");
        }
        i = guid;
        continue;
      }
      const std::string_view word = kindWord(item.text);
      if (word.empty() || kindSeen) {
        return reply("BAD", "Unknown folder kind");
      }
      kind = word;
      kindSeen = true;
    }
  }
  switch (store_.createFolder(*acting_, kind, argument(count - 1).text)) {
    case MailStore::Outcome::kDone:
      return reply("OK", "CREATE completed");
    case MailStore::Outcome::kExists:
      return reply("NO", "[ALREADYEXISTS] Folder exists");
    default:
      return reply("NO", "Invalid folder name");
  }
}

ImapSession::Flow ImapSession::select() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "SELECT needs a folder name");
  }
  // A SELECT that fails leaves no folder selected, as after a fresh login.
  selected_.reset();
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, argument(0).text);
  if (!uids) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  selected_ = argument(0).text;
  untagged("FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)");
  untagged(std::to_string(uids->messages) + " EXISTS");
  untagged("0 RECENT");
  untagged("OK [UIDVALIDITY " + std::to_string(uids->validity) + "] UIDs valid");
  untagged("OK [UIDNEXT " + std::to_string(uids->next) + "] Predicted next UID");
  return reply("OK", "[READ-WRITE] SELECT completed");
}

ImapSession::Flow ImapSession::append(std::string_view command) {
  // Mailbox, an optional flag list, an optional date, then the message.
  const std::size_t count = argumentCount();
  std::size_t next = 1;
  std::string_view flags;
  std::string_view date;
  if (next + 1 < count && argument(next).kind == Token::Kind::kList) {
    const Token& list = argument(next);
    for (std::size_t i = args_[next] + 1; i < list.end; i = parser_[i].end) {
      if (parser_[i].kind != Token::Kind::kAtom) {
        return reply("BAD", "Malformed flag list");
      }
    }
    flags = list.text;
    ++next;
  }
  if (next + 1 < count && argument(next).kind == Token::Kind::kString) {
    date = argument(next).text;
    ++next;
  }
  if (count < 2 || !isAString(0) || next + 1 != count ||
      argument(next).kind != Token::Kind::kMessage) {
    return reply("BAD", "Malformed ", command);
  }
  // Refused before it is counted: the fault numbers count the appends the
  // server would take.
  if (overAppendLimit(messageDigest_.size())) {
    return reply("NO", kTooBig);
  }
  const ServerState::AppendFault fault = state_.countAppend();
  if (stalled_ || (fault == ServerState::AppendFault::kStall && acting_)) {
    holdBack(command, flags, date);
    return Flow::kContinue;
  }
  if (fault == ServerState::AppendFault::kDrop) {
    return Flow::kClose;
  }
  if (fault == ServerState::AppendFault::kRefuse) {
    return reply("NO", command, " refused");
  }
  if (fault == ServerState::AppendFault::kRefuseThenCut) {
    // The appends the client sent after this one are neither read nor stored.
    answer("NO", command, " refused");
    return Flow::kClose;
  }
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  return storeAppended(command, flags, date, fault);
}

IncomingMessage ImapSession::incoming(std::string_view command, std::string_view flags,
                                      std::string_view date) {
  messageIdField_ = messageIdField(store_.keepsBytes() ? message_ : head_);
  IncomingMessage message;
  message.flags = flags;
  message.date = date;
  message.command = command;
  message.digest = messageDigest_.value();
  message.size = messageDigest_.size();
  message.bytes = message_;
  message.messageIdField = messageIdField_;
  return message;
}

ImapSession::Flow ImapSession::storeAppended(std::string_view command, std::string_view flags,
                                             std::string_view date,
                                             ServerState::AppendFault fault) {
  const std::string& folder = argument(0).text;
  std::string altered;
  if (fault == ServerState::AppendFault::kAlter) {
    altered = toggledFlagged(flags);
    flags = altered;
  }
  int copies = 1;
  if (fault == ServerState::AppendFault::kLose) {
    copies = 0;
  } else if (fault == ServerState::AppendFault::kDouble) {
    copies = 2;
  }
  // A lost message still needs its folder: a client told OK for a folder
  // that is not there would see a different fault.
  bool exists = copies > 0 || store_.folderMessages(*acting_, folder).has_value();
  const IncomingMessage message = incoming(command, flags, date);
  std::uint64_t uid = 0;
  for (int i = 0; i < copies && exists; ++i) {
    exists = store_.storeMessage(*acting_, folder, message, i == 0 ? &uid : nullptr) !=
             MailStore::Outcome::kMissing;
  }
  if (!exists) {
    return reply("NO", "[TRYCREATE] No such folder");
  }
  // A lost message has no UID to name.
  if (options_.noUidplus || uid == 0) {
    return reply("OK", command, " completed");
  }
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, folder);
  return reply(
      "OK",
      "[APPENDUID " + std::to_string(uids ? uids->validity : 1) + " " + std::to_string(uid) + "] ",
      std::string(command) + " completed");
}

void ImapSession::holdBack(std::string_view command, std::string_view flags,
                           std::string_view date) {
  stalled_ = true;
  const IncomingMessage message = incoming(command, flags, date);
  held_.push_back(HeldAppend{argument(0).text, std::string(flags), std::string(date),
                             std::string(command), message.digest, message.size,
                             std::string(message.bytes), std::string(message.messageIdField)});
}

void ImapSession::storeHeldBack() {
  for (const HeldAppend& held : held_) {
    IncomingMessage message;
    message.flags = held.flags;
    message.date = held.date;
    message.command = held.command;
    message.digest = held.digest;
    message.size = held.size;
    message.bytes = held.bytes;
    message.messageIdField = held.messageIdField;
    try {
      store_.storeMessage(*acting_, held.folder, message);
    } catch (const QLException& e) {
      std::cerr << "lodemig-target: " << e.what() << std::endl;
    }
  }
  held_.clear();
}

bool ImapSession::overAppendLimit(std::uint64_t size) const {
  return options_.appendLimit && size > *options_.appendLimit;
}

ImapSession::Flow ImapSession::capability() {
  std::string line =
      "CAPABILITY IMAP4rev1 LITERAL+ AUTH=CRAM-MD5 X-MASTERAUTH X-CHECKVERSION X-CREATEUSER "
      "X-SETUSER X-APPEND";
  if (!options_.noUidplus) {
    line += " UIDPLUS";
  }
  if (options_.appendLimit) {
    line += " APPENDLIMIT=" + std::to_string(*options_.appendLimit);
  }
  if (options_.starttls && !connection_.usesTls() && !options_.noStarttlsCapability) {
    line += " STARTTLS";
  }
  untagged(line);
  return reply("OK", "CAPABILITY completed");
}

ImapSession::Flow ImapSession::startTls() {
  if (connection_.usesTls()) {
    return reply("BAD", "TLS is already active");
  }
  if (argumentCount() != 0) {
    return reply("BAD", "STARTTLS takes no arguments");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  if (options_.starttlsRefuse) {
    return reply("NO", "STARTTLS refused");
  }
  if (!answer("OK", "Begin TLS negotiation now")) {
    return Flow::kClose;
  }
  // Whatever came after the command line came in the clear, where anyone on
  // the way could have put it: it must not pass for commands sent over TLS.
  reader_.discardBuffered();
  return connection_.startTls(*state_.tls()) ? Flow::kContinue : Flow::kClose;
}

ImapSession::Flow ImapSession::status() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (argumentCount() != 2 || !isAString(0) || argument(1).kind != Token::Kind::kList) {
    return reply("BAD", "STATUS needs a folder name and a list of items");
  }
  const Token& list = argument(1);
  for (std::size_t i = args_[1] + 1; i < list.end; i = parser_[i].end) {
    if (parser_[i].kind != Token::Kind::kAtom ||
        !(equalsIgnoreCase(parser_[i].text, "MESSAGES") ||
          equalsIgnoreCase(parser_[i].text, "UIDNEXT") ||
          equalsIgnoreCase(parser_[i].text, "UIDVALIDITY"))) {
      return reply("BAD", "Unknown STATUS item");
    }
  }
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, argument(0).text);
  if (!uids) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  std::string items;
  for (std::size_t i = args_[1] + 1; i < list.end; i = parser_[i].end) {
    const std::string& item = parser_[i].text;
    std::uint64_t value = uids->messages;
    if (equalsIgnoreCase(item, "UIDNEXT")) {
      value = uids->next;
    } else if (equalsIgnoreCase(item, "UIDVALIDITY")) {
      value = uids->validity;
    }
    items.append(items.empty() ? "" : " ").append(upperCopy(item));
    items.append(" ").append(std::to_string(value));
  }
  untagged("STATUS " + mailboxText(argument(0).text) + " (" + items + ")");
  return reply("OK", "STATUS completed");
}

bool ImapSession::fetchItems(const Token& items, std::size_t index) {
  fetchItems_.clear();
  if (items.kind == Token::Kind::kAtom) {
    fetchItems_.push_back(items.text);
  } else if (items.kind == Token::Kind::kList) {
    for (std::size_t i = index + 1; i < items.end; i = parser_[i].end) {
      if (parser_[i].kind != Token::Kind::kAtom) {
        return false;
      }
      // The section's list splits BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)] into
      // three tokens; the one header a client may ask for is taken whole.
      const std::size_t list = parser_[i].end;
      const std::size_t close = list < items.end ? parser_[list].end : items.end;
      if ((equalsIgnoreCase(parser_[i].text, "BODY.PEEK[HEADER.FIELDS") ||
           equalsIgnoreCase(parser_[i].text, "BODY[HEADER.FIELDS")) &&
          close < items.end && parser_[list].kind == Token::Kind::kList &&
          equalsIgnoreCase(parser_[list].text, "MESSAGE-ID") && parser_[close].text == "]") {
        fetchItems_.push_back(kMessageIdItem);
        i = close;
        continue;
      }
      fetchItems_.push_back(parser_[i].text);
    }
  }
  return std::all_of(fetchItems_.begin(), fetchItems_.end(), [](std::string_view item) {
    return equalsIgnoreCase(item, "RFC822.SIZE") || equalsIgnoreCase(item, "INTERNALDATE") ||
           equalsIgnoreCase(item, "FLAGS") || equalsIgnoreCase(item, "UID") ||
           item == kMessageIdItem;
  });
}

std::string ImapSession::fetchLine(std::uint64_t number, const MessageRecord& record,
                                   bool withUid) const {
  std::string line = std::to_string(number) + " FETCH (";
  const bool uidAsked =
      std::any_of(fetchItems_.begin(), fetchItems_.end(),
                  [](std::string_view item) { return equalsIgnoreCase(item, "UID"); });
  if (withUid && !uidAsked) {
    line.append("UID ").append(std::to_string(record.uid)).append(" ");
  }
  for (std::size_t i = 0; i < fetchItems_.size(); ++i) {
    const std::string_view item = fetchItems_[i];
    line.append(i == 0 ? "" : " ");
    if (equalsIgnoreCase(item, "RFC822.SIZE")) {
      line.append("RFC822.SIZE ").append(std::to_string(record.size));
    } else if (equalsIgnoreCase(item, "INTERNALDATE")) {
      line.append("INTERNALDATE ")
          .append(quoted(record.date.empty() ? kNoDate : std::string_view(record.date)));
    } else if (equalsIgnoreCase(item, "UID")) {
      line.append("UID ").append(std::to_string(record.uid));
    } else if (item == kMessageIdItem) {
      // The field and the empty line that ends a header section.
      line.append(kMessageIdItem).append(" {");
      line.append(std::to_string(record.messageIdField.size() + 2)).append("}\r\n");
      line.append(record.messageIdField).append("\r\n");
    } else {
      line.append("FLAGS (").append(joinWords(flagWords(record.flags))).append(")");
    }
  }
  return line + ")";
}

ImapSession::Flow ImapSession::fetch() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!selected_) {
    return reply("BAD", "No folder selected");
  }
  if (argumentCount() != 2 || argument(0).kind != Token::Kind::kAtom) {
    return reply("BAD", "FETCH needs a sequence set and items");
  }
  if (!fetchItems(argument(1), args_[1]) || fetchItems_.empty()) {
    return reply("BAD", "Unknown FETCH item");
  }
  const std::optional<std::vector<MessageRecord>> records =
      store_.folderRecords(*acting_, *selected_);
  if (!records) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  std::vector<std::uint64_t> numbers;
  switch (expandSequenceSet(argument(0).text, records->size(), numbers)) {
    case SequenceOutcome::kInvalid:
      return reply("BAD", "Invalid sequence set");
    case SequenceOutcome::kOutOfRange:
      return reply("BAD", "No such message");
    case SequenceOutcome::kDone:
      break;
  }
  for (const std::uint64_t number : numbers) {
    untagged(fetchLine(number, (*records)[number - 1]));
  }
  return reply("OK", "FETCH completed");
}

void ImapSession::untagged(std::string_view text) {
  out_.append("* ").append(text).append("\r\n");
}

bool ImapSession::answer(std::string_view status, std::string_view text, std::string_view more) {
  state_.delayAnswer();
  out_.append(tag_).append(" ").append(status).append(" ").append(text).append(more).append("\r\n");
  const bool sent = connection_.sendAll(out_);
  out_.clear();
  return sent;
}

bool ImapSession::sendNow(std::string_view line) {
  out_.append(line).append("\r\n");
  const bool sent = connection_.sendAll(out_);
  out_.clear();
  return sent;
}

}  // namespace lodemig::target
