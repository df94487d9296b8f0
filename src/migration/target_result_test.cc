#include "migration/target_result.h"

#include <gtest/gtest.h>

#include <sstream>

#include "utils/ql_exception.h"

namespace lodemig {
namespace {

// What checkResult made of one result: "done", "refused", "store: TEXT",
// "lost: TEXT" (a lost connection) or "run: TEXT", and what it logged.
struct Verdict {
  std::string outcome;
  std::string log;
};

Verdict verdictOf(TargetStep step, GatewayResult result, const std::string& folder = "") {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, true);
  Verdict verdict;
  try {
    verdict.outcome =
        checkResult(reporter, step, result, folder) == StepOutcome::Done ? "done" : "refused";
  } catch (const QLStoreException& error) {
    verdict.outcome = std::string("store: ") + error.what();
  } catch (const QLConnectionLostException& error) {
    verdict.outcome = std::string("lost: ") + error.what();
  } catch (const QLNetworkException& error) {
    verdict.outcome = std::string("run: ") + error.what();
  }
  verdict.log = log.str();
  return verdict;
}

TEST(TargetResultTest, EveryStepKnowsWhatItsResultsSkip) {
  using S = TargetStep;
  struct Case {
    TargetStep step;
    GatewayResult result;
    const char* outcome;
    const char* log;
  };
  const Case cases[] = {
      {S::Connect, kGatewayOk, "done", ""},
      {S::Connect, kGatewayAlreadyConnected, "done",
       "Warning: client already connected to Torvane\n"},
      {S::Connect, kGatewayConnectionProblem, "lost: cannot connect to Torvane",
       "Network error: cannot connect to Torvane\n"},
      {S::Connect, kGatewayAuthenticationFailed, "run: problem with authentication to Torvane",
       "Error: problem with authentication to Torvane\n"},
      {S::Connect, kGatewayAppendFailed, "run: Error: unspecified Imap error 8.\n",
       "Error: unspecified Imap error 8.\n"},
      {S::CreateUser, kGatewayOk, "done", ""},
      {S::CreateUser, kGatewayCreateUserFailed, "refused", ""},
      {S::CreateUser, kGatewayAuthenticationFailed, "refused", ""},
      {S::CreateUser, kGatewayNotConnected, "lost: client isn't connected to Torvane",
       "Error: client isn't connected to Torvane\n"},
      {S::CreateUser, kGatewayConnectionProblem, "lost: cannot create user",
       "Network error: cannot create user\n"},
      {S::SetUser, kGatewaySetUserFailed, "store: problem with identity switching",
       "Error: problem with identity switching\n"},
      {S::SetUser, kGatewayConnectionProblem, "lost: cannot switch user",
       "Network error: cannot switch user\n"},
      {S::SetUser, kGatewayNotConnected, "lost: client isn't connected to Torvane",
       "Error: client isn't connected to Torvane\n"},
      {S::Select, kGatewaySelectFailed, "refused", ""},
      {S::Select, kGatewayConnectionProblem, "lost: cannot select folder A/B",
       "Error: cannot select folder A/B\n"},
      {S::CreateFolder, kGatewayCreateFolderFailed, "run: cannot create folder A/B",
       "Error: cannot create folder A/B\n"},
      {S::CreateFolder, kGatewayNotConnected, "lost: client isn't connected to Torvane",
       "Network Error: client isn't connected to Torvane\n"},
      {S::CreateFolder, kGatewayConnectionProblem, "lost: cannot create folder",
       "Network error: cannot create folder\n"},
      {S::Append, kGatewayOk, "done", ""},
      {S::Append, kGatewayAppendFailed, "store: append message error",
       "Error: append message error\n"},
      {S::Append, kGatewayContentFailed, "store: problem with load from IMessage object",
       "Error: problem with load from IMessage object\n"},
      {S::Append, kGatewayConnectionProblem, "lost: cannot append message",
       "Network error: cannot append message\n"},
      {S::Append, kGatewayNotConnected, "lost: client isn't connected to Torvane",
       "Network Error: client isn't connected to Torvane\n"},
      {S::Append, kGatewaySelectFailed, "run: Error: unspecified Imap error 10.\n",
       "Error: unspecified Imap error 10.\n"},
      // A folder not subscribed keeps its messages: the caller warns.
      {S::Subscribe, kGatewayOk, "done", ""},
      {S::Subscribe, kGatewaySubscribeFailed, "refused", ""},
      {S::Subscribe, kGatewayConnectionProblem, "lost: cannot subscribe to folder A/B",
       "Network error: cannot subscribe to folder A/B\n"},
      {S::Subscribe, kGatewayNotConnected, "lost: cannot subscribe to folder A/B",
       "Error: cannot subscribe to folder A/B\n"},
      {S::Subscribe, kGatewaySelectFailed, "run: Error: unspecified Imap error 10.\n",
       "Error: unspecified Imap error 10.\n"},
      {S::Subscriptions, kGatewaySubscribeFailed, "refused", ""},
      {S::Subscriptions, kGatewayConnectionProblem, "lost: cannot list the subscribed folders",
       "Network error: cannot list the subscribed folders\n"},
      {S::Subscriptions, kGatewayNotConnected, "lost: cannot list the subscribed folders",
       "Error: cannot list the subscribed folders\n"},
  };
  for (const Case& c : cases) {
    const Verdict verdict = verdictOf(c.step, c.result, "A/B");
    EXPECT_EQ(verdict.outcome, c.outcome) << static_cast<int>(c.step) << " " << c.result;
    EXPECT_EQ(verdict.log, c.log) << static_cast<int>(c.step) << " " << c.result;
  }
}

TEST(TargetResultTest, ConnectTextsNameAStandardServerByItsHost) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, true);
  ConnectionSettings connection;
  connection.host = "imap.example.com";
  connection.standardServer = true;
  try {
    checkConnect(reporter, {kGatewayConnectionProblem, ""}, connection);
    ADD_FAILURE() << "a connection problem must throw";
  } catch (const QLConnectionLostException& error) {
    EXPECT_STREQ(error.what(), "cannot connect to the IMAP server imap.example.com");
  }
  EXPECT_EQ(log.str(), "Network error: cannot connect to the IMAP server imap.example.com\n");
  // The private target keeps its own words.
  connection.standardServer = false;
  EXPECT_THROW(checkConnect(reporter, {kGatewayAuthenticationFailed, ""}, connection),
               QLNetworkException);
  EXPECT_NE(log.str().find("Error: problem with authentication to Torvane\n"), std::string::npos);
}

}  // namespace
}  // namespace lodemig
