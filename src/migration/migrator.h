#ifndef LODEMIG_MIGRATION_MIGRATOR_H_
#define LODEMIG_MIGRATION_MIGRATOR_H_

#include <functional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/account_audit.h"
#include "migration/account_job.h"
#include "migration/account_migration.h"
#include "migration/account_pool.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/progress_line.h"
#include "migration/reporter.h"
#include "migration/run_watcher.h"
#include "store/mailbox.h"
#include "store/reader.h"

namespace lodemig {

// The migration engine's walk. It goes through the store domain by domain and
// account by account; in print mode it reports every account with its size,
// in migrate mode it hands each account to its AccountPool (one job: the
// walk's own thread), whose ended accounts the run's SkipPolicy settles. A
// store error skips an account or a domain and fails the run; a
// target-server error (QLNetworkException) ends the whole run.
//
// `settings`, `connection` and `reporter` are not owned and must outlive the
// Migrator. Not copyable.
class Migrator {
 public:
  Migrator(const MigrationSettings& settings, const ConnectionSettings& connection,
           Reporter& reporter);
  Migrator(const Migrator&) = delete;
  Migrator& operator=(const Migrator&) = delete;

  // Every domain matching the settings' domain mask, and in each every account
  // matching the user mask; the store's default domain is named after the
  // primary domain. Throws QLNetworkException when the target fails (the run
  // ends).
  void migrateAll();

  // What a migration has before it: the accounts of the masks and shard, with
  // the messages and bytes their info files give (an account's storage
  // figure, else the sum of its folders' sizes), counted by a silent walk of
  // the store that opens no message file; -1 for a total the store cannot
  // give. Each account's figures also go to the progress line.
  RunPlan planRun();

  // Writes every password line to the file at `path` as it is recorded.
  void writePasswordsTo(const std::string& path) { passwords_.writeTo(path); }
  // Records progress in `journal` and resumes from what it holds; `journal`
  // must outlive the Migrator.
  void useJournal(Journal& journal) {
    journal_ = &journal;
    audit_.useJournal(&journal);
  }
  // Writes a row of `report` for every folder; `report` must outlive the
  // Migrator.
  void useReport(RunReport& report) {
    report_ = &report;
    report.watch(watcher_);
    audit_.useReport(report);
  }
  // Tells `watcher` what the run does as it happens (see RunWatcher);
  // `watcher` must outlive the Migrator.
  void useWatcher(RunWatcher& watcher) {
    watcher_ = &watcher;
    auditReport_.watch(&watcher);
    if (report_ != nullptr) {
      report_->watch(&watcher);
    }
  }
  // The rows and totals of the run so far; without a report file, of a check
  // or a verification only.
  const RunTotals& totals() const {
    return rows() != nullptr ? rows()->totals() : auditReport_.totals();
  }
  // The accounts the run is to visit, user@domain, in the walk's order: those
  // of the masks (or of the users file) and the shard, whether the walk
  // reached them or not. Reads the store again.
  std::vector<std::string> selectedAccounts() const;
  // A check's closing figures.
  std::string checkSummary() const { return audit_.checkSummary(); }
  // Closes the password file at the end of the run.
  void closePasswordFile() { passwords_.close(); }

  // True until a failure is reported, by the engine or the driver, or the log
  // or the password file cannot be written.
  bool succeeded() const { return !needsFix() && !failedMayPass_ && !policy_.anyFailed(); }
  // Whether a failure that needs fixing before the run is repeated was
  // reported: any failure but a target that could not be reached or dropped
  // its connections (markFailedMayPass(), or accounts lost after every retry).
  bool needsFix() const {
    return !succeeded_ || policy_.fixNeeded() || reporter_.logFailed() || passwords_.broken();
  }
  void markFailed() { succeeded_ = false; }
  // The run failed for a reason that may pass by itself: the same run
  // started again later may get through.
  void markFailedMayPass() { failedMayPass_ = true; }
  // The password file, to say why it failed the run.
  const PasswordRecord& passwords() const { return passwords_; }
  // One line per provisioned account, as written to the password file.
  const std::string& passwordRecord() const { return passwords_.lines(); }

 private:
  // In migrate mode a test connection first, then every account.
  void migrateDomain(Domain& domain);
  // The account's report line; in a check or verification the account's
  // audit. A migration hands its accounts to the pool instead.
  void migrateMailbox(Mailbox& mailbox);
  // Where the rows go: the report file, else for a verification the
  // counting one; nullptr for a migration without a report.
  RunReport* rows() const {
    return report_ != nullptr ? report_ : settings_.verify ? &auditReport_ : nullptr;
  }
  // A check or verification of the account.
  void auditMailbox(Mailbox& mailbox);
  // The walk of a domain's accounts in a migration: each account goes to
  // the pool, the walk's own lines through it.
  void walkPooled(Domain& domain, Mailbox& mailbox);
  // Whether the run takes `account` (user@domain): of the shard, and of the
  // users file when there is one.
  bool selected(const std::string& account) const;
  // selected(), and the walk has met a listed account.
  bool meet(const std::string& account);
  // A silent walk of the store that visits every account selected() with
  // its mailbox.
  void walkSelected(const std::function<void(const std::string&, Mailbox&)>& visit) const;
  // Visits every account selected(): those of the users file, else those of
  // a silent walk of the store.
  void forEachSelected(const std::function<void(const std::string&)>& visit) const;
  // After the walk: every account of the users file (and the shard) it did
  // not meet fails, with an error line and a report row.
  void reportUnlisted();
  // Tells the watcher an account failed that never started.
  void endFailedAccount(const std::string& account, const std::string& error);
  // The report row of an account the store cannot give.
  void reportUnreadable(const Domain& domain, const Mailbox& mailbox);
  // Opens the administrator's connection and closes it again.
  void testConnection();
  // Once a run: whether the DAV server it names answers.
  void testDavConnection();
  // After a walk that ended normally: a warning when no account matched the
  // masks, or when a migration declined every account it met.
  void warnIfNothingDone();

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  Reporter& reporter_;
  bool succeeded_ = true;
  bool failedMayPass_ = false;
  SkipPolicy policy_;
  RunReport* report_ = nullptr;
  PasswordRecord passwords_;
  // The test connection's and the audit's.
  ImapGateway gateway_;
  // Without a report file, a check or verification still counts.
  mutable RunReport auditReport_;
  AccountAudit audit_;
  bool checkStarted_ = false;
  bool davTested_ = false;
  // Accounts of the masks and shard the walk met, readable or not.
  std::int64_t accountsSeen_ = 0;
  // The accounts of the users file the walk met, in lower case.
  std::unordered_set<std::string> met_;
  Journal* journal_ = nullptr;
  RunWatcher* watcher_ = nullptr;
  // The progress line of a migration on a terminal.
  RunProgress progress_;
  // During a migration's migrateAll(): the pool, and the walk's lines held
  // for it.
  AccountPool* pool_ = nullptr;
  std::ostringstream walkLog_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATOR_H_
