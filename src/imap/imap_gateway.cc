#include "imap/imap_gateway.h"

#include <algorithm>
#include <stdexcept>

#include "imap/capabilities.h"
#include "imap/sasl.h"
#include "utils/ascii.h"

namespace lodemig {

GatewayResult gatewayResultFor(const ImapException& error, GatewayResult fallback) {
  if (dynamic_cast<const ImapTimeoutException*>(&error) != nullptr ||
      dynamic_cast<const ImapConnectionFailed*>(&error) != nullptr) {
    return kGatewayConnectionProblem;
  }
  if (dynamic_cast<const AuthenticateFailedException*>(&error) != nullptr) {
    return kGatewayAuthenticationFailed;
  }
  if (dynamic_cast<const ImapServerBrokeConnection*>(&error) != nullptr) {
    return kGatewayConnectionProblem;
  }
  if (dynamic_cast<const IMessageLoadFailedException*>(&error) != nullptr) {
    return kGatewayContentFailed;
  }
  return fallback;
}

unsigned folderKindBits(int folderType) {
  switch (folderType) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 4;
    case 4:
      return 8;
    case 5:
      return 16;
    case 6:
      return 64;
    default:
      return 0;
  }
}

std::string folderKindWord(unsigned bits) {
  if ((bits & 0x7fffu) == 0x7fffu) {
    return "X-ALL";
  }
  static const char* const kWords[] = {"X-CONTACT", "X-CALENDAR", "X-TODO", "X-JOURNAL",
                                       "X-MAIL",    "X-MAPI",     "X-NOTE", "X-SEARCH"};
  for (unsigned bit = 0; bit < 8; ++bit) {
    if ((bits & (1u << bit)) != 0) {
      return kWords[bit];
    }
  }
  return std::string();
}

namespace {

// The decimal value at `position`, digits up to the first non-digit; large
// values stop growing instead of overflowing.
unsigned leadingNumber(const std::string& text, std::size_t position) {
  unsigned value = 0;
  for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
    if (value < 100000) {
      value = value * 10 + static_cast<unsigned>(text[position] - '0');
    }
  }
  return value;
}

}  // namespace

bool versionAtLeast63(const std::string& finalLine) {
  const std::size_t space = finalLine.rfind(' ');
  if (space == std::string::npos) {
    return false;
  }
  const std::size_t firstDot = finalLine.find('.', space + 1);
  if (firstDot == std::string::npos || finalLine.find('.', firstDot + 1) == std::string::npos) {
    return false;
  }
  const unsigned major = leadingNumber(finalLine, space + 1);
  const unsigned minor = leadingNumber(finalLine, firstDot + 1);
  return major > 6 || (major == 6 && minor >= 3);
}

namespace {

ClientSettings clientSettings(const ConnectionSettings& settings, LoginKind login) {
  ClientSettings client;
  client.server = settings;
  client.login = login;
  return client;
}

// `flags` (words each followed by a blank) without `flag`.
std::string withoutFlag(const std::string& flags, std::string_view flag) {
  std::string kept;
  std::size_t at = 0;
  while (at < flags.size()) {
    std::size_t end = flags.find(' ', at);
    end = end == std::string::npos ? flags.size() : end;
    const std::string_view word(flags.data() + at, end - at);
    if (!word.empty() && !ostrel::utils::equalsIgnoreCase(word, flag)) {
      kept.append(word);
      kept += ' ';
    }
    at = end + 1;
  }
  return kept;
}

}  // namespace

GatewayResult ImapGateway::connectMaster(const ConnectionSettings& settings) {
  ClientSettings client = clientSettings(settings, LoginKind::Master);
  client.password = settings.masterPassword;
  return open(client);
}

GatewayResult ImapGateway::connectAs(const ConnectionSettings& settings, const std::string& user) {
  ClientSettings client =
      clientSettings(settings, settings.loginForm.empty() ? LoginKind::Proxy : LoginKind::Plain);
  client.user = settings.loginForm.empty()
                    ? user
                    : loginNameFromForm(settings.loginForm, user, settings.admin);
  client.password = settings.masterPassword;
  standardAppends_ = false;
  const GatewayResult result = open(client);
  // Some servers end the connection rather than answer a login for an
  // account they do not have; the next account's login tells whether the
  // server itself is gone.
  return result == kGatewayConnectionProblem && client_.endedInLogin()
             ? kGatewayAuthenticationFailed
             : result;
}

GatewayResult ImapGateway::reach(const ConnectionSettings& settings) {
  return open(clientSettings(settings, LoginKind::Proxy), false);
}

GatewayResult ImapGateway::connect(const ConnectionSettings& settings, const std::string& user,
                                   const std::string& password, bool useCramMd5) {
  ClientSettings client =
      clientSettings(settings, useCramMd5 ? LoginKind::CramMd5 : LoginKind::Plain);
  client.user = user;
  client.password = password;
  return open(client);
}

GatewayResult ImapGateway::open(const ClientSettings& settings, bool logIn) {
  if (connected_) {
    return kGatewayAlreadyConnected;
  }
  client_.configure(settings);
  client_.forgetIdentity();
  connectionFailure_.clear();
  uidPlus_ = false;
  traits_ = ServerTraits();
  try {
    client_.connect(logIn);
  } catch (const ImapConnectionFailed& error) {
    connectionFailure_ = error.detail();
    return kGatewayConnectionProblem;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayAuthenticationFailed);
  }
  connected_ = true;
  return kGatewayOk;
}

ImapCommand& ImapGateway::startCommand(std::string_view name) {
  command_.start(client_.nextTag(), name);
  return command_;
}

void ImapGateway::disconnect(bool sendLogout, bool waitForLogout) {
  if (!connected_) {
    return;
  }
  if (sendLogout) {
    try {
      client_.logout(waitForLogout);
    } catch (const ImapException&) {
      // Whatever the server answers, the connection ends here.
    }
  }
  client_.closeStream();
  client_.forgetIdentity();
  connected_ = false;
  outstanding_ = 0;
  batchOpen_ = false;
}

GatewayResult ImapGateway::createUser(const std::string& name, const std::string& domain,
                                      const std::string& password, const std::string& fullName,
                                      const std::vector<std::string>& groups) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    buildCreateUser(command_, name, domain, password, fullName, groups);
    return client_.execute(command_) == CommandStatus::Ok ? kGatewayOk : kGatewayCreateUserFailed;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayCreateUserFailed);
  }
}

void ImapGateway::buildCreateUser(ImapCommand& command, const std::string& name,
                                  const std::string& domain, const std::string& password,
                                  const std::string& fullName,
                                  const std::vector<std::string>& groups) {
  std::string arguments;
  ImapCommand::appendAtom(arguments, "NAME");
  ImapCommand::appendLiteral(arguments, name);
  ImapCommand::appendAtom(arguments, "DOMAIN");
  ImapCommand::appendLiteral(arguments, domain);
  ImapCommand::appendAtom(arguments, "PASSWORD");
  ImapCommand::appendQuoted(arguments, password);
  if (!fullName.empty()) {
    ImapCommand::appendAtom(arguments, "FULLNAME");
    ImapCommand::appendQuoted(arguments, fullName);
  }
  if (!groups.empty()) {
    ImapCommand::appendAtom(arguments, "GROUPS");
    ImapCommand::appendQuotedList(arguments, groups);
  }
  command.start(client_.nextTag(), "X-CREATEUSER");
  command.addParenthesized(arguments);
}

GatewayResult ImapGateway::createThenSetUser(const std::string& name, const std::string& domain,
                                             const std::string& password,
                                             const std::string& fullName, GatewayResult* switched) {
  *switched = kGatewayNotConnected;
  if (!connected_) {
    return kGatewayNotConnected;
  }
  const std::string qualified = name + "@" + domain;
  GatewayResult created = kGatewayOk;
  try {
    buildCreateUser(command_, name, domain, password, fullName, {});
    client_.submit(command_);
    second_.start(client_.nextTag(), "X-SETUSER");
    second_.addQuoted(qualified);
    client_.submit(second_);
    created =
        client_.waitFor(command_) == CommandStatus::Ok ? kGatewayOk : kGatewayCreateUserFailed;
  } catch (const ImapException& error) {
    // Neither answer can come now.
    *switched = gatewayResultFor(error, kGatewaySetUserFailed);
    return gatewayResultFor(error, kGatewayCreateUserFailed);
  }
  try {
    if (client_.waitFor(second_) != CommandStatus::Ok) {
      *switched = kGatewaySetUserFailed;
    } else {
      client_.rememberIdentity(qualified);
      *switched = kGatewayOk;
    }
  } catch (const ImapException& error) {
    *switched = gatewayResultFor(error, kGatewaySetUserFailed);
  }
  return created;
}

GatewayResult ImapGateway::setUser(const std::string& user, const std::string& domain) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    const std::string qualified = user + "@" + domain;
    ImapCommand& command = startCommand("X-SETUSER");
    command.addQuoted(qualified);
    if (client_.execute(command) != CommandStatus::Ok) {
      return kGatewaySetUserFailed;
    }
    client_.rememberIdentity(qualified);
    return kGatewayOk;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewaySetUserFailed);
  }
}

GatewayResult ImapGateway::createFolder(const std::string& name, int folderType,
                                        const std::string& guid) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    ImapCommand& command = startCommand("CREATE");
    const unsigned bits = folderKindBits(folderType);
    if (bits != 0) {
      std::string kind = "(" + folderKindWord(bits);
      if (!guid.empty()) {
        kind += " GUID \"" + guid + "\"";
      }
      kind += ")";
      command.addAtom(kind);
    } else if (!guid.empty()) {
      command.addAtom("(GUID \"" + guid + "\")");
    }
    command.addQuoted(name);
    return client_.execute(command) == CommandStatus::Ok ? kGatewayOk : kGatewayCreateFolderFailed;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayCreateFolderFailed);
  }
}

GatewayResult ImapGateway::append(const std::string& folderName, IMessage& message, bool useXAppend,
                                  AppendAnswer* answer) {
  GatewayResult result = kGatewayNotConnected;
  if (connected_) {
    try {
      buildAppend(command_, folderName, message, useXAppend);
      result = client_.execute(command_) == CommandStatus::Ok ? kGatewayOk : kGatewayAppendFailed;
    } catch (const ImapException& error) {
      result = gatewayResultFor(error, kGatewayAppendFailed);
    }
  }
  if (answer != nullptr) {
    *answer = AppendAnswer{0, result};
    if (result == kGatewayOk) {
      parseAppendUid(command_.finalLine(), answer->uidValidity, answer->uid);
    }
  }
  return result;
}

std::uint32_t ImapGateway::countContent(IMessage& message) {
  try {
    return message.contentSize();
  } catch (const std::runtime_error& error) {
    // Counting the content reads it: a failure is a content failure.
    client_.noteFailure(error.what());
    throw IMessageLoadFailedException(error.what());
  }
}

void ImapGateway::messageArguments(std::string& arguments, IMessage& message) const {
  const std::string date = message.internalDate();
  const std::string flags = message.flags();
  arguments.clear();
  if (standardAppends_) {
    // No client may set \Recent; some servers refuse the command for it.
    std::string kept = withoutFlag(flags, "\\Recent");
    if (!kept.empty()) {
      ImapCommand::appendParenthesized(arguments, kept);
    }
  } else if (!flags.empty()) {
    ImapCommand::appendParenthesized(arguments, flags);
  }
  if (!date.empty()) {
    ImapCommand::appendQuoted(arguments, date);
  }
}

bool ImapGateway::synchronizingFor(std::uint32_t size) const {
  constexpr std::uint32_t kLargestMinusLiteral = 4096;
  return standardAppends_ && !traits_.literalPlus &&
         !(traits_.literalMinus && size <= kLargestMinusLiteral);
}

void ImapGateway::buildAppend(ImapCommand& command, const std::string& folderName,
                              IMessage& message, bool useXAppend) {
  messageArguments(arguments_, message);
  startAppend(command, folderName, message, countContent(message), useXAppend);
}

void ImapGateway::startAppend(ImapCommand& command, const std::string& folderName,
                              IMessage& message, std::uint32_t size, bool useXAppend) {
  command.start(client_.nextTag(), useXAppend ? "X-APPEND" : "APPEND");
  command.addQuoted(folderName);
  if (!arguments_.empty()) {
    command.addAtom(arguments_);
  }
  command.announceContent(message, size, synchronizingFor(size));
}

GatewayResult ImapGateway::fetchSummaries(std::vector<MessageSummary>& summaries) {
  summaries.clear();
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    ImapCommand& command = startCommand("FETCH");
    command.addAtom("1:*");
    command.addAtom("(RFC822.SIZE INTERNALDATE FLAGS)");
    if (client_.execute(command) != CommandStatus::Ok) {
      return kGatewayFetchFailed;
    }
    std::vector<bool> seen;
    for (const std::string& response : command.untaggedLines()) {
      std::int64_t sequence = 0;
      MessageSummary summary;
      if (parseFetchSummary(response, sequence, summary)) {
        if (sequence < 1 || sequence > (std::int64_t{1} << 31)) {
          return kGatewayFetchFailed;
        }
        const auto index = static_cast<std::size_t>(sequence - 1);
        if (index >= summaries.size()) {
          summaries.resize(index + 1);
          seen.resize(index + 1);
        }
        summaries[index] = summary;
        seen[index] = true;
      } else if (response.find(" FETCH ") != std::string::npos) {
        return kGatewayFetchFailed;  // a message's data that cannot be read
      }
    }
    for (bool got : seen) {
      if (!got) {
        return kGatewayFetchFailed;
      }
    }
    return kGatewayOk;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayFetchFailed);
  }
}

void ImapGateway::appendLimit(std::int64_t* appendLimit) {
  *appendLimit = -1;
  if (!connected_) {
    return;
  }
  try {
    ImapCommand& command = startCommand("CAPABILITY");
    if (client_.execute(command) == CommandStatus::Ok) {
      *appendLimit = announcedAppendLimit(command.untaggedLines());
    }
  } catch (const std::exception&) {
    // The limit only warns before a migration; not knowing it stops nothing.
  }
}

GatewayResult ImapGateway::noop() {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    client_.execute(startCommand("NOOP"));
    return kGatewayOk;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayConnectionProblem);
  }
}

bool ImapGateway::checkVersion() {
  if (!connected_) {
    return false;
  }
  try {
    ImapCommand& command = startCommand("X-CHECKVERSION");
    if (client_.execute(command) == CommandStatus::Bad) {
      return false;
    }
    return versionAtLeast63(command.finalLine());
  } catch (const std::exception&) {
    // The version only decides between APPEND and X-APPEND; failing to learn
    // it must not stop the migration.
    return false;
  }
}

}  // namespace lodemig
