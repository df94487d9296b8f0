#ifndef LODEMIG_MIGRATION_MIGRATION_SETTINGS_H_
#define LODEMIG_MIGRATION_MIGRATION_SETTINGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dav/dav_client.h"
#include "migration/account_list.h"
#include "migration/folder_roles.h"

namespace lodemig {

// What a run does with the store, as the command line asked for it.
struct MigrationSettings {
  std::string storePath;
  // Print the store only (false) or also copy it to the target (true).
  bool migrate = false;
  // Also migrate accounts that already exist on the target.
  bool force = false;
  // For new accounts without a clear-text password in the store
  // (setPassword), or for every new account (forceSetPassword); empty: none.
  std::string setPassword;
  std::string forceSetPassword;
  // Shell-style masks of the domains and accounts to walk.
  std::string domainMask = "*";
  std::string userMask = "*";
  // The name of the store's default domain.
  std::string primaryDomain;
  bool quiet = false;
  // Send message line ends as CR LF (true) or exactly as stored.
  bool fixCrLf = true;
  // The journal of a migration run; empty: none.
  std::string journalPath;
  bool retarget = false;  // -retarget: the journal's target may be named differently
  // A pass that brings the target up to what the store holds now: every
  // folder is walked again, new messages sent, changed flags set, and with
  // `expunge` what the store no longer holds removed from the target.
  bool delta = false;
  bool expunge = false;
  // The source may change while it is read: what changed is left for the
  // next pass instead of failing its folder.
  bool live = false;
  // New connections tried after a lost one, per account; 0: a lost
  // connection ends the run.
  int retries = 0;
  // The CSV report of a migration, check or verification; empty: none.
  std::string reportPath;
  // Runs of their own that read the target and write nothing to it: a
  // pre-flight check, and an audit of a finished migration.
  bool check = false;
  bool verify = false;
  // Accounts migrated at the same time, each on its own connection (1 to 32).
  int jobs = 1;
  // Only the accounts of shard `shard` of `shards`; shards 0: every account.
  int shard = 0;
  int shards = 0;
  // A users file (-usersFile) selects the accounts instead of the masks: only
  // those of `users` (of the shard), and those the store lacks fail. The run
  // reads the file into `users` before it starts.
  std::string usersFilePath;
  AccountList users;
  // The target is a standard IMAP server: no private extension is used, no
  // account is created, and folders without mail are skipped unless
  // `createNonMailFolders`.
  bool standardTarget = false;
  bool createNonMailFolders = false;
  // Store folder name TAB target folder name lines; empty: none. The run
  // reads them into `folderMap` before it starts.
  std::string folderMapPath;
  std::vector<FolderMapping> folderMap;
  // Folders on disk that an account's folder list does not name are
  // migrated as mail folders (true) or left out with a warning.
  bool migrateUnlisted = false;
  // -primaryDomain was given; else primaryDomain is this machine's name.
  bool primaryDomainGiven = false;
  // Bytes and appends a second over the whole run, all jobs together; 0:
  // no limit.
  std::uint64_t maxBytesPerSecond = 0;
  std::uint64_t maxMessagesPerSecond = 0;
  // The first pause after the server asks the run to slow down.
  int backOffUnitMs = 1000;
  // Calendars and contacts on a standard target: the DAV server they go to
  // (dav.url empty: none), and the directory their files are written to
  // (empty: none). With either, those folders are no longer skipped.
  DavSettings dav;
  std::string davExportPath;
  bool davOn() const { return standardTarget && (!dav.url.empty() || !davExportPath.empty()); }
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATION_SETTINGS_H_
