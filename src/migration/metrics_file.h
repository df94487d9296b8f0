#ifndef LODEMIG_MIGRATION_METRICS_FILE_H_
#define LODEMIG_MIGRATION_METRICS_FILE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "migration/run_metrics.h"

namespace lodemig {

// The -metricsFile: the figures of a RunMetrics in the Prometheus text
// format, for node exporter's textfile collector. Each version replaces the
// file whole (written beside it, then renamed over it), with mode 0644 so
// that the collector may read it: it holds no account names. A thread of its
// own writes a version every period while the run goes on; finish() writes
// the last one. Does nothing until open() succeeds. Not copyable.
class MetricsFile {
 public:
  // The period between versions when the environment does not name one.
  static constexpr std::chrono::milliseconds kDefaultPeriod{5000};

  MetricsFile() = default;
  // Stops the thread without writing again.
  ~MetricsFile();
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Writes the first version of `metrics` to `path` and starts the thread
  // that writes one every `period`. "" when written, else why the file
  // cannot be used (the thread is not started then). `metrics` must outlive
  // this object. A version that cannot be written later is said once on
  // `warnings` ("Warning: cannot write file PATH: REASON, ..."); the next
  // version is tried all the same.
  [[nodiscard]] std::string open(const std::string& path, RunMetrics& metrics,
                                 std::chrono::milliseconds period, std::ostream& warnings);
  bool isOpen() const { return metrics_ != nullptr; }
  // Stops the thread and writes the last version, with `exitStatus`. True
  // when written (or when no file is open); false with failureText() set
  // when not. Only the first call writes.
  bool finish(int exitStatus);
  // "cannot write file PATH: REASON" for the last write that failed; call
  // after finish(), once the thread has stopped.
  std::string failureText() const;

  // The period LODEMIG_METRICS_PERIOD_MS names (1 to 10000 milliseconds, for
  // tests), else kDefaultPeriod.
  static std::chrono::milliseconds periodFromEnvironment();

 private:
  // Writes one version; the reason when it could not be written, else "".
  std::string writeVersion();
  void keepWriting();

  std::string path_;
  RunMetrics* metrics_ = nullptr;
  std::ostream* warnings_ = nullptr;
  std::chrono::milliseconds period_{kDefaultPeriod};
  std::thread thread_;
  // Guards stopping_ and failure_; the condition wakes the thread to stop.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool finished_ = false;  // finish() was called; only the caller's thread reads it
  std::string failure_;    // why the last failed write failed; "" when none did
  bool warned_ = false;    // the thread has said a failure already
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_METRICS_FILE_H_
