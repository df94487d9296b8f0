// End-to-end tests of the exit statuses that tell a failure that may pass by
// itself (3: the same command again goes on) from one to fix first (1).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class RetryableExitTest : public MigrationTest {
 protected:
  // Every message of `account` (`count` in its INBOX) arrived exactly once.
  void expectEveryMessageOnce(const std::string& user, int count) {
    std::vector<Stored> got = storedMessages(user + "@example.com");
    std::vector<Stored> want;
    for (int i = 1; i <= count; ++i) {
      want.push_back(inboxMessage(user, i));
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want) << user;
  }

  const std::string journal_ = dir_ / "run.journal";
};

TEST_F(RetryableExitTest, TargetThatStaysDownIsRetryableAndTheJournalGoesOn) {
  inboxAccount("ann", 3);
  inboxAccount("bob", 2);
  startServer();
  server_->stop();  // now nothing listens on its port
  const ProcessResult down = migrate({"-journal", journal_, "-retry", "1"});
  EXPECT_EQ(down.exitStatus, 3) << down.out;
  // Only the exit status tells it apart: the lines are those of any failure.
  EXPECT_TRUE(contains(down.out,
                       "\nError: cannot connect to Torvane\n  cause: cannot connect to "
                       "127.0.0.1:" +
                           server_->portText() + ": Connection refused\n"))
      << down.out;
  EXPECT_TRUE(contains(down.out, "\nResult: migration failed\n")) << down.out;

  // The same server back, on another port.
  startServer();
  const ProcessResult resumed = migrate({"-journal", journal_, "-retarget"});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectEveryMessageOnce("ann", 3);
  expectEveryMessageOnce("bob", 2);
}

TEST_F(RetryableExitTest, TargetDroppingTheConnectionEndsRetryableAndTheRerunSendsTheRest) {
  inboxAccount("ann", 6);
  startServer({"--drop-append", "4"});
  const ProcessResult cut = migrate({"-journal", journal_});
  EXPECT_EQ(cut.exitStatus, 3) << cut.out;
  EXPECT_TRUE(contains(cut.out, "\nResult: migration failed\n")) << cut.out;
  EXPECT_GT(arrivedCount("ann@example.com"), 0);

  const ProcessResult resumed = migrate({"-journal", journal_});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectEveryMessageOnce("ann", 6);
}

TEST_F(RetryableExitTest, AccountLostAfterEveryRetryIsRetryable) {
  inboxAccount("eva", 1);
  // The first try and the one retry each lose their connection at the append.
  startServer({"--drop-append", "1", "--drop-append", "2"});
  const ProcessResult result = migrate({"-retry", "1"});
  EXPECT_EQ(result.exitStatus, 3) << result.out;
  EXPECT_TRUE(contains(result.out, "   Warning: cannot append message, try 1 of 1 in 1 s\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate mailbox <eva>\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "\nResult: migration failed\n")) << result.out;
}

TEST_F(RetryableExitTest, WhatNeedsFixingIsExitOne) {
  inboxAccount("ann", 2);
  inboxAccount("bob", 1);
  // A wrong master password.
  startServer({"--master-password", "another"});
  const ProcessResult login = migrate();
  EXPECT_EQ(login.exitStatus, 1) << login.out;
  EXPECT_TRUE(contains(login.out, "\nResult: migration failed\n")) << login.out;

  // A refused message, also when a lost connection ends the run later.
  startServer({"--refuse-append", "1", "--drop-append", "3"});
  const ProcessResult refused = migrate();
  EXPECT_EQ(refused.exitStatus, 1) << refused.out;
  EXPECT_TRUE(contains(refused.out, "\nError: cannot migrate message nr.: ")) << refused.out;
}

}  // namespace
}  // namespace lodemig::testing
