#ifndef LODEMIG_MIGRATION_HTML_REPORT_COLLECTOR_H_
#define LODEMIG_MIGRATION_HTML_REPORT_COLLECTOR_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "migration/html_report.h"
#include "migration/run_watcher.h"

namespace lodemig {

// Follows a run for its HTML report: files every report row (folderEnded)
// and samples the messages stored so far at most once a second, as messages
// are stored and as folders and accounts end. Called from any job's thread.
class HtmlReportCollector : public RunWatcher {
 public:
  // Samples are thinned to every other one when there are this many, so
  // that a run of days keeps a bounded list.
  static constexpr std::size_t kMaxSamples = 4096;

  // `start`: the run's start, in seconds since the epoch; the first sample.
  explicit HtmlReportCollector(double start);

  void messageStored(std::uint64_t bytes) override;
  void folderEnded(const ReportRow& row) override;
  void accountEnded(const AccountEndEvent& event) override;

  // What was gathered, with a last sample at `end` (seconds since the
  // epoch); the title, result and totals are the caller's to fill.
  HtmlReportContent finish(double end);

  // The same sampling as the calls above, at a time given: for tests, which
  // need not wait for the clock.
  void sampleAt(double now, bool always);

 private:
  std::atomic<std::int64_t> messages_{0};
  std::mutex mutex_;  // guards content_ and lastSample_
  HtmlReportContent content_;
  double lastSample_ = 0;
};

// The time now in seconds since the epoch, with a fraction.
double secondsNow();

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_HTML_REPORT_COLLECTOR_H_
