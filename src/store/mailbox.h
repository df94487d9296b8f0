#ifndef LODEMIG_STORE_MAILBOX_H_
#define LODEMIG_STORE_MAILBOX_H_

#include <ostream>
#include <string>
#include <vector>

#include "store/folder.h"
#include "store/store_kind.h"

namespace lodemig {

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
  // Throws QLStoreException when the info file fails.
  void readFolders(std::vector<Folder>& folders) const;

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
