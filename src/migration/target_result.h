#ifndef LODEMIG_MIGRATION_TARGET_RESULT_H_
#define LODEMIG_MIGRATION_TARGET_RESULT_H_

#include <memory>
#include <string>
#include <vector>

#include "imap/imap_gateway.h"
#include "migration/reporter.h"

namespace lodemig {

// The steps of a migration that ask something of the target.
// Subscribe: a folder's SUBSCRIBE; Subscriptions: the account's list of them.
enum class TargetStep {
  Connect,
  CreateUser,
  SetUser,
  Select,
  CreateFolder,
  Append,
  Fetch,
  Subscribe,
  Subscriptions
};

// What a step's GatewayResult lets the migration do next, when it goes on.
enum class StepOutcome {
  Done,     // the step did what was asked
  Refused,  // a refusal with a meaning of its own: the account exists, the folder is missing
};

// Decides, in one table, what the GatewayResult of a step means: returns Done
// or Refused, logs a warning and returns Done, or logs the failure and throws
// it. QLStoreException fails the item the step worked for (the message of an
// append, the account of an identity switch); QLNetworkException ends the
// run, as QLConnectionLostException (one of them) does unless a new
// connection may be tried. `folder` is the target folder a Select, CreateFolder or Subscribe
// named, for its texts.
StepOutcome checkResult(Reporter& reporter, TargetStep step, GatewayResult result,
                        const std::string& folder = std::string());

// The GatewayResult of a connect with, when the connection could not be
// made, why (the client's failureCause()). Reads as its GatewayResult.
struct ConnectResult {
  GatewayResult code = kGatewayOk;
  std::string cause;
  // The failure will not pass by itself (ImapClient::failureLasting()).
  bool lasting = false;
  // NOLINTNEXTLINE(google-explicit-constructor): compared and passed as its code
  operator GatewayResult() const { return code; }
};

// checkResult() of a Connect step, its texts naming the server as
// targetServerWord() does; the exception carries the connect's cause, and a
// lasting failure is one that does not pass by itself (mayPass() false).
StepOutcome checkConnect(Reporter& reporter, const ConnectResult& result,
                         const ConnectionSettings& connection);

// Connects `gateway` as the administrator (a standard IMAP server is only
// reached: it has no administrator's session); when the connection's
// protection could not be set up (TLS, STARTTLS), logs why before the caller
// checks the result.
ConnectResult connectMaster(Reporter& reporter, ImapGateway& gateway,
                            const ConnectionSettings& connection);

// On a standard IMAP server: logs in for `account` and, once in, sets
// `traits` to what the server announced (ImapGateway::learnCapabilities()).
// Returns the login's refusal (kGatewayAuthenticationFailed) for the caller
// to report; logs why the connection's protection failed, as connectMaster()
// does; any other failure is checked as a Connect step's (and throws).
GatewayResult connectForAccount(Reporter& reporter, ImapGateway& gateway,
                                const ConnectionSettings& connection, const std::string& account,
                                ServerTraits& traits);

// checkResult() of a Connect step that failed after the connection was
// made (3: it broke), with the client's reason as its cause.
void checkConnected(Reporter& reporter, ImapGateway& gateway, GatewayResult result,
                    const ConnectionSettings& connection);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_TARGET_RESULT_H_
