#ifndef LODEMIG_STORE_MAILBOX_H_
#define LODEMIG_STORE_MAILBOX_H_

#include <ostream>
#include <string>
#include <vector>

#include "store/folder.h"
#include "store/store_kind.h"

namespace lodemig {

// A folder found in an account's directory: its name as a folder list
// would give it ("Archive/2008") and its file or directory relative to the
// account path ("Archive.folder/2008.mbox"; "" for the account's own
// mailbox file or message directory).
struct DiskFolder {
  std::string name;
  std::string file;
};

// What readFolders does when the info file cannot be read.
enum class InfoFailure {
  Throw,  // logs an "Error:" line and throws QLStoreException
  Empty,  // leaves the list as it is: load() has warned already
};

// One account of the store, refilled in place by Domain::nextMailbox.
class Mailbox {
 public:
  explicit Mailbox(std::ostream* log) : log_(log) {}
  virtual ~Mailbox() = default;
  // Where the reader's lines about this account and its folders go from
  // now on; must outlive the mailbox and the folders it reads.
  void setLog(std::ostream* log) { log_ = log; }
  std::ostream* log() const { return log_; }

  // Builds the paths from the domain path and kind, reads the info file
  // (storageUsed, "unknown" when it cannot be parsed) and the settings file
  // (full name, clear password). Throws QLStoreException when the settings
  // file fails.
  void load(const std::string& name, const std::string& domainName, const std::string& domainPath,
            const std::string& baseName, StorageKind kind);
  // Appends one Folder per folder entry of the info file, in key order.
  // Throws QLStoreException when the info file fails, unless `onFailure`
  // says to warn.
  void readFolders(std::vector<Folder>& folders, InfoFailure onFailure = InfoFailure::Throw) const;
  // The folders the account's files hold, by name in byte order: for an
  // account directory its ".mbox" files and ".mdir" directories, for a
  // message directory its ".mdir" directories and the INBOX when it holds a
  // file, for a mailbox file its INBOX alone (its other folders' files lie
  // among the other accounts'). Subfolders are looked for in ".folder"
  // directories, at most kMaxFolderDepth levels deep. Logs nothing.
  std::vector<DiskFolder> diskFolders() const;
  // A mail folder ("IPF.Note") for a folder found on disk, its message count
  // counted by reading it. Its messages are read as those of a listed folder.
  Folder mailFolder(const DiskFolder& found) const;
  static constexpr int kMaxFolderDepth = 32;

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  const std::string& domainName() const { return domainName_; }
  const std::string& fullName() const { return fullName_; }
  const std::string& password() const { return password_; }
  const std::string& storageUsed() const { return storageUsed_; }
  const std::string& infoPath() const { return infoPath_; }
  const std::string& settingsPath() const { return settingsPath_; }
  StorageKind kind() const { return kind_; }

 private:
  std::string path_;
  std::string name_;
  std::string domainName_;
  std::string fullName_;
  std::string password_;
  std::string storageUsed_;
  std::string infoPath_;
  std::string settingsPath_;
  StorageKind kind_ = NoStorage;
  std::ostream* log_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_MAILBOX_H_
