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
#include "migration/account_job.h"
#include "migration/account_migration.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "migration/run_watcher.h"
#include "migration/throttle.h"
#include "store/mailbox.h"

namespace lodemig {

// Migrates the accounts of a run, each with its own gateway and
// AccountMigration (a worker), and settles each ended account with the run's
// SkipPolicy. With one job the pool is a pool of one: each account runs at
// once on the walk's thread, its lines straight to the run's Reporter, as a
// walk of one account after another. With more, each worker has a thread
// and a connection of its own: the walk hands accounts in with submit() and
// waits with drain(); a free worker migrates each into its own Reporter,
// whose lines are held, and when the account ends writes the held lines
// whole to the run's Reporter and settles it.
//
// The workers share one Throttle: the run's limits on bytes and appends a
// second, and the server's requests to slow down, after which no further
// account starts while as many run as it allows at once.
//
// The workers share, besides the settings: the run's Reporter and the skip
// policy, used only under the pool's one lock (by the workers when an account
// ends, by the walk through output()); the password record, the journal and
// the report, which lock themselves. Everything else a worker touches is its
// own. Not copyable.
class AccountPool {
 public:
  // The parts a run's workers share; all must outlive the pool.
  struct Shared {
    const MigrationSettings& settings;
    const ConnectionSettings& connection;
    PasswordRecord& passwords;
    Journal* journal;   // nullptr: none
    RunReport* report;  // nullptr: no report
    SkipPolicy& policy;
    Reporter& out;  // the run's
    // The walk's own gateway, which a pool of one uses: its commands go on
    // from the tags of the walk's test connection.
    ImapGateway& gateway;
    RunWatcher* watcher = nullptr;  // nullptr: nobody follows the run
  };

  AccountPool(int jobs, const Shared& shared);
  // Stops taking accounts, lets the workers end the ones they have, and
  // joins them.
  ~AccountPool();
  AccountPool(const AccountPool&) = delete;
  AccountPool& operator=(const AccountPool&) = delete;

  // With one job, migrates the account now and settles it; what ends the run
  // leaves as thrown. With more, first stops on a stop signal, then queues
  // the account, waiting while every worker is busy and one account waits
  // already, and rethrows what ended the run, once something has.
  void submit(Mailbox& mailbox);
  // Waits until every account handed in has ended; rethrows like submit().
  void drain();
  // Runs `write` under the lock: the walk's own lines to the run's Reporter.
  void output(const std::function<void()>& write);

 private:
  // A worker's gateway, AccountMigration and the Reporter they write to: the
  // run's for a pool of one, else ones of its own (its lines held).
  struct Worker {
    Worker(const Shared& shared, bool own);
    std::ostringstream log;
    std::ostringstream console;
    std::unique_ptr<Reporter> ownReporter;
    std::unique_ptr<ImapGateway> ownGateway;
    Reporter& reporter;
    ImapGateway& gateway;
    AccountMigration account;
  };

  void run(Worker& worker);
  JobOutcome runJob(Worker& worker, Mailbox& mailbox);
  void finish(Worker& worker, const JobOutcome& outcome, std::exception_ptr fatal);
  // Waits on `changed_` until `done`, redrawing the run's progress line at
  // least every second meanwhile.
  void waitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
  void rethrowFatal();

  const std::size_t jobs_;
  const Shared shared_;
  Throttle throttle_;
  Reporter& out_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;  // guards everything below and the run's Reporter
  std::condition_variable changed_;
  std::deque<Mailbox> waiting_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::exception_ptr fatal_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_POOL_H_
