#ifndef LODEMIG_MIGRATION_ACCOUNT_POOL_H_
#define LODEMIG_MIGRATION_ACCOUNT_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/account_migration.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "store/mailbox.h"

namespace lodemig {

// What became of one account a worker migrated.
struct JobOutcome {
  bool failed = false;  // reported failed; the run fails
  bool ran = false;     // the migration ran to its end, failed or not
  bool lost = false;    // its connection was lost after every retry
  std::string lostWhat;
  std::int64_t messages = 0;  // messages the target accepted
  std::uint64_t bytes = 0;
  std::exception_ptr fatal;  // what ends the run
};

// Migrates several accounts at the same time, each on its own connection
// and thread. The walk hands accounts in with submit() and waits with
// drain(); a free worker migrates each on its own gateway and
// AccountMigration, into its own Reporter whose lines are held, and when the
// account ends writes the held lines whole to the run's Reporter.
//
// The workers share, besides the settings: the run's Reporter, written only
// under the pool's one lock (by the workers when an account ends, by the
// walk through output()); the password record, the journal and the report,
// which lock themselves; and the `settle` callback, called under the lock.
// Everything else a worker touches is its own.
class AccountPool {
 public:
  struct Worker {
    Worker(const MigrationSettings& settings, const ConnectionSettings& connection,
           PasswordRecord& passwords);
    std::ostringstream log;
    std::ostringstream console;
    Reporter reporter;
    ImapGateway gateway;
    AccountMigration account;
  };
  // Migrates `mailbox` with the worker's parts; runs without the lock. What
  // it throws ends the run.
  using Work = std::function<JobOutcome(Mailbox& mailbox, Worker& worker)>;
  // Takes an ended account's outcome into the run's; runs under the lock.
  // What it throws ends the run.
  using Settle = std::function<void(const JobOutcome& outcome)>;
  // Called once for every worker before it starts, to hand its
  // AccountMigration the run's journal and report.
  using SetUp = std::function<void(AccountMigration& account)>;

  AccountPool(int jobs, const MigrationSettings& settings, const ConnectionSettings& connection,
              PasswordRecord& passwords, Reporter& out, const SetUp& setUp, Work work,
              Settle settle);
  // Stops taking accounts, lets the workers end the ones they have, and
  // joins them.
  ~AccountPool();
  AccountPool(const AccountPool&) = delete;
  AccountPool& operator=(const AccountPool&) = delete;

  // Queues the account, waiting while every worker is busy and one account
  // waits already. Rethrows what ended the run, once something has.
  void submit(const Mailbox& mailbox);
  // Waits until every account handed in has ended; rethrows like submit().
  void drain();
  // Runs `write` under the lock, with the status line erased first: the
  // walk's own lines to the run's Reporter.
  void output(const std::function<void()>& write);

  // A status line on the console: accounts done of `total`, messages, MB,
  // rate and time left, redrawn as accounts end and at least every second.
  void showStatus(std::int64_t total);

 private:
  void run(Worker& worker);
  void finish(Worker& worker, JobOutcome& outcome);
  // Waits on `changed_` until `done`, redrawing the status line meanwhile.
  void waitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
  void rethrowFatal();
  void drawStatus(bool force);
  void eraseStatus();

  const std::size_t jobs_;
  Reporter& out_;
  Work work_;
  Settle settle_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;  // guards everything below and the run's Reporter
  std::condition_variable changed_;
  std::deque<Mailbox> waiting_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::exception_ptr fatal_;

  bool status_ = false;
  std::int64_t total_ = 0;
  std::int64_t done_ = 0;
  std::int64_t messages_ = 0;
  std::uint64_t bytes_ = 0;
  std::size_t statusLength_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_POOL_H_
