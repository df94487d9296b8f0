#ifndef LODEMIG_MIGRATION_MIGRATOR_H_
#define LODEMIG_MIGRATION_MIGRATOR_H_

#include <string>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/account_migration.h"
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
  void useJournal(Journal& journal) { account_.useJournal(&journal); }
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
  // Opens the administrator's connection and closes it again.
  void testConnection();

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  Reporter& reporter_;
  bool succeeded_ = true;
  int lostInARow_ = 0;
  PasswordRecord passwords_;
  ImapGateway gateway_;
  AccountMigration account_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATOR_H_
