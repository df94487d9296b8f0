#include "bench/workload.h"

#include <gtest/gtest.h>

namespace lodemig::bench {
namespace {

class VerifyRunTest : public ::testing::Test {
 protected:
  VerifyRunTest() {
    workload_ = standardWorkloads(false)[0];
    manifest_.accounts.resize(1);
    manifest_.messages = 3;
    manifest_.bytes = 3000;
    good_.client.status = 0;
    good_.consoleBytes = 0;
    good_.haveLog = true;
    good_.logText = "banner\n + mailbox <user00000>, size: 2.9KB\n\nResult: migration successful\n";
    good_.haveSummary = true;
    good_.summary = TargetSummary{1, 1, 3, 3000, "abc", "def"};
    good_.units = 3;
  }
  std::string verify(const RunResult& run, bool quiet = true) {
    Variant variant{"v", quiet, true};
    return verifyRun(workload_, variant, manifest_, "abc", run, 120);
  }

  Workload workload_;
  StoreManifest manifest_;
  RunResult good_;
};

TEST_F(VerifyRunTest, EveryShortfallIsNamed) {
  struct Case {
    void (*spoil)(RunResult&);
    std::string problem;
  };
  const Case cases[] = {
      {[](RunResult& r) { r.client.status = 1 << 8; }, "lodemig ended with wait status 256"},
      {[](RunResult& r) {
         r.haveLog = false;
         r.logText.clear();
       },
       "no log file"},
      {[](RunResult& r) { r.logText = "Result: migration successful\n"; },
       "0 of 1 mailboxes in the log"},
      {[](RunResult& r) { r.logText = " + mailbox <a>\nResult: migration failed\n"; },
       "no successful result line"},
      {[](RunResult& r) { r.haveSummary = false; }, "no summary line from the target"},
      {[](RunResult& r) { r.summary.messages = 2; }, "target holds 2 of 3 messages"},
      {[](RunResult& r) { r.summary.bytes = 2999; }, "target holds 2999 of 3000 bytes"},
      {[](RunResult& r) { r.summary.digest = "abd"; }, "content digest differs"},
      {[](RunResult& r) { r.consoleBytes = 12; }, "12 console bytes despite -quiet"},
  };
  EXPECT_EQ(verify(good_), "");
  for (const Case& c : cases) {
    RunResult run = good_;
    c.spoil(run);
    EXPECT_EQ(verify(run), c.problem);
  }
}

TEST_F(VerifyRunTest, ReportVariantNeedsOneOkRowPerAccount) {
  Variant variant{"quiet, report", true, true, false, true};
  const std::string header = "domain,account,folder,verdict,error,matched\r\n";
  RunResult run = good_;
  run.reportText = header + "bench.example,user00000@bench.example,INBOX,ok,,0\r\n";
  EXPECT_EQ(verifyRun(workload_, variant, manifest_, "abc", run, 120), "");
  const std::string bad[] = {
      "",
      header,
      header + "bench.example,user00000@bench.example,INBOX,missing,the target holds 2,0\r\n",
      header + "bench.example,user00000@bench.example,INBOX,ok,,0",
      header +
          "bench.example,user00000@bench.example,INBOX,ok,,\r\n"
          "bench.example,user00001@bench.example,INBOX,ok,,\r\n",
      // Columns are found by name: without a verdict column nothing is ok.
      "domain,account,folder,error\r\nbench.example,user00000@bench.example,ok,\r\n",
      // A row short of the header's columns.
      header + "bench.example,user00000@bench.example,INBOX,ok\r\n",
  };
  for (const std::string& text : bad) {
    run.reportText = text;
    EXPECT_EQ(verifyRun(workload_, variant, manifest_, "abc", run, 120),
              "the report does not have one ok row per account")
        << text;
  }
}

TEST_F(VerifyRunTest, ConsoleVariantMustWriteSomethingAndTimeOutSaysHowFarTheRunCame) {
  EXPECT_EQ(verify(good_, false), "nothing on the console");
  good_.consoleBytes = 100;
  EXPECT_EQ(verify(good_, false), "");
  good_.client.timedOut = true;
  good_.units = 2;
  EXPECT_EQ(verify(good_), "TIMED OUT after 120 s with 2 of 3 messages");
}

TEST_F(VerifyRunTest, JournalRowsNeedTheJournalAndARerunSkipsEveryAccountByIt) {
  Variant journal{"quiet, journal", true, true, true};
  EXPECT_EQ(verifyRun(workload_, journal, manifest_, "abc", good_, 120), "no journal on the disk");
  good_.journalBytes = 4096;
  EXPECT_EQ(verifyRun(workload_, journal, manifest_, "abc", good_, 120), "");

  Variant rerun = journal;
  rerun.rerun = true;
  EXPECT_EQ(verifyRun(workload_, rerun, manifest_, "abc", good_, 120),
            "0 of 1 accounts skipped as the journal records");
  RunResult skipped = good_;
  skipped.logText =
      " + mailbox <user00000>, size: 2.9KB\n   Info: already migrated, as the journal records\n"
      "\nResult: migration successful\n";
  EXPECT_EQ(verifyRun(workload_, rerun, manifest_, "abc", skipped, 120), "");
  // The target holding the store twice means the second run sent it again.
  skipped.summary.messages = 6;
  EXPECT_EQ(verifyRun(workload_, rerun, manifest_, "abc", skipped, 120),
            "target holds 6 of 3 messages");
}

TEST_F(VerifyRunTest, DeltaRunNeedsASuccessfulAuditAfterIt) {
  Variant delta{"delta", true, true, true};
  delta.delta = true;
  good_.journalBytes = 4096;
  good_.newMessages = 2;
  good_.flagChanges = 3;
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "the log does not say \"Info: messages: 2 sent,\"");
  good_.logText +=
      "Info: messages: 2 sent, 0 refused, 2 verified, 0 already there\n"
      "Info: changes: 3 messages with new flags, 1 gone from the store, 0 of them removed\n";
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "the log does not say \"Info: changes: 3 messages with new flags, 0 gone from the "
            "store,\"");
  good_.logText += "Info: changes: 3 messages with new flags, 0 gone from the store, 0 of them\n";
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "-verify after the pass ended with wait status -1");
  good_.auditStatus = 1 << 8;
  good_.auditLog = "Result: verification failed\n";
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "-verify after the pass ended with wait status 256");
  good_.auditStatus = 0;
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "-verify after the pass found no successful result line");
  good_.auditLog = "Result: verification successful\n";
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120), "");
  // The audit comes after the target's own counts.
  good_.summary.bytes = 3001;
  EXPECT_EQ(verifyRun(workload_, delta, manifest_, "abc", good_, 120),
            "target holds 3001 of 3000 bytes");
}

TEST_F(VerifyRunTest, PrintRunIsCheckedByItsMailboxLines) {
  workload_ = standardWorkloads(false)[4];
  good_.haveSummary = false;
  good_.logText = " + mailbox <a>, size: 0B\n";
  EXPECT_EQ(verify(good_), "");
  manifest_.accounts.resize(2);
  EXPECT_EQ(verify(good_), "1 of 2 mailboxes in the log");
}

TEST(FiguresOfTest, FloorsAndRatesFollowTheWorkload) {
  std::vector<Workload> workloads = standardWorkloads(false);
  StoreManifest manifest;
  manifest.accounts.resize(4);
  manifest.messages = 1000;
  manifest.bytes = 10 * 1048576;
  RunResult run;
  run.client.wallSeconds = 2;
  run.client.userSeconds = 0.03;
  run.client.systemSeconds = 0.01;
  run.floors = Floors{20e-6, 0.1, 0.05};
  run.summary.messages = 1000;
  run.summary.bytes = manifest.bytes;
  run.units = 1000;

  RunFigures one = figuresOf(workloads[0], manifest, run);
  EXPECT_DOUBLE_EQ(one.floor, 1000 * 20e-6 + 0.1);
  EXPECT_DOUBLE_EQ(one.messagesPerSecond, 500);
  EXPECT_DOUBLE_EQ(one.megabytesPerSecond, 5);
  EXPECT_NEAR(one.cpuPerUnit, 40, 1e-9);  // us per message

  RunFigures large = figuresOf(workloads[2], manifest, run);
  EXPECT_DOUBLE_EQ(large.floor, 0.15);
  EXPECT_NEAR(large.cpuPerUnit, 4, 1e-9);  // ms per MB

  run.units = 2;  // two of four mailboxes printed
  RunFigures print = figuresOf(workloads[4], manifest, run);
  EXPECT_DOUBLE_EQ(print.floor, 0.025);
  EXPECT_NEAR(print.cpuPerUnit, 20000, 1e-6);  // us per account

  // A run cut off is measured on what it delivered: a quarter here.
  run.units = 250;
  run.summary = TargetSummary{1, 1, 250, 2621440, "", ""};
  RunFigures cut = figuresOf(workloads[0], manifest, run);
  EXPECT_DOUBLE_EQ(cut.floor, 250 * 20e-6 + 0.025);
  EXPECT_DOUBLE_EQ(cut.messagesPerSecond, 125);
  EXPECT_NEAR(cut.cpuPerUnit, 160, 1e-9);
}

TEST(CountLinesTest, CountsOnlyLineStarts) {
  EXPECT_EQ(countLinesStartingWith("", " + m"), 0u);
  EXPECT_EQ(countLinesStartingWith(" + m1\nx + m2\n + m3", " + m"), 2u);
  EXPECT_EQ(countLinesStartingWith("\n\n + m\n", " + m"), 1u);
}

}  // namespace
}  // namespace lodemig::bench
