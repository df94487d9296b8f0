#ifndef LODEMIG_MIGRATION_DAV_FOLDER_MIGRATION_H_
#define LODEMIG_MIGRATION_DAV_FOLDER_MIGRATION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dav/dav_client.h"
#include "dav/dav_export.h"
#include "dav/dav_item.h"
#include "migration/account_migration.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "migration/run_watcher.h"
#include "store/folder.h"
#include "store/mailbox.h"

namespace lodemig {

// Who an account's DAV session logs in as: its own name (user@domain), which
// the client turns into the login form's name when the run gives one, and
// the password: with a login form the run's -password, else the one the
// migration knows for the account (-forceSetPass, the store's clear
// password, -setPass). `error` says why there is none.
struct DavLogin {
  std::string user;
  std::string password;
  std::string error;
};
DavLogin davLoginOf(const MigrationSettings& settings, const std::string& account,
                    const std::string& storePassword);

// What the run does with one item, from the digest the journal records for
// its UID (`recorded`, "" for none), the item's own, and whether the
// collection lists its name.
enum class DavStep {
  Skip,     // the journal has it as it is now: not sent, not asked
  Match,    // the server has it and the journal does not know it: not sent
  Send,     // new: stored where nothing is
  Replace,  // changed since the journal's record: stored over what is there
};
DavStep davStepOf(const std::string& recorded, const std::string& digest, bool listed);

// The components a calendar collection is made for, by the store folder's
// type: events and tasks in a calendar, tasks, journal entries.
std::vector<std::string> davComponentsOf(FolderType type);

// The report's kind word of a DAV folder: "caldav" / "carddav", or for the
// export files alone "ics" / "vcf".
const char* davKindWord(DavKind kind, bool toServer);

// Carries the calendar, task, journal and contact folders of an account on a
// standard target to the DAV server and/or the export files: one client per
// account (made at its first such folder), one export per job. A message
// without valid data, and an item the server refuses, are reported and
// counted refused; a server that cannot be reached, or refuses the
// collection, fails the folder; the account goes on. The references must
// outlive the object; one account at a time.
class DavFolderMigration {
 public:
  DavFolderMigration(const MigrationSettings& settings, Reporter& reporter);
  ~DavFolderMigration();
  DavFolderMigration(const DavFolderMigration&) = delete;
  DavFolderMigration& operator=(const DavFolderMigration&) = delete;

  // Before the account's first folder: forgets the last account's session.
  void beginAccount(const Mailbox& mailbox);
  // Migrates `folder` into `tally`: its console lines, its report row in
  // `report`, its items recorded in `journal`. A folder an earlier try of
  // the same account finished is taken over without a word. Throws
  // QLInterruptedException when a stop signal comes.
  void migrate(Folder& folder, const Mailbox& mailbox, DavKind kind, FolderTally& tally,
               Journal& journal, RunReport& report, RunWatcher& watcher);

 private:
  struct Pass;
  // The account's session, made and logged in when first needed; throws
  // DavException, or QLStoreException when no password is known.
  DavClient& client(const Mailbox& mailbox);
  // Reads every message of the folder and stores its items.
  void walk(Folder& folder, const Mailbox& mailbox, Pass& pass);
  // One item of message `number`: to the export, then to the server unless
  // the journal or the listing says it is there.
  void storeItem(const DavItem& item, long number, Pass& pass);
  // Message `number`, or one of its items, not stored: said and counted.
  void noteRefused(long number, const std::string& why, Pass& pass);
  // The folder could not be migrated to its end.
  void noteFailure(const std::string& cause, Pass& pass);
  // The folder's figures line and its report row.
  void reportFolder(const Mailbox& mailbox, Pass& pass, RunReport& report);

  const MigrationSettings& settings_;
  Reporter& reporter_;
  std::string account_;
  std::unique_ptr<DavClient> client_;
  // Why the account's session cannot be had; "" while it may.
  std::string clientFailure_;
  std::unique_ptr<DavExport> export_;
  // The folders this account's tries finished, with their figures.
  std::map<std::string, FolderTally> done_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_DAV_FOLDER_MIGRATION_H_
