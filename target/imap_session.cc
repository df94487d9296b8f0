#include "target/imap_session.h"

#include <iostream>

#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

namespace {

// Large enough that a stream of small appends needs few receives.
constexpr std::size_t kReadBufferSize = 128 * 1024;
constexpr std::size_t kKeptMessageCapacity = 16 * 1024 * 1024;

using ostrel::utils::equalsIgnoreCase;

}  // namespace

ImapSession::ImapSession(ServerState& state, ostrel::utils::ServerConnection& connection,
                         std::ostream* transcript)
    : state_(state),
      options_(state.options()),
      store_(state.store()),
      connection_(connection),
      reader_(connection, kReadBufferSize, transcript),
      plainLayer_(connection) {}

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
  if (options_.storeLate && !held_.empty() && acting_) {
    state_.keepLate([this_store = &store_, account = *acting_, held = std::move(held_)] {
      storeHeld(*this_store, account, held);
    });
    held_.clear();
    return;
  }
  storeHeldBack();
}

bool ImapSession::inMessagePosition() const {
  // The first literal after the mailbox argument of an append, outside any
  // list, is the message; every other literal is a small argument.
  // With MULTIAPPEND every such literal is one of its messages.
  return parser_.depth() == 0 && (!parser_.hasMessage() || options_.multiAppend) &&
         parser_.topLevelCount() >= 3 && parser_[1].kind == Token::Kind::kAtom &&
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
  parts_.clear();
  std::size_t budget = options_.maxCommandLength;
  LiteralStep step = LiteralStep::kRead;
  for (bool first = true; step == LiteralStep::kRead; first = false) {
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
    if (first && parser_.size() > 0 && parser_[0].kind == Token::Kind::kAtom && line_[0] != ' ' &&
        parser_[0].text != "*" && parser_[0].text != "+") {
      tag_ = parser_[0].text;
    }
    if (!literal.present) {
      break;
    }
    step = takeLiteral(literal, budget);
  }
  return step == LiteralStep::kClose ? Flow::kClose : answerCommand(step);
}

ImapSession::LiteralStep ImapSession::takeLiteral(const LiteralAnnouncement& literal,
                                                  std::size_t& budget) {
  const bool message = !parser_.failed() && inMessagePosition();
  // Dropped bytes cost no memory, so a failed command's literal has the
  // message bound too.
  const std::uint64_t limit =
      message || parser_.failed() ? options_.maxLiteralSize : std::uint64_t{budget};
  if (literal.size > limit) {
    if (!literal.synchronizing) {
      // The bytes are on their way and too many to read through.
      sendNow("* BYE Literal too large");
      return LiteralStep::kClose;
    }
    return LiteralStep::kTooLarge;
  }
  const bool tooBig = message && overAppendLimit(literal.size);
  if (tooBig && literal.synchronizing) {
    // Refused before the continuation, so that the bytes are never sent.
    return LiteralStep::kTooBig;
  }
  if (literal.synchronizing) {
    if (parser_.failed() || stalled_) {
      // The client waits for the continuation; without it the literal
      // never comes and the command ends here.
      return LiteralStep::kEndCommand;
    }
    if (!sendNow("+ Ready")) {
      return LiteralStep::kClose;
    }
  }
  ConnectionReader::Status read;
  if (message) {
    read = readMessageLiteral(literal.size, tooBig);
  } else if (parser_.failed()) {
    read = reader_.readBytes(literal.size, nullptr);
  } else {
    literal_.clear();
    read = reader_.readBytes(literal.size, &literal_);
    budget -= static_cast<std::size_t>(literal.size);
    parser_.addLiteral(literal_);
  }
  return read == ConnectionReader::Status::kOk ? LiteralStep::kRead : LiteralStep::kClose;
}

ImapSession::Flow ImapSession::answerCommand(LiteralStep step) {
  std::string_view error;
  std::string_view status = "BAD";
  if (step == LiteralStep::kTooLarge) {
    error = "Literal too large";
  } else if (step == LiteralStep::kTooBig) {
    error = kTooBig;
    status = "NO";
  } else {
    parser_.finish();
    error = parser_.error();
  }
  if (tag_.empty()) {
    return sendNow("* BAD " + std::string(error.empty() ? "Missing tag" : error)) ? Flow::kContinue
                                                                                  : Flow::kClose;
  }
  if (const char* bye = state_.countCommandForBye(); bye != nullptr) {
    sendNow(bye);
    return Flow::kClose;
  }
  if (!error.empty()) {
    return reply(status, error);
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
  if (equalsIgnoreCase(name, "EXPUNGE")) {
    return expunge(false);
  }
  // The commands that take nothing but their arguments.
  static constexpr struct {
    std::string_view name;
    Flow (ImapSession::*handler)();
  } kCommands[] = {
      {"SELECT", &ImapSession::select},
      {"FETCH", &ImapSession::fetch},
      {"UID", &ImapSession::uid},
      {"STATUS", &ImapSession::status},
      {"CREATE", &ImapSession::createFolder},
      {"X-SETUSER", &ImapSession::setUser},
      {"X-CREATEUSER", &ImapSession::createUser},
      {"X-MASTERAUTH", &ImapSession::masterAuth},
      {"AUTHENTICATE", &ImapSession::authenticate},
      {"LOGIN", &ImapSession::login},
      {"CAPABILITY", &ImapSession::capability},
      {"COMPRESS", &ImapSession::compress},
  };
  for (const auto& command : kCommands) {
    if (equalsIgnoreCase(name, command.name)) {
      return (this->*command.handler)();
    }
  }
  return executeSimple(name);
}

ImapSession::Flow ImapSession::executeSimple(std::string_view name) {
  if (equalsIgnoreCase(name, "X-CHECKVERSION")) {
    return reply("OK", "X-CHECKVERSION ", options_.version);
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

ImapSession::Flow ImapSession::capability() {
  std::string line =
      "CAPABILITY IMAP4rev1 LITERAL+ AUTH=CRAM-MD5 X-MASTERAUTH X-CHECKVERSION X-CREATEUSER "
      "X-SETUSER X-APPEND";
  if (!options_.noUidplus) {
    line += " UIDPLUS";
  }
  if (options_.multiAppend) {
    line += " MULTIAPPEND";
  }
  if (options_.appendLimit) {
    line += " APPENDLIMIT=" + std::to_string(*options_.appendLimit);
  }
  if (options_.starttls && !connection_.usesTls() && !options_.noStarttlsCapability) {
    line += " STARTTLS";
  }
  if (options_.compress && (acting_ || master_) && deflate_ == nullptr) {
    line += " COMPRESS=DEFLATE";
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

void ImapSession::untagged(std::string_view text) {
  out_.append("* ").append(text).append("\r\n");
}

bool ImapSession::answer(std::string_view status, std::string_view text, std::string_view more) {
  state_.delayAnswer();
  out_.append(tag_).append(" ").append(status).append(" ").append(text).append(more).append("\r\n");
  return sendOut();
}

bool ImapSession::sendNow(std::string_view line) {
  out_.append(line).append("\r\n");
  return sendOut();
}

bool ImapSession::sendOut() {
  const bool sent = deflate_ != nullptr
                        ? deflate_->send(out_.data(), out_.size()) == static_cast<long>(out_.size())
                        : connection_.sendAll(out_);
  out_.clear();
  return sent;
}

}  // namespace lodemig::target
