#ifndef LODEMIG_MIGRATION_RUN_WATCHER_H_
#define LODEMIG_MIGRATION_RUN_WATCHER_H_

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "migration/run_report.h"

namespace lodemig {

// What a run tells those who follow it from outside its log: the events
// file, the metrics file, the progress line, the HTML report's chart. The
// engine calls these as things happen; each says what it carries.

// The run begins: what it does and with which options.
struct RunStartEvent {
  std::time_t time = 0;
  std::string mode;  // "print", "migrate", "check" or "verify"
  int jobs = 1;
  std::string server;   // the target as host:port
  std::string store;    // the store's path as given
  std::string version;  // the program's version
  int shard = 0;        // 0: the run is not sharded
  int shards = 0;
  // The command line's options as given (name without its dash, value; a
  // flag has an empty value), the secrets left out.
  std::vector<std::pair<std::string, std::string>> options;
};

// What the run has before it, counted from the store's info files before the
// first account starts. A figure the store cannot give is -1.
struct RunPlan {
  std::int64_t accounts = 0;
  std::int64_t messages = -1;
  std::int64_t bytes = -1;
};

// One account has ended. `outcome` is "migrated" (its folders ran to their
// end, some perhaps with refused messages), "failed" (it ended early, or a
// folder failed), "skipped" (the journal had it done, or it exists on the
// target and was not migrated).
struct AccountEndEvent {
  std::string account;  // user@domain
  std::string outcome;
  std::int64_t folders = 0;
  std::int64_t sent = 0;
  std::int64_t refused = 0;
  std::int64_t matched = 0;
  std::int64_t skipped = 0;  // the journal had them as stored
  std::uint64_t bytes = 0;   // of the messages sent, as sent
  double seconds = 0;
  std::string error;  // why it failed or was skipped; empty otherwise
};

// A message the target did not store (`refused`, the server's answer as the
// reason) or the store could not give (`unreadable`).
struct MessageFailureEvent {
  std::string account;
  std::string folder;  // as in the store
  long number = 0;     // the message's number in its folder, from 1
  bool unreadable = false;
  std::string reason;
};

// The run tries again: a lost connection retried ("retry"), or the server
// asked it to slow down ("backoff": the window and connections after it).
struct RetryEvent {
  std::string kind;
  std::string account;
  int attempt = 0;   // the try to come, from 1; 0 for a back-off of one message
  int attempts = 0;  // the tries allowed
  double pauseSeconds = 0;
  int window = 0;       // back-off only
  int connections = 0;  // back-off only
  std::string reason;
};

// The run has ended, after its result line.
struct RunEndEvent {
  std::time_t time = 0;
  std::string result;  // the result line's verdict: "migration successful", ...
  int exitStatus = 0;
  RunTotals totals;
};

// Follows a run. Called from any job's thread: an implementation guards
// what it keeps. Every call has a default that does nothing.
class RunWatcher {
 public:
  virtual ~RunWatcher() = default;
  virtual void runStarted(const RunStartEvent& /*event*/) {}
  virtual void runPlanned(const RunPlan& /*plan*/) {}
  virtual void accountStarted(const std::string& /*account*/) {}
  // One message the target accepted, as sent; called for every message, so
  // it must be cheap.
  virtual void messageStored(std::uint64_t /*bytes*/) {}
  virtual void messageFailed(const MessageFailureEvent& /*event*/) {}
  // A report row: a folder that ended, or an account that ended before its
  // folders (an empty folder name).
  virtual void folderEnded(const ReportRow& /*row*/) {}
  virtual void retried(const RetryEvent& /*event*/) {}
  virtual void accountEnded(const AccountEndEvent& /*event*/) {}
  virtual void runEnded(const RunEndEvent& /*event*/) {}
};

// Hands every call on to each watcher added, in the order added. The list is
// fixed before the run starts; the watchers are not owned and must outlive
// it.
class RunWatchers : public RunWatcher {
 public:
  void add(RunWatcher& watcher) { watchers_.push_back(&watcher); }
  bool empty() const { return watchers_.empty(); }

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
  std::vector<RunWatcher*> watchers_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_RUN_WATCHER_H_
