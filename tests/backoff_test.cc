// End-to-end tests of the run's pace: a server that refuses appends for its
// load, and the limits on bytes and messages a second.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class BackOffTest : public MigrationTest {
 protected:
  static constexpr int kAccounts = 4;

  // The pauses a request to slow down makes, short enough for a test.
  void SetUp() override { ASSERT_EQ(::setenv("LODEMIG_BACKOFF_UNIT_MS", "5", 1), 0); }
  void TearDown() override { ::unsetenv("LODEMIG_BACKOFF_UNIT_MS"); }

  static std::string name(int i) { return "r" + std::to_string(i); }

  // 300 messages in two folders of each account.
  void buildStore() {
    for (int i = 0; i < kAccounts; ++i) {
      builder_.account("", name(i), AccountDirectory)
          .settings("{ Password = pw" + name(i) + "; }")
          .info("{ INBOX = { Messages = #60; }; Sent = { Messages = #15; }; }");
      builder_.mailboxFile("", name(i), "INBOX", messages(name(i), 60));
      builder_.mailboxFile("", name(i), "Sent", messages(name(i) + "s", 15));
    }
  }

  // What the running server holds of every account, each in one order.
  std::vector<std::vector<Stored>> holdings() const {
    std::vector<std::vector<Stored>> all;
    for (int i = 0; i < kAccounts; ++i) {
      std::vector<Stored> held = storedMessages(name(i) + "@example.com");
      std::sort(held.begin(), held.end());
      all.push_back(held);
    }
    return all;
  }

  static std::string steady(const std::string& text) {
    static const std::regex times("(time: |Start time: |Finish time: )[^\n]*");
    static const std::regex stem("lodemig_[0-9_-]+");
    static const std::regex port("127\\.0\\.0\\.1:\\d+");
    const std::string out = std::regex_replace(text, times, "$1TIME");
    return std::regex_replace(std::regex_replace(out, stem, "lodemig_STAMP"), port, "HOST");
  }
};

TEST_F(BackOffTest, RefusedForLoadInAWindowIsSentAgainExactlyOnce) {
  buildStore();
  startServer();
  ASSERT_EQ(migrate({"-jobs", "2", "-window", "8"}, dir_ / "clean").exitStatus, 0);
  const std::vector<std::vector<Stored>> clean = holdings();
  ASSERT_EQ(clean[0].size(), 75u);
  for (const bool journal : {false, true}) {
    SCOPED_TRACE(journal);
    // 306 appends: the 6 refused ones are among them.
    startServer({"--unavailable-every", "50"});
    std::vector<std::string> arguments = {"-jobs", "2", "-window", "8"};
    if (journal) {
      arguments.insert(arguments.end(), {"-journal", dir_ / "journal"});
    }
    const std::string work = dir_ / (journal ? "journal-run" : "memory-run");
    ProcessResult result = migrate(arguments, work);
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "Result: migration successful")) << result.out;
    EXPECT_EQ(holdings(), clean);
    EXPECT_TRUE(contains(server_->stop(), "messages: 300 ")) << "refused appends were stored";
    const std::string log = onlyLodemigFile(work, "log");
    EXPECT_EQ(countOf(log, "was refused with \"NO [UNAVAILABLE] Server busy, try again later\""), 6)
        << log;
    // The first request halves the window of 8 and the 2 connections.
    EXPECT_TRUE(std::regex_search(
        log, std::regex("Warning: message \\d+ of folder \"(INBOX|Sent)\" of <r\\d@example.com> "
                        "was refused with \"NO \\[UNAVAILABLE\\] Server busy, try again later\": "
                        "the server asks to slow down: window 4, connections 1, pause 5 ms; "
                        "the message is sent again\n")))
        << log;
    EXPECT_FALSE(contains(result.out, "Error")) << result.out;
  }
}

TEST_F(BackOffTest, OverloadedByeSlowsDownTheRetryAndLosesNothing) {
  buildStore();
  startServer();
  ASSERT_EQ(migrate({"-jobs", "2", "-window", "8"}, dir_ / "clean").exitStatus, 0);
  const std::vector<std::vector<Stored>> clean = holdings();
  startServer({"--busy-bye-at", "40"});
  // One append at a time: with a window the client may still be writing
  // when the server closes, and the broken write then hides the BYE.
  ProcessResult result = migrate({"-jobs", "2", "-window", "1", "-retry", "2"});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(holdings(), clean);
  EXPECT_TRUE(std::regex_search(
      result.out,
      std::regex("   Warning: .*\\(127\\.0\\.0\\.1:\\d+ ended the connection: \\* BYE Too "
                 "many connections, server overloaded\\): the server asks to slow "
                 "down: window 1, connections 1, try 1 of 2 in 5 ms\n")))
      << result.out;
}

TEST_F(BackOffTest, MessageRefusedForLoadTooOftenIsReportedRefused) {
  inboxAccount("ann", 2);
  startServer({"--unavailable-every", "1"});
  ProcessResult result = migrate();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate message nr.: 1\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate message nr.: 2\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "NO [UNAVAILABLE] Server busy, try again later")) << result.out;
  EXPECT_EQ(arrivedCount("ann@example.com"), 0);
  // Four times sent again each, the fifth refusal for good.
  EXPECT_EQ(countOf(onlyLodemigFile(work_, "log"), "the message is sent again\n"), 8);
}

TEST_F(BackOffTest, RateLimitsChangeNothingButThePace) {
  buildStore();
  startServer();
  // One job: the console then comes in the same order in both runs.
  ProcessResult free = migrate({"-window", "4"}, dir_ / "free");
  ASSERT_EQ(free.exitStatus, 0) << free.out;
  const std::vector<std::vector<Stored>> freeHeld = holdings();
  startServer();
  ProcessResult paced = migrate(
      {"-window", "4", "-maxRate", "64M", "-maxMessagesPerSecond", "100000"}, dir_ / "paced");
  ASSERT_EQ(paced.exitStatus, 0) << paced.out;
  EXPECT_EQ(holdings(), freeHeld);
  EXPECT_EQ(steady(paced.out), steady(free.out));
}

}  // namespace
}  // namespace lodemig::testing
