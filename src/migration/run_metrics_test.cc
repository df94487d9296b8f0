#include "migration/run_metrics.h"

#include <gtest/gtest.h>

#include <vector>

namespace lodemig {
namespace {

using Clock = RunMetrics::Clock;

class RunMetricsTest : public ::testing::Test {
 protected:
  // A run of shard 2 of 4 that has done a little of everything.
  static MetricsFigures busyRun() {
    MetricsFigures figures;
    figures.labels = {"2/4", "migrate", "1.0.0-R1-1"};
    figures.startSeconds = 1765206245;
    figures.updateSeconds = 1765206250.5;
    figures.sent = 90;
    figures.refused = 2;
    figures.matched = 5;
    figures.skipped = 3;
    figures.sentBytes = 123456;
    figures.appended = 95;
    figures.appendedBytes = 130000;
    figures.messagesPerSecond = 12.25;
    figures.accountsMigrated = 3;
    figures.accountsFailed = 1;
    figures.accountsSkipped = 2;
    figures.accountsPlanned = 10;
    figures.accountsRunning = 4;
    figures.folders = 12;
    figures.foldersNotOk = 1;
    figures.retries = 2;
    figures.backOffs = 7;
    return figures;
  }

  static ReportRow row(const std::string& folder, std::int64_t sent, Verdict verdict) {
    ReportRow row;
    row.account = "ann@example.com";
    row.folder = folder;
    row.sent = sent;
    row.storeBytes = static_cast<std::uint64_t>(sent) * 100;
    row.refused = 1;
    row.matched = 2;
    row.skipped = 3;
    row.verdict = verdict;
    return row;
  }

  static AccountEndEvent accountEnd(const char* outcome) {
    AccountEndEvent event;
    event.outcome = outcome;
    return event;
  }

  const Clock::time_point start_ = Clock::time_point() + std::chrono::hours(1);
  RunMetrics metrics_{{"1/1", "migrate", "9.9"}, 1000, start_};
};

const char kBusyRun[] =
    "# HELP lodemig_run_info The run: its mode and the tool's version (always 1).\n"
    "# TYPE lodemig_run_info gauge\n"
    "lodemig_run_info{shard=\"2/4\",mode=\"migrate\",version=\"1.0.0-R1-1\"} 1\n"
    "# HELP lodemig_run_start_timestamp_seconds When the run started, in seconds since the Unix "
    "epoch.\n"
    "# TYPE lodemig_run_start_timestamp_seconds gauge\n"
    "lodemig_run_start_timestamp_seconds{shard=\"2/4\"} 1765206245.000\n"
    "# HELP lodemig_last_update_timestamp_seconds When this version of the file was written, in "
    "seconds since the Unix epoch.\n"
    "# TYPE lodemig_last_update_timestamp_seconds gauge\n"
    "lodemig_last_update_timestamp_seconds{shard=\"2/4\"} 1765206250.500\n"
    "# HELP lodemig_messages_total Messages of the folders that ended, as the report counts them: "
    "sent, refused by the target, matched (found there already) and skipped (stored by an earlier "
    "run).\n"
    "# TYPE lodemig_messages_total counter\n"
    "lodemig_messages_total{shard=\"2/4\",result=\"sent\"} 90\n"
    "lodemig_messages_total{shard=\"2/4\",result=\"refused\"} 2\n"
    "lodemig_messages_total{shard=\"2/4\",result=\"matched\"} 5\n"
    "lodemig_messages_total{shard=\"2/4\",result=\"skipped\"} 3\n"
    "# HELP lodemig_sent_bytes_total Bytes of the messages sent in the folders that ended, as "
    "sent.\n"
    "# TYPE lodemig_sent_bytes_total counter\n"
    "lodemig_sent_bytes_total{shard=\"2/4\"} 123456\n"
    "# HELP lodemig_appended_messages_total Messages the target accepted, counted as each is "
    "accepted.\n"
    "# TYPE lodemig_appended_messages_total counter\n"
    "lodemig_appended_messages_total{shard=\"2/4\"} 95\n"
    "# HELP lodemig_appended_bytes_total Bytes of the messages the target accepted, as sent, "
    "counted as each is accepted.\n"
    "# TYPE lodemig_appended_bytes_total counter\n"
    "lodemig_appended_bytes_total{shard=\"2/4\"} 130000\n"
    "# HELP lodemig_messages_per_second Messages the target accepted per second since the version "
    "before.\n"
    "# TYPE lodemig_messages_per_second gauge\n"
    "lodemig_messages_per_second{shard=\"2/4\"} 12.250\n"
    "# HELP lodemig_accounts_total Accounts that ended: migrated, failed, or skipped (the journal "
    "had them done, or they exist on the target).\n"
    "# TYPE lodemig_accounts_total counter\n"
    "lodemig_accounts_total{shard=\"2/4\",outcome=\"migrated\"} 3\n"
    "lodemig_accounts_total{shard=\"2/4\",outcome=\"failed\"} 1\n"
    "lodemig_accounts_total{shard=\"2/4\",outcome=\"skipped\"} 2\n"
    "# HELP lodemig_accounts_running Accounts being migrated now.\n"
    "# TYPE lodemig_accounts_running gauge\n"
    "lodemig_accounts_running{shard=\"2/4\"} 4\n"
    "# HELP lodemig_accounts_planned Accounts the run has to do, all told.\n"
    "# TYPE lodemig_accounts_planned gauge\n"
    "lodemig_accounts_planned{shard=\"2/4\"} 10\n"
    "# HELP lodemig_accounts_remaining Accounts planned that have not ended yet.\n"
    "# TYPE lodemig_accounts_remaining gauge\n"
    "lodemig_accounts_remaining{shard=\"2/4\"} 4\n"
    "# HELP lodemig_folders_total Folders that ended.\n"
    "# TYPE lodemig_folders_total counter\n"
    "lodemig_folders_total{shard=\"2/4\"} 12\n"
    "# HELP lodemig_folders_not_ok_total Folders that ended with a verdict other than ok or "
    "skipped.\n"
    "# TYPE lodemig_folders_not_ok_total counter\n"
    "lodemig_folders_not_ok_total{shard=\"2/4\"} 1\n"
    "# HELP lodemig_retries_total New connections after a lost one (retry), and slow-downs the "
    "target asked for (backoff).\n"
    "# TYPE lodemig_retries_total counter\n"
    "lodemig_retries_total{shard=\"2/4\",kind=\"retry\"} 2\n"
    "lodemig_retries_total{shard=\"2/4\",kind=\"backoff\"} 7\n";

TEST_F(RunMetricsTest, TextOfARunUnderWay) {
  EXPECT_EQ(metricsText(busyRun()), kBusyRun);
}

TEST_F(RunMetricsTest, TheExitStatusComesAfterTheTimesOnceTheRunHasEnded) {
  MetricsFigures figures = busyRun();
  figures.exitStatus = 3;
  std::string expected = kBusyRun;
  expected.insert(expected.find("# HELP lodemig_messages_total "),
                  "# HELP lodemig_exit_status The run's exit status: 0 succeeded, 1 failed, 3 may "
                  "pass by itself; only once the run has ended.\n"
                  "# TYPE lodemig_exit_status gauge\n"
                  "lodemig_exit_status{shard=\"2/4\"} 3\n");
  EXPECT_EQ(metricsText(figures), expected);
}

TEST_F(RunMetricsTest, CountsWhatTheRunTellsIt) {
  metrics_.runPlanned(RunPlan{5, -1, -1});
  metrics_.accountStarted("ann@example.com");
  metrics_.accountStarted("bob@example.com");
  metrics_.folderEnded(row("INBOX", 10, Verdict::Ok));
  metrics_.folderEnded(row("Sent", 4, Verdict::Missing));
  metrics_.folderEnded(row("Old", 0, Verdict::Skipped));
  metrics_.folderEnded(row("", 0, Verdict::Failed));  // an account ended before its folders
  metrics_.accountEnded(accountEnd("migrated"));
  metrics_.accountEnded(accountEnd("failed"));
  metrics_.retried(RetryEvent{"backoff", "ann@example.com", 0, 0, 1, 4, 1, "busy"});
  const MetricsFigures figures = metrics_.sample(1234.5, start_ + std::chrono::seconds(2));
  EXPECT_EQ(std::vector<std::int64_t>({figures.sent, figures.refused, figures.matched,
                                       figures.skipped, figures.folders, figures.foldersNotOk,
                                       figures.accountsMigrated, figures.accountsFailed,
                                       figures.accountsRunning, figures.retries, figures.backOffs}),
            std::vector<std::int64_t>({14, 4, 8, 12, 3, 1, 1, 1, 0, 0, 1}));
  EXPECT_EQ(figures.sentBytes, 1400u);
  EXPECT_EQ(figures.exitStatus, -1);
  metrics_.runEnded(RunEndEvent{0, "migration failed", 1, RunTotals()});
  EXPECT_EQ(metrics_.sample(1235, start_ + std::chrono::seconds(3)).exitStatus, 1);
}

TEST_F(RunMetricsTest, TheRateIsThatOfTheIntervalSinceTheSampleBefore) {
  for (int i = 0; i < 30; ++i) {
    metrics_.messageStored(10);
  }
  EXPECT_DOUBLE_EQ(metrics_.sample(0, start_ + std::chrono::seconds(3)).messagesPerSecond, 10.0);
  metrics_.messageStored(10);
  EXPECT_DOUBLE_EQ(metrics_.sample(0, start_ + std::chrono::milliseconds(3500)).messagesPerSecond,
                   2.0);
  // No time between two samples: no rate rather than a division by zero.
  EXPECT_EQ(metrics_.sample(0, start_ + std::chrono::milliseconds(3500)).messagesPerSecond, 0);
}

}  // namespace
}  // namespace lodemig
