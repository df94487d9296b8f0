#include "migration/journal.h"

#include "utils/directory.h"
#include "utils/ql_exception.h"

namespace lodemig {

std::string Journal::folderName(const std::string& account, const std::string& folder) {
  return account + '\t' + folder;
}

std::string Journal::open(const std::string& path, const std::string& storePath,
                          const std::string& target, bool retarget) {
  std::string refusal = db_.open(path, storePath, target, retarget);
  hasFile_ = refusal.empty();
  return refusal;
}

std::string Journal::openToRead(const std::string& path, const std::string& storePath) {
  std::string refusal = db_.openToRead(path, storePath);
  hasFile_ = refusal.empty();
  return refusal;
}

bool Journal::accountDone(const std::string& account) const {
  if (hasFile_) {
    return db_.accountDone(account);
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  return doneAccounts_.count(account) != 0;
}

std::string Journal::passwordFileOf(const std::string& account) const {
  if (hasFile_) {
    return db_.passwordFileOf(account);
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  auto found = ownAccounts_.find(account);
  return found == ownAccounts_.end() ? std::string() : found->second;
}

bool Journal::creationUnconfirmed(const std::string& account, std::string& password,
                                  bool& generated) const {
  // Without a file the run that asked is this one, and it knows the answer.
  return hasFile_ && db_.creationUnconfirmed(account, password, generated);
}

bool Journal::folderDone(const std::string& account, const std::string& folder) const {
  if (hasFile_) {
    return db_.folderDone(account, folder);
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  return doneFolders_.count(folderName(account, folder)) != 0;
}

void Journal::creating(Reporter& reporter, const std::string& account,
                       const std::string& passwordFile, const std::string& password,
                       bool generated) {
  if (hasFile_) {
    db_.creating(account, passwordFile, password, generated);
    check(reporter);
  }
}

void Journal::account(Reporter& reporter, const std::string& account, Settled settled,
                      const std::string& passwordFile) {
  if (hasFile_) {
    db_.account(account, settled, passwordFile);
    check(reporter);
    return;
  }
  if (!remembers_) {
    return;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  // A declined account is not the run's.
  if (settled == Settled::Declined) {
    ownAccounts_.erase(account);
  } else {
    ownAccounts_[account] = ostrel::utils::absolutePath(passwordFile);
  }
}

void Journal::endAccount(Reporter& reporter, const std::string& account) {
  if (hasFile_) {
    db_.endAccount(account);
    check(reporter);
  } else if (remembers_) {
    const std::lock_guard<std::mutex> lock(mutex_);
    doneAccounts_.insert(account);
  }
}

JournalDbFolder Journal::beginFolder(const std::string& account, const std::string& folder) {
  // The database holds this run's records as well as the earlier runs':
  // nothing is kept twice in memory.
  return db_.beginFolder(account, folder, false);
}

void Journal::folderStart(Reporter& reporter, JournalDbFolder& folder,
                          const std::string& targetName, std::int64_t uidValidity,
                          std::int64_t uidNext, std::int64_t countBefore) {
  db_.folderStart(folder, targetName, uidValidity, uidNext, countBefore);
  check(reporter);
}

void Journal::folderUids(Reporter& reporter, JournalDbFolder& folder, std::int64_t uidValidity,
                         std::int64_t uidNext) {
  db_.folderUids(folder, uidValidity, uidNext);
  check(reporter);
}

void Journal::message(Reporter& reporter, JournalDbFolder& folder, const JournalMessage& message) {
  if (!message.stored) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++refused_[folderName(folder.account(), folder.folder()) + '\t' + message.identity];
  }
  if (hasFile_) {
    db_.message(folder, message);
    check(reporter);
  }
}

int Journal::refusedInRun(const std::string& account, const std::string& folder,
                          const std::string& identity) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (refused_.empty()) {
    return 0;
  }
  auto found = refused_.find(folderName(account, folder) + '\t' + identity);
  return found == refused_.end() ? 0 : found->second;
}

bool Journal::anyRefusedInRun(const std::string& account, const std::string& folder) const {
  const std::string prefix = folderName(account, folder) + '\t';
  const std::lock_guard<std::mutex> lock(mutex_);
  auto next = refused_.lower_bound(prefix);
  return next != refused_.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

void Journal::davItem(Reporter& reporter, const std::string& account, const std::string& folder,
                      const std::string& uid, const std::string& name, const std::string& digest) {
  if (hasFile_) {
    db_.davItem(account, folder, uid, name, digest);
    check(reporter);
  }
}

void Journal::endFolder(Reporter& reporter, JournalDbFolder& folder) {
  if (hasFile_) {
    db_.endFolder(folder);
    check(reporter);
  } else if (remembers_) {
    const std::lock_guard<std::mutex> lock(mutex_);
    doneFolders_.insert(folderName(folder.account(), folder.folder()));
  }
}

void Journal::folderSource(Reporter& reporter, JournalDbFolder& folder, std::int64_t size,
                           std::int64_t mtime) {
  if (hasFile_) {
    db_.folderSource(folder, size, mtime);
    check(reporter);
  }
}

void Journal::setFlags(Reporter& reporter, const JournalDbFolder& folder, std::int64_t id,
                       const std::string& flags) {
  if (hasFile_) {
    db_.setFlags(folder, id, flags);
    check(reporter);
  }
}

void Journal::forget(Reporter& reporter, const JournalDbFolder& folder, std::int64_t id) {
  if (hasFile_) {
    db_.forget(folder, id);
    check(reporter);
  }
}

std::vector<std::string> Journal::accountFolders(Reporter& reporter, const std::string& account) {
  if (!hasFile_) {
    return {};
  }
  std::vector<std::string> names = db_.accountFolders(account);
  check(reporter);
  return names;
}

void Journal::check(Reporter& reporter) const {
  if (db_.failed()) {
    reporter.log("Error: " + db_.failureText() + "\n");
    throw QLNetworkException(db_.failureText());
  }
}

}  // namespace lodemig
