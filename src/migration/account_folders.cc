#include "migration/account_folders.h"

#include <set>

namespace lodemig {

const char kUnlistedFolder[] = "not in the account's folder list: not migrated";

namespace {

// "folder "Privat" of <ann@example.com> (Privat.mbox)": the name a run
// would give it, and where it lies, for the admin to look at.
std::string folderWords(const Mailbox& mailbox, const DiskFolder& folder) {
  const std::string file = folder.file.empty() ? mailbox.path() : folder.file;
  return "folder \"" + folder.name + "\" of <" + mailbox.name() + "@" + mailbox.domainName() +
         "> (" + file + ")";
}

}  // namespace

AccountFolders readAccountFolders(const Mailbox& mailbox, bool migrateUnlisted) {
  AccountFolders result;
  result.unlistedTaken = migrateUnlisted;
  mailbox.readFolders(result.folders, migrateUnlisted ? InfoFailure::Empty : InfoFailure::Throw);
  std::set<std::string> listed;
  for (const Folder& folder : result.folders) {
    listed.insert(folder.name());
  }
  for (const DiskFolder& found : mailbox.diskFolders()) {
    if (listed.count(found.name) != 0) {
      continue;
    }
    result.unlisted.push_back(found);
    if (migrateUnlisted) {
      result.folders.push_back(mailbox.mailFolder(found));
    }
  }
  return result;
}

void sayUnlistedFolders(const AccountFolders& list, const Mailbox& mailbox, Reporter& reporter) {
  for (const DiskFolder& found : list.unlisted) {
    reporter.print(list.unlistedTaken
                       ? "Info: " + folderWords(mailbox, found) +
                             ": not in the account's folder list, migrated as a mail folder\n"
                       : "Warning: " + folderWords(mailbox, found) + ": " + kUnlistedFolder + "\n");
  }
}

ReportRow unlistedFolderRow(const Mailbox& mailbox, const DiskFolder& folder) {
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = mailbox.name() + "@" + mailbox.domainName();
  row.folder = folder.name;
  row.verdict = Verdict::Skipped;
  row.error = kUnlistedFolder;
  return row;
}

}  // namespace lodemig
