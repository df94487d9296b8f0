#include "migration/target_result.h"

#include "migration/target_names.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

enum class Consequence { Done, Refused, Warn, ItemFails, RunEnds, ConnectionLost };

constexpr GatewayResult kAnyOther = -1;

struct Rule {
  TargetStep step;
  GatewayResult result;
  Consequence consequence;
  const char* logText;       // the log line, with its line end
  const char* errorText;     // the exception's text
  bool namesFolder = false;  // both texts end with the folder's name
};

constexpr char kNotConnected[] = "client isn't connected to Torvane";

// Read top to bottom; the first rule of the step that names the result, or
// its kAnyOther rule, applies. A step without one treats any other result as
// unspecified, which ends the run.
const Rule kRules[] = {
    {TargetStep::Connect, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Connect, kGatewayAlreadyConnected, Consequence::Warn,
     "Warning: client already connected to Torvane\n", ""},
    {TargetStep::Connect, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot connect to Torvane\n", "cannot connect to Torvane"},
    {TargetStep::Connect, kGatewayAuthenticationFailed, Consequence::RunEnds,
     "Error: problem with authentication to Torvane\n", "problem with authentication to Torvane"},

    {TargetStep::CreateUser, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::CreateUser, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: client isn't connected to Torvane\n", kNotConnected},
    // A lost connection must not pass for an existing account, or the account
    // would be skipped and the run still called a success.
    {TargetStep::CreateUser, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot create user\n", "cannot create user"},
    {TargetStep::CreateUser, kAnyOther, Consequence::Refused, "", ""},

    {TargetStep::SetUser, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::SetUser, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: client isn't connected to Torvane\n", kNotConnected},
    {TargetStep::SetUser, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot switch user\n", "cannot switch user"},
    {TargetStep::SetUser, kGatewaySetUserFailed, Consequence::ItemFails,
     "Error: problem with identity switching\n", "problem with identity switching"},

    {TargetStep::Select, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Select, kGatewaySelectFailed, Consequence::Refused, "", ""},
    {TargetStep::Select, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Error: cannot select folder ", "cannot select folder ", true},
    {TargetStep::Select, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: cannot select folder ", "cannot select folder ", true},
    {TargetStep::Select, kAnyOther, Consequence::RunEnds, "Error: cannot select folder ",
     "cannot select folder ", true},

    {TargetStep::CreateFolder, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::CreateFolder, kGatewayNotConnected, Consequence::ConnectionLost,
     "Network Error: client isn't connected to Torvane\n", kNotConnected},
    {TargetStep::CreateFolder, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot create folder\n", "cannot create folder"},
    {TargetStep::CreateFolder, kGatewayCreateFolderFailed, Consequence::RunEnds,
     "Error: cannot create folder ", "cannot create folder ", true},

    {TargetStep::Append, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Append, kGatewayNotConnected, Consequence::ConnectionLost,
     "Network Error: client isn't connected to Torvane\n", kNotConnected},
    {TargetStep::Append, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot append message\n", "cannot append message"},
    {TargetStep::Append, kGatewayAppendFailed, Consequence::ItemFails,
     "Error: append message error\n", "append message error"},
    {TargetStep::Append, kGatewayContentFailed, Consequence::ItemFails,
     "Error: problem with load from IMessage object\n", "problem with load from IMessage object"},

    {TargetStep::Fetch, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Fetch, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: client isn't connected to Torvane\n", kNotConnected},
    {TargetStep::Fetch, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot fetch messages\n", "cannot fetch messages"},
    // A server that will not list a folder's messages leaves that folder
    // unverified; the audit goes on with the next.
    {TargetStep::Fetch, kAnyOther, Consequence::Refused, "", ""},

    // A folder that is not subscribed still holds its messages: the caller
    // warns and goes on.
    {TargetStep::Subscribe, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Subscribe, kGatewaySubscribeFailed, Consequence::Refused, "", ""},
    {TargetStep::Subscribe, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot subscribe to folder ", "cannot subscribe to folder ", true},
    {TargetStep::Subscribe, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: cannot subscribe to folder ", "cannot subscribe to folder ", true},

    {TargetStep::Subscriptions, kGatewayOk, Consequence::Done, "", ""},
    {TargetStep::Subscriptions, kGatewaySubscribeFailed, Consequence::Refused, "", ""},
    {TargetStep::Subscriptions, kGatewayConnectionProblem, Consequence::ConnectionLost,
     "Network error: cannot list the subscribed folders\n", "cannot list the subscribed folders"},
    {TargetStep::Subscriptions, kGatewayNotConnected, Consequence::ConnectionLost,
     "Error: cannot list the subscribed folders\n", "cannot list the subscribed folders"},
};

const Rule* findRule(TargetStep step, GatewayResult result) {
  const Rule* other = nullptr;
  for (const Rule& rule : kRules) {
    if (rule.step != step) {
      continue;
    }
    if (rule.result == result) {
      return &rule;
    }
    if (rule.result == kAnyOther) {
      other = &rule;
    }
  }
  return other;
}

// `text` with the private target's name replaced by `server`.
std::string worded(const char* text, const std::string& server) {
  std::string worded = text;
  constexpr std::string_view kPrivate = "Torvane";
  for (std::size_t at = worded.find(kPrivate); at != std::string::npos;
       at = worded.find(kPrivate, at + server.size())) {
    worded.replace(at, kPrivate.size(), server);
  }
  return worded;
}

StepOutcome settle(Reporter& reporter, TargetStep step, GatewayResult result,
                   const std::string& folder, const std::string& server) {
  const Rule* rule = findRule(step, result);
  if (rule == nullptr) {
    std::string text = "Error: unspecified Imap error " + std::to_string(result) + ".\n";
    reporter.log(text);
    throw QLNetworkException(text);
  }
  switch (rule->consequence) {
    case Consequence::Done:
      return StepOutcome::Done;
    case Consequence::Refused:
      return StepOutcome::Refused;
    case Consequence::Warn:
      reporter.log(worded(rule->logText, server));
      return StepOutcome::Done;
    default:
      break;
  }
  const std::string suffix = rule->namesFolder ? folder : std::string();
  const std::string logText = worded(rule->logText, server);
  const std::string errorText = worded(rule->errorText, server) + suffix;
  reporter.log(rule->namesFolder ? logText + suffix + "\n" : logText);
  if (rule->consequence == Consequence::ItemFails) {
    throw QLStoreException(errorText);
  }
  if (rule->consequence == Consequence::ConnectionLost) {
    throw QLConnectionLostException(errorText);
  }
  throw QLNetworkException(errorText);
}

}  // namespace

StepOutcome checkResult(Reporter& reporter, TargetStep step, GatewayResult result,
                        const std::string& folder) {
  return settle(reporter, step, result, folder, "Torvane");
}

StepOutcome checkConnect(Reporter& reporter, const ConnectResult& result,
                         const ConnectionSettings& connection) {
  try {
    return settle(reporter, TargetStep::Connect, result.code, std::string(),
                  targetServerWord(connection));
  } catch (QLNetworkException& error) {
    error.setCause(result.cause);
    error.setMayPass(error.mayPass() && !result.lasting);
    throw;
  } catch (QLException& error) {
    error.setCause(result.cause);
    throw;
  }
}

namespace {

// The cause of a connect that did not get a connection.
ConnectResult withCause(ImapGateway& gateway, GatewayResult code) {
  ConnectResult result;
  result.code = code;
  if (code == kGatewayConnectionProblem) {
    result.cause = gateway.client().failureCause();
    result.lasting = gateway.client().failureLasting();
  }
  return result;
}

void logProtectionFailure(Reporter& reporter, const ImapGateway& gateway, GatewayResult result) {
  if (result == kGatewayConnectionProblem && !gateway.connectionFailure().empty()) {
    reporter.log("Error: " + gateway.connectionFailure() + "\n");
  }
}

// A run asked to compress goes on without it where the server does not
// offer it; the log says so once, not at every account's connection.
void noteCompressionDeclined(Reporter& reporter, ImapGateway& gateway,
                             const ConnectionSettings& connection) {
  if (connection.compress && gateway.client().compressionDeclined() &&
      connection.compressionNotice && connection.compressionNotice->first()) {
    reporter.log("Info: " + connection.host + ":" + std::to_string(connection.port) +
                 " does not offer COMPRESS=DEFLATE: the connections are not compressed\n");
  }
}

}  // namespace

ConnectResult connectMaster(Reporter& reporter, ImapGateway& gateway,
                            const ConnectionSettings& connection) {
  // A standard IMAP server has no administrator's session of its own: that
  // it can be reached is what can be checked before the accounts.
  const GatewayResult result =
      connection.standardServer ? gateway.reach(connection) : gateway.connectMaster(connection);
  logProtectionFailure(reporter, gateway, result);
  noteCompressionDeclined(reporter, gateway, connection);
  return withCause(gateway, result);
}

GatewayResult connectForAccount(Reporter& reporter, ImapGateway& gateway,
                                const ConnectionSettings& connection, const std::string& account,
                                ServerTraits& traits) {
  const GatewayResult login = gateway.connectAs(connection, account);
  if (login == kGatewayAuthenticationFailed) {
    return login;
  }
  logProtectionFailure(reporter, gateway, login);
  noteCompressionDeclined(reporter, gateway, connection);
  checkConnect(reporter, withCause(gateway, login), connection);
  checkConnected(reporter, gateway, gateway.learnCapabilities(traits), connection);
  return kGatewayOk;
}

void checkConnected(Reporter& reporter, ImapGateway& gateway, GatewayResult result,
                    const ConnectionSettings& connection) {
  checkConnect(reporter, withCause(gateway, result), connection);
}

}  // namespace lodemig
