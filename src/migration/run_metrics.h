#ifndef LODEMIG_MIGRATION_RUN_METRICS_H_
#define LODEMIG_MIGRATION_RUN_METRICS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "migration/run_watcher.h"

namespace lodemig {

// What the run is, the same on every line of its metrics: the shard as
// "K/N" ("1/1" for a run that is not sharded: the one shard that holds every
// account), the mode ("migrate", "check", "verify", "print") and the tool's
// version.
struct MetricsLabels {
  std::string shard = "1/1";
  std::string mode;
  std::string version;
};

// The figures of one version of the metrics file. The message and folder
// counts are those of the report's rows (folders that ended), so that at the
// run's end they equal the report's totals; the appended counts follow every
// append the target accepted as it happens.
struct MetricsFigures {
  MetricsLabels labels;
  double startSeconds = 0;   // Unix time, when the run started
  double updateSeconds = 0;  // Unix time, of this version
  std::int64_t sent = 0;
  std::int64_t refused = 0;
  std::int64_t matched = 0;
  std::int64_t skipped = 0;
  std::uint64_t sentBytes = 0;
  std::int64_t appended = 0;
  std::uint64_t appendedBytes = 0;
  double messagesPerSecond = 0;  // appends accepted since the version before
  std::int64_t accountsMigrated = 0;
  std::int64_t accountsFailed = 0;
  std::int64_t accountsSkipped = 0;
  std::int64_t accountsPlanned = -1;  // -1: no plan (yet)
  std::int64_t accountsRunning = 0;
  std::int64_t folders = 0;
  std::int64_t foldersNotOk = 0;
  std::int64_t retries = 0;
  std::int64_t backOffs = 0;
  int exitStatus = -1;  // -1: the run goes on
};

// The metrics file's text for `figures`: the Prometheus text exposition
// format (version 0.0.4), a HELP and a TYPE line before each metric, every
// series labelled with the shard. The accounts planned and remaining are
// left out while there is no plan, the exit status while the run goes on.
std::string metricsText(const MetricsFigures& figures);

// Counts what a run does for its metrics file. The engine's calls may come
// from any job's thread: messageStored() touches two atomics only, the rest
// takes the mutex. Not copyable.
class RunMetrics : public RunWatcher {
 public:
  using Clock = std::chrono::steady_clock;

  // `start` (Unix time) is when the run began; `now` starts the first
  // interval of the rate.
  RunMetrics(MetricsLabels labels, double startSeconds, Clock::time_point now);
  RunMetrics(const RunMetrics&) = delete;
  RunMetrics& operator=(const RunMetrics&) = delete;

  void runPlanned(const RunPlan& plan) override;
  void accountStarted(const std::string& account) override;
  void messageStored(std::uint64_t bytes) override;
  void folderEnded(const ReportRow& row) override;
  void retried(const RetryEvent& event) override;
  void accountEnded(const AccountEndEvent& event) override;
  void runEnded(const RunEndEvent& event) override;

  // The figures now, as of `unixSeconds` and `now`; the rate is that of the
  // appends since the sample before (or since the start), and the next
  // sample's interval starts here.
  MetricsFigures sample(double unixSeconds, Clock::time_point now);

 private:
  std::atomic<std::int64_t> appended_{0};
  std::atomic<std::uint64_t> appendedBytes_{0};
  // Guards figures_ (but its appended counts and rate, filled by sample())
  // and the interval of the rate.
  std::mutex mutex_;
  MetricsFigures figures_;
  Clock::time_point intervalStart_;
  std::int64_t intervalAppended_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_RUN_METRICS_H_
