#ifndef LODEMIG_MIGRATION_ACCOUNT_FOLDERS_H_
#define LODEMIG_MIGRATION_ACCOUNT_FOLDERS_H_

#include <string>
#include <vector>

#include "migration/reporter.h"
#include "migration/run_report.h"
#include "store/folder.h"
#include "store/mailbox.h"

namespace lodemig {

// The text every folder on disk that the account's folder list does not
// name is left out with, in the warning line and its report row.
extern const char kUnlistedFolder[];

// The folders a run takes of one account, and those it leaves out.
struct AccountFolders {
  // The folder list's, in its order; with migrateUnlisted then the folders
  // on disk it does not name, as mail folders.
  std::vector<Folder> folders;
  // The folders on disk the list does not name: left out, or with
  // migrateUnlisted taken into `folders`.
  std::vector<DiskFolder> unlisted;
  bool unlistedTaken = false;
};

// Reads the account's folder list and compares it with the folders on disk.
// With `migrateUnlisted` an info file that cannot be read gives an empty
// list, so that every folder comes from the disk; without, it throws
// QLStoreException as Mailbox::readFolders does.
AccountFolders readAccountFolders(const Mailbox& mailbox, bool migrateUnlisted);

// Says each unlisted folder on `reporter` (console and log): a "Warning:"
// line when it is left out, an "Info:" line when it is taken.
void sayUnlistedFolders(const AccountFolders& list, const Mailbox& mailbox, Reporter& reporter);

// The report row of a folder left out because the list does not name it.
ReportRow unlistedFolderRow(const Mailbox& mailbox, const DiskFolder& folder);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_FOLDERS_H_
