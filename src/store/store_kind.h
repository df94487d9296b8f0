#ifndef LODEMIG_STORE_STORE_KIND_H_
#define LODEMIG_STORE_STORE_KIND_H_

namespace lodemig {

// How an account or folder is stored.
enum StorageKind : int {
  AccountDirectory = 0,  // "<name>.macnt"
  MailboxFile = 1,       // "<name>.mbox"
  MessageDirectory = 2,  // "<name>.mdir"
  NoStorage = 3,
};

// The folder type handed to the target's folder creation.
using FolderType = int;
constexpr FolderType kFolderTypeNone = 0;
constexpr FolderType kFolderTypeContacts = 1;
constexpr FolderType kFolderTypeCalendar = 2;
constexpr FolderType kFolderTypeTasks = 3;
constexpr FolderType kFolderTypeJournal = 4;
constexpr FolderType kFolderTypeMail = 5;

}  // namespace lodemig

#endif  // LODEMIG_STORE_STORE_KIND_H_
