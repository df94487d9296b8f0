#include "migration/progress_line.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

using Clock = RunProgress::Clock;

TEST(ProgressTextTest, ShowsTheTotalsItKnows) {
  ProgressFigures figures;
  figures.accountsDone = 3;
  figures.accounts = 10;
  figures.messagesDone = 1200;
  figures.messages = 5000;
  figures.bytesDone = 12 * 1048576;
  figures.bytes = 50 * 1048576;
  figures.messagesPerSecond = 40.7;
  figures.secondsLeft = 95.4;
  EXPECT_EQ(progressText(figures),
            "accounts 3 of 10, 1200 of 5000 messages, 12.0MB of 50.0MB, 40 messages/s, "
            "0:01:35 left");
  figures.messages = -1;
  figures.bytes = -1;
  figures.secondsLeft = 36000 + 59 * 60 + 59.6;
  EXPECT_EQ(progressText(figures),
            "accounts 3 of 10, 1200 messages, 12.0MB, 40 messages/s, 11:00:00 left");
  figures.secondsLeft = -1;
  EXPECT_EQ(progressText(figures), "accounts 3 of 10, 1200 messages, 12.0MB, 40 messages/s");
}

TEST(ProgressTextTest, SecondsLeftAtTheSamePace) {
  EXPECT_DOUBLE_EQ(secondsLeft(10, 1, 4), 30);
  EXPECT_DOUBLE_EQ(secondsLeft(10, 3, 4), 10.0 / 3);
  EXPECT_DOUBLE_EQ(secondsLeft(10, 4, 4), 0);
  EXPECT_DOUBLE_EQ(secondsLeft(10, 5, 4), 0);    // the store held more than it said
  EXPECT_DOUBLE_EQ(secondsLeft(10, 0, 4), -1);   // nothing done: no pace yet
  EXPECT_DOUBLE_EQ(secondsLeft(10, -2, 4), -1);  // only skipped accounts so far
  EXPECT_DOUBLE_EQ(secondsLeft(10, 1, -1), -1);  // no total
}

TEST(ProgressTextTest, FitCutsAtAPartsEnd) {
  const std::string text = "accounts 3 of 10, 12 messages, 1.0KB";
  EXPECT_EQ(fitText(text, 0), text);
  EXPECT_EQ(fitText(text, 29), "accounts 3 of 10, 12 messages");
  EXPECT_EQ(fitText(text, 28), "accounts 3 of 10");
  EXPECT_EQ(fitText(text, 15), "");
}

class RunProgressTest : public ::testing::Test {
 protected:
  // Three accounts of 10 messages and 1000 bytes each, planned at t0.
  void plan() {
    for (const char* account : {"a@x", "b@x", "c@x"}) {
      progress_.planAccount(account, 10, 1000);
    }
    progress_.runPlanned(RunPlan{3, 30, 3000}, t0_);
  }
  void store(int messages, std::uint64_t bytes) {
    for (int i = 0; i < messages; ++i) {
      progress_.messageStored(bytes);
    }
  }
  void end(const std::string& account, const std::string& outcome, std::int64_t sent,
           std::uint64_t bytes) {
    AccountEndEvent event;
    event.account = account;
    event.outcome = outcome;
    event.sent = sent;
    event.bytes = bytes;
    progress_.accountEnded(event);
  }
  ProgressFigures at(int seconds) { return progress_.figures(t0_ + std::chrono::seconds(seconds)); }

  RunProgress progress_;
  const Clock::time_point t0_ = Clock::now();
};

TEST_F(RunProgressTest, AnEndedAccountCountsWithItsPlannedFigures) {
  plan();
  store(5, 100);
  // 500 of 3000 bytes in 10 s: 50 s for the other 2500.
  EXPECT_DOUBLE_EQ(at(10).secondsLeft, 50);
  store(3, 100);
  end("a@x", "failed", 8, 800);  // it failed after 8: nothing of it is left to do
  store(2, 50);                  // b@x under way
  const ProgressFigures figures = at(20);
  EXPECT_EQ(figures.accountsDone, 1);
  EXPECT_EQ(figures.messagesDone, 12);
  EXPECT_EQ(figures.bytesDone, 1100);
  EXPECT_DOUBLE_EQ(figures.messagesPerSecond, 0.5);
  store(40, 100);  // the store held more than its info files said
  EXPECT_EQ(at(20).messagesDone, 30);
  EXPECT_EQ(at(20).bytesDone, 3000);
}

TEST_F(RunProgressTest, SkippedAccountsTakeNoTimeInTheTimeLeft) {
  plan();
  end("a@x", "skipped", 0, 0);  // the journal had it
  EXPECT_EQ(at(1).bytesDone, 1000);
  EXPECT_DOUBLE_EQ(at(1).secondsLeft, -1);  // nothing sent yet
  store(10, 100);
  end("b@x", "migrated", 10, 1000);
  // 1000 bytes sent in 10 s, 1000 to go: 10 s, not the 5 s that counting
  // the skipped account as sent would give.
  EXPECT_DOUBLE_EQ(at(10).secondsLeft, 10);
  EXPECT_EQ(at(10).accountsDone, 2);
}

TEST_F(RunProgressTest, WithoutTotalsTheStoredCountsAndTheAccountsTell) {
  progress_.planAccount("a@x", -1, -1);
  progress_.planAccount("b@x", -1, -1);
  progress_.runPlanned(RunPlan{2, -1, -1}, t0_);
  store(7, 10);
  end("a@x", "migrated", 7, 70);
  const ProgressFigures figures = at(30);
  EXPECT_EQ(figures.messagesDone, 7);
  EXPECT_EQ(figures.bytesDone, 70);
  EXPECT_EQ(figures.messages, -1);
  EXPECT_DOUBLE_EQ(figures.secondsLeft, 30);  // one account of two in 30 s
  EXPECT_EQ(progressText(figures), "accounts 1 of 2, 7 messages, 70B, 0 messages/s, 0:00:30 left");
}

}  // namespace
}  // namespace lodemig
