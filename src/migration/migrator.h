#ifndef LODEMIG_MIGRATION_MIGRATOR_H_
#define LODEMIG_MIGRATION_MIGRATOR_H_

#include <sstream>
#include <string>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/account_audit.h"
#include "migration/account_migration.h"
#include "migration/account_pool.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "store/mailbox.h"
#include "store/reader.h"

namespace lodemig {

// The migration engine's walk. It goes through the store domain by domain and
// account by account; in print mode it reports every account with its size,
// in migrate mode it also has each account migrated (AccountMigration) on
// its one gateway. It decides what a failure skips: a store error skips an
// account or a domain and fails the run; a target-server error
// (QLNetworkException) ends the whole run.
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

  // Writes every password line to the file at `path` as it is recorded.
  void writePasswordsTo(const std::string& path) { passwords_.writeTo(path); }
  // Records progress in `journal` and resumes from what it holds; `journal`
  // must outlive the Migrator.
  void useJournal(Journal& journal) {
    journal_ = &journal;
    account_.useJournal(&journal);
  }
  // Writes a row of `report` for every folder; `report` must outlive the
  // Migrator.
  void useReport(RunReport& report) {
    report_ = &report;
    account_.useReport(&report);
    audit_.useReport(report);
  }
  // The rows and totals of the run so far; without a report file, of a check
  // or a verification only.
  const RunTotals& totals() const {
    return rows() != nullptr ? rows()->totals() : auditReport_.totals();
  }
  // A check's closing figures.
  std::string checkSummary() const { return audit_.checkSummary(); }
  // Closes the password file at the end of the run.
  void closePasswordFile() { passwords_.close(); }

  // True until a failure is reported, by the engine or the driver, or the log
  // or the password file cannot be written.
  bool succeeded() const { return succeeded_ && !reporter_.logFailed() && !passwords_.broken(); }
  void markFailed() { succeeded_ = false; }
  // One line per provisioned account, as written to the password file.
  const std::string& passwordRecord() const { return passwords_.lines(); }

  // After this many accounts in a row whose connection was lost after every
  // retry, the target counts as down and the run stops.
  static constexpr int kLostAccountsInARow = 3;

 private:
  // In migrate mode a test connection first, then every account.
  void migrateDomain(Domain& domain);
  // The account's report line; in migrate mode the whole account.
  void migrateMailbox(Mailbox& mailbox);
  // Where the rows go: the report file, else for a verification the
  // counting one; nullptr for a migration without a report.
  RunReport* rows() const {
    return report_ != nullptr ? report_ : settings_.verify ? &auditReport_ : nullptr;
  }
  // A check or verification of the account.
  void auditMailbox(Mailbox& mailbox);
  // The " + mailbox" line that opens the account's report.
  static void printMailboxLine(Reporter& reporter, const Mailbox& mailbox);
  // The walk of a domain's accounts with more than one job: each account
  // goes to the pool, the walk's own lines through it.
  void walkPooled(Domain& domain, Mailbox& mailbox);
  // A worker's whole account, into its own reporter.
  JobOutcome migrateJob(Mailbox& mailbox, AccountPool::Worker& worker);
  // An ended account's outcome, under the pool's lock.
  void settle(const JobOutcome& outcome);
  // The accounts a run will visit, counted by a silent walk of the store.
  std::int64_t countAccounts() const;
  // The report row of an account the store cannot give.
  void reportUnreadable(const Domain& domain, const Mailbox& mailbox);
  // Opens the administrator's connection and closes it again.
  void testConnection();

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  Reporter& reporter_;
  bool succeeded_ = true;
  int lostInARow_ = 0;
  RunReport* report_ = nullptr;
  // The failing account's row is written: the walk must not write another.
  bool accountReported_ = false;
  PasswordRecord passwords_;
  ImapGateway gateway_;
  AccountMigration account_;
  // Without a report file, a check or verification still counts.
  mutable RunReport auditReport_;
  AccountAudit audit_;
  bool checkStarted_ = false;
  Journal* journal_ = nullptr;
  // With more than one job, during migrateAll(): the pool, and the walk's
  // lines held for it.
  AccountPool* pool_ = nullptr;
  std::ostringstream walkLog_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATOR_H_
