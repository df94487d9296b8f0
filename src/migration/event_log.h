#ifndef LODEMIG_MIGRATION_EVENT_LOG_H_
#define LODEMIG_MIGRATION_EVENT_LOG_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "migration/run_watcher.h"
#include "utils/json_line.h"
#include "utils/output_file.h"

namespace lodemig {

// The -events file: one JSON object per line (JSON Lines) for each thing a
// run tells its watchers, each line written whole with one write and flushed
// at once, so that a reader following the file never sees half a line, also
// with several jobs. Every line starts with "time" (UTC, milliseconds) and
// "type", then "shard" ("K/N") when the run is sharded; the README lists the
// types and their fields. Nothing is written for a stored message: those are
// counted (two atomic additions) and reported by a "progress" line every
// `progressEvery` while a migration runs, from a thread of its own that
// runStarted() starts and runEnded() (or the destructor) stops.
//
// The file is opened like the report: appended to, created with mode 0600,
// never through a symbolic link. A write that fails is kept (failed(),
// failureText()) and the lines after it are dropped. Calls may come from any
// thread. Not copyable.
class EventLog : public RunWatcher {
 public:
  static constexpr std::chrono::milliseconds kProgressEvery{10000};

  explicit EventLog(std::chrono::milliseconds progressEvery = kProgressEvery);
  ~EventLog() override;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // False when `path` cannot be written; failureReason() says why.
  [[nodiscard]] bool open(const std::string& path);
  // Stops the progress line and closes the file; false when any line could
  // not be written.
  bool close();

  bool failed() const { return file_.isOpen() && !file_.good(); }
  std::string failureText() const { return file_.failureText(); }
  std::string failureReason() const { return file_.failureReason(); }

  void runStarted(const RunStartEvent& event) override;
  void runPlanned(const RunPlan& plan) override;
  void accountStarted(const std::string& account) override;
  void messageStored(std::uint64_t bytes) override;
  void messageFailed(const MessageFailureEvent& event) override;
  void folderEnded(const ReportRow& row) override;
  void retried(const RetryEvent& event) override;
  void accountEnded(const AccountEndEvent& event) override;
  void runEnded(const RunEndEvent& event) override;

 private:
  // A line of `type`, its time, type and shard filled in.
  ostrel::utils::JsonLine event(const char* type) const;
  void write(const ostrel::utils::JsonLine& line);
  void writeProgress();
  void progressLoop();
  void stopProgress();

  const std::chrono::milliseconds progressEvery_;
  // Guards the file: lines come from every job.
  std::mutex fileMutex_;
  ostrel::utils::OutputFile file_;
  // "K/N", or empty when the run is not sharded; set with the start time by
  // runStarted(), before any job's thread exists, and only read after.
  std::string shard_;
  std::chrono::steady_clock::time_point started_;

  // What the progress line says, counted as it happens.
  std::atomic<std::int64_t> accountsDone_{0};
  std::atomic<std::int64_t> messages_{0};
  std::atomic<std::uint64_t> bytes_{0};

  // Guards stopping_, which wakes the progress thread at the run's end.
  std::mutex progressMutex_;
  std::condition_variable progressWake_;
  bool stopping_ = false;
  std::thread progress_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_EVENT_LOG_H_
