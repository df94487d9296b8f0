#ifndef LODEMIG_MIGRATION_PROGRESS_LINE_H_
#define LODEMIG_MIGRATION_PROGRESS_LINE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "migration/reporter.h"
#include "migration/run_watcher.h"

namespace lodemig {

// What a progress line shows. A total of -1 is one the store cannot give; it
// is left out of the line.
struct ProgressFigures {
  std::int64_t accountsDone = 0;
  std::int64_t accounts = 0;
  std::int64_t messagesDone = 0;
  std::int64_t messages = -1;
  std::int64_t bytesDone = 0;
  std::int64_t bytes = -1;
  double messagesPerSecond = 0;
  double secondsLeft = -1;  // -1: not known yet
};

// The line: "accounts 3 of 10, 1200 of 5000 messages, 12.0MB of 50.0MB, 40
// messages/s, 0:01:35 left"; without a messages or bytes total "1200
// messages" and "12.0MB"; without the time left, no last part.
std::string progressText(const ProgressFigures& figures);

// The seconds left when `done` of `total` took `elapsed` seconds, at the
// same pace; -1 when nothing is done yet or the total is not known.
double secondsLeft(double elapsed, std::int64_t done, std::int64_t total);

// Follows a migration for its progress line: the plan's totals (each
// account's own figures given with planAccount()), the accounts ended and the
// messages and bytes stored. An account that ended counts as done with the
// figures its plan gave, whatever it sent (its messages need no more time);
// the accounts under way count with what they stored so far. The time left
// is reckoned from the bytes when their total is known, else the messages,
// else the accounts, leaving out the accounts a journal had done (they took
// no time). Every call may come from any job's thread.
class RunProgress : public RunWatcher, public ProgressSource {
 public:
  using Clock = std::chrono::steady_clock;

  // The figures of one account the plan counted (-1: not known), before the
  // run starts. `account` is user@domain.
  void planAccount(const std::string& account, std::int64_t messages, std::int64_t bytes);
  // The run's totals; the rate and the time left are reckoned from now on.
  void runPlanned(const RunPlan& plan) override { runPlanned(plan, Clock::now()); }
  void runPlanned(const RunPlan& plan, Clock::time_point started);
  void messageStored(std::uint64_t bytes) override;
  void accountEnded(const AccountEndEvent& event) override;

  ProgressFigures figures(Clock::time_point now) const;
  std::string progressText() override;
  // The terminal's width, for the Reporter to fit the line into.
  int columns() override;

 private:
  struct Figures {
    std::int64_t messages = 0;
    std::int64_t bytes = 0;
  };

  std::atomic<std::int64_t> stored_{0};
  std::atomic<std::int64_t> storedBytes_{0};

  mutable std::mutex mutex_;  // guards everything below
  RunPlan plan_;
  Clock::time_point started_ = Clock::now();
  std::unordered_map<std::string, Figures> planned_;
  std::int64_t accountsDone_ = 0;
  // Of the accounts ended: the figures their plan gave, what they sent, and
  // what the plan gave of those a journal had done.
  Figures endedPlanned_;
  Figures endedSent_;
  Figures skippedPlanned_;
  std::int64_t accountsSkipped_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_PROGRESS_LINE_H_
