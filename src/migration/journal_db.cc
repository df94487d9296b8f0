#include "migration/journal_db.h"

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "migration/journal_db_statements.h"
#include "utils/directory.h"

namespace lodemig {
namespace {

using journal_db::Statement;

// Stored records committed together: one disk sync for this many messages.
// Lost to a kill, they are found again on the target by their identity.
constexpr int kBatch = 1024;

}  // namespace

int JournalDbFolder::storedTimes(const std::string& identity) const {
  auto found = times_.find(identity);
  return found == times_.end() ? 0 : found->second.stored;
}

int JournalDbFolder::refusedTimes(const std::string& identity) const {
  auto found = times_.find(identity);
  return found == times_.end() ? 0 : found->second.refused;
}

void JournalDbFolder::add(const JournalMessage& message) {
  Times& times = times_[message.identity];
  if (message.stored && times.refused > 0) {
    --times.refused;
    for (JournalMessage& earlier : messages_) {
      if (!earlier.stored && earlier.identity == message.identity) {
        earlier = message;
        break;
      }
    }
  } else {
    messages_.push_back(message);
  }
  ++(message.stored ? times.stored : times.refused);
  if (message.stored) {
    ++storedCount_;
  }
}

JournalDatabase::JournalDatabase() = default;

JournalDatabase::~JournalDatabase() {
  close();
}
void JournalDatabase::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
}

void JournalDatabase::closeLocked() {
  if (db_ != nullptr) {
    commitLocked();
    statements_.reset();
    sqlite3_close(db_);
    db_ = nullptr;
  }
  inTransaction_ = false;
  readOnly_ = false;
  batched_ = 0;
  if (lockFd_ >= 0) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

bool JournalDatabase::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    fail(message != nullptr ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    return false;
  }
  return true;
}

void JournalDatabase::fail(const std::string& reason) {
  if (failure_.empty()) {
    failure_ = reason;
  }
}

bool JournalDatabase::inBatch() {
  if (db_ == nullptr || statements_ == nullptr || !failure_.empty() || readOnly_) {
    return false;
  }
  if (!inTransaction_) {
    inTransaction_ = execute("BEGIN IMMEDIATE");
  }
  return inTransaction_;
}

void JournalDatabase::commitLocked() {
  if (inTransaction_) {
    inTransaction_ = false;
    batched_ = 0;
    if (!execute("COMMIT")) {
      (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
}

void JournalDatabase::commit() {
  const std::lock_guard<std::mutex> lock(mutex_);
  commitLocked();
}

std::string JournalDatabase::meta(const char* key) {
  Statement read(db_, "SELECT value FROM meta WHERE key = ?");
  return read.ok() && read.use().text(1, key).step() == SQLITE_ROW ? read.textAt(0) : std::string();
}

bool JournalDatabase::failed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return !failure_.empty();
}

std::string JournalDatabase::failureText() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return "cannot write journal " + path_ + ": " + failure_;
}

bool JournalDatabase::accountDone(const std::string& account) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (statements_ == nullptr) {
    return false;
  }
  Statement& row = statements_->accountRow.use().text(1, account);
  return row.step() == SQLITE_ROW && row.textAt(0) == "done";
}

std::string JournalDatabase::passwordFileOf(const std::string& account) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (statements_ == nullptr) {
    return std::string();
  }
  Statement& row = statements_->accountRow.use().text(1, account);
  return row.step() == SQLITE_ROW ? row.textAt(1) : std::string();
}

bool JournalDatabase::creationUnconfirmed(const std::string& account, std::string& password,
                                          bool& generated) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (statements_ == nullptr) {
    return false;
  }
  Statement& row = statements_->accountRow.use().text(1, account);
  if (row.step() != SQLITE_ROW || row.textAt(0) != "creating") {
    return false;
  }
  password = row.textAt(2);
  generated = row.numberAt(3) == 1;
  return true;
}

bool JournalDatabase::folderDone(const std::string& account, const std::string& folder) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (statements_ == nullptr) {
    return false;
  }
  Statement& row = statements_->folderRow.use().text(1, account).text(2, folder);
  return row.step() == SQLITE_ROW && row.textAt(5) == "done";
}

bool JournalDatabase::sourceUnchanged(const std::string& account, const std::string& folder,
                                      std::int64_t size, std::int64_t mtime, std::int64_t& stored,
                                      std::string& targetName) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (statements_ == nullptr || size < 0) {
    return false;
  }
  Statement& row = statements_->folderRow.use().text(1, account).text(2, folder);
  if (row.step() != SQLITE_ROW || row.textAt(5) != "done" || row.numberAt(6) != size ||
      row.numberAt(7) != mtime) {
    return false;
  }
  const std::int64_t id = row.numberAt(0);
  targetName = row.textAt(1);
  Statement& count = statements_->storedCount.use().number(1, id);
  stored = count.step() == SQLITE_ROW ? count.numberAt(0) : 0;
  return true;
}

void JournalDatabase::creating(const std::string& account, const std::string& passwordFile,
                               const std::string& password, bool generated) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!inBatch()) {
    return;
  }
  const std::string file = ostrel::utils::absolutePath(passwordFile);
  if (statements_->setAccount.use()
          .text(1, account)
          .text(2, "creating")
          .text(3, file)
          .text(4, password)
          .number(5, generated ? 1 : 0)
          .step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  // Before the account is asked for: a run that dies next still knows the
  // account as its own, and its password.
  commitLocked();
}

void JournalDatabase::account(const std::string& account, Settled settled,
                              const std::string& passwordFile) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!inBatch()) {
    return;
  }
  // A declined account is not the run's: it names no password file.
  const std::string file =
      settled == Settled::Declined ? std::string() : ostrel::utils::absolutePath(passwordFile);
  Statement& set = statements_->setAccount.use()
                       .text(1, account)
                       .text(2, settled == Settled::Created    ? "created"
                                : settled == Settled::Switched ? "switched"
                                                               : "declined");
  if (!file.empty()) {
    set.text(3, file);
  }
  if (set.step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  // Lost, a created or switched record leaves "creating", from which a later
  // run finds the account its own again; a declined one must not pass for
  // that.
  if (settled == Settled::Declined) {
    commitLocked();
  }
}

void JournalDatabase::endAccount(const std::string& account) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (inBatch() && statements_->accountDone.use().text(1, account).step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
}

JournalDbFolder JournalDatabase::beginFolder(const std::string& account, const std::string& folder,
                                             bool keepMessages) {
  const std::lock_guard<std::mutex> lock(mutex_);
  JournalDbFolder begun;
  begun.account_ = account;
  begun.folder_ = folder;
  begun.keepMessages_ = keepMessages;
  if (readOnly_ && statements_ != nullptr) {
    Statement& row = statements_->folderRow.use().text(1, account).text(2, folder);
    if (row.step() == SQLITE_ROW) {
      readFolderRow(row, begun);
    }
    return begun;
  }
  if (!inBatch()) {
    return begun;
  }
  if (statements_->addFolder.use().text(1, account).text(2, folder).step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
    return begun;
  }
  Statement& row = statements_->folderRow.use().text(1, account).text(2, folder);
  if (row.step() != SQLITE_ROW) {
    fail(sqlite3_errmsg(db_));
    return begun;
  }
  readFolderRow(row, begun);
  return begun;
}

void JournalDatabase::readFolderRow(Statement& row, JournalDbFolder& begun) {
  begun.id_ = row.numberAt(0);
  begun.targetName_ = row.textAt(1);
  begun.uidValidity_ = row.numberAt(2);
  begun.uidNext_ = row.numberAt(3);
  begun.countBefore_ = row.numberAt(4);
  begun.sourceSize_ = row.numberAt(6);
  begun.sourceMtime_ = row.numberAt(7);
  loadMessages(begun);
}

void JournalDatabase::loadMessages(JournalDbFolder& folder) {
  Statement& rows = statements_->folderMessages.use().number(1, folder.id_);
  int step = SQLITE_ROW;
  // Bounded by the folder's rows.
  while ((step = rows.step()) == SQLITE_ROW) {
    folder.add({rows.textAt(0), rows.numberAt(1), rows.textAt(2), rows.numberAt(3),
                rows.textAt(4) == "stored", rows.numberAt(5)});
  }
  if (step != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
}

void JournalDatabase::folderStart(JournalDbFolder& folder, const std::string& targetName,
                                  std::int64_t uidValidity, std::int64_t uidNext,
                                  std::int64_t countBefore) {
  const std::lock_guard<std::mutex> lock(mutex_);
  folder.targetName_ = targetName;
  folder.uidValidity_ = uidValidity;
  folder.uidNext_ = uidNext;
  folder.countBefore_ = countBefore;
  if (folder.id_ == 0 || !inBatch()) {
    return;
  }
  if (statements_->startFolder.use()
          .text(1, targetName)
          .number(2, uidValidity)
          .number(3, uidNext)
          .number(4, countBefore)
          .number(5, folder.id_)
          .step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  // A folder that held messages before the first append must be known so
  // before that append: it is what tells a later run which messages are
  // ours. One that held none is listed whole by a run that finds no record
  // of it, which comes to the same: the record waits in the batch.
  if (countBefore > 0) {
    commitLocked();
  }
}

void JournalDatabase::folderUids(JournalDbFolder& folder, std::int64_t uidValidity,
                                 std::int64_t uidNext) {
  const std::lock_guard<std::mutex> lock(mutex_);
  folder.uidValidity_ = uidValidity;
  folder.uidNext_ = uidNext;
  if (folder.id_ != 0 && inBatch() &&
      statements_->folderUids.use()
              .number(1, uidValidity)
              .number(2, uidNext)
              .number(3, folder.id_)
              .step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
}

void JournalDatabase::message(JournalDbFolder& folder, const JournalMessage& message) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const bool replacesRefusal = message.stored && folder.refusedTimes(message.identity) > 0;
  // Refusals are kept always (they are few): a later stored record of the
  // same message must find them.
  if (folder.keepMessages_ || !message.stored || replacesRefusal) {
    folder.add(message);
  } else {
    ++folder.storedCount_;
  }
  if (folder.id_ == 0 || !inBatch()) {
    return;
  }
  Statement& write = replacesRefusal ? statements_->unrefuse.use()
                                           .number(1, message.size)
                                           .text(2, message.flags)
                                           .number(3, message.targetUid)
                                           .number(4, folder.id_)
                                           .text(5, message.identity)
                                     : statements_->addMessage.use()
                                           .number(1, folder.id_)
                                           .text(2, message.identity)
                                           .number(3, message.size)
                                           .text(4, message.flags)
                                           .number(5, message.targetUid)
                                           .text(6, message.stored ? "stored" : "refused");
  if (write.step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  // A refusal is no arrival: a later run must not send the message again, nor
  // take it for one the target holds.
  if (!message.stored || ++batched_ >= kBatch) {
    commitLocked();
  }
}

void JournalDatabase::endFolder(JournalDbFolder& folder) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Lost to a kill, only the folder is looked at again: it waits in the batch.
  if (folder.id_ != 0 && inBatch() &&
      statements_->endFolder.use().number(1, folder.id_).step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  folder.messages_.clear();
  folder.messages_.shrink_to_fit();
  folder.times_.clear();
  folder.id_ = 0;
}

void JournalDatabase::folderSource(JournalDbFolder& folder, std::int64_t size, std::int64_t mtime) {
  const std::lock_guard<std::mutex> lock(mutex_);
  folder.sourceSize_ = size;
  folder.sourceMtime_ = mtime;
  if (folder.id_ != 0 && inBatch()) {
    batchWrite(
        statements_->folderSource.use().number(1, size).number(2, mtime).number(3, folder.id_));
  }
}

void JournalDatabase::setFlags(const JournalDbFolder& folder, std::int64_t id,
                               const std::string& flags) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (folder.id_ != 0 && id > 0 && inBatch()) {
    batchWrite(statements_->setFlags.use().text(1, flags).number(2, id));
  }
}

void JournalDatabase::forget(const JournalDbFolder& folder, std::int64_t id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (folder.id_ != 0 && id > 0 && inBatch()) {
    batchWrite(statements_->forgetMessage.use().number(1, id));
  }
}

void JournalDatabase::batchWrite(Statement& write) {
  if (write.step() != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  if (++batched_ >= kBatch) {
    commitLocked();
  }
}

std::vector<std::string> JournalDatabase::accountFolders(const std::string& account) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  if (!readOnly_ && !inBatch()) {
    return names;
  }
  Statement& rows = statements_->accountFolders.use().text(1, account);
  int step = SQLITE_ROW;
  // Bounded by the account's folders.
  while ((step = rows.step()) == SQLITE_ROW) {
    names.push_back(rows.textAt(0));
  }
  if (step != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  return names;
}

std::string JournalDatabase::davDigest(const std::string& account, const std::string& folder,
                                       const std::string& uid) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || statements_ == nullptr || !statements_->davDigest.ok()) {
    return std::string();
  }
  Statement& read = statements_->davDigest.use().text(1, account).text(2, folder).text(3, uid);
  const int step = read.step();
  if (step == SQLITE_ROW) {
    return read.textAt(0);
  }
  if (step != SQLITE_DONE) {
    fail(sqlite3_errmsg(db_));
  }
  return std::string();
}

void JournalDatabase::davItem(const std::string& account, const std::string& folder,
                              const std::string& uid, const std::string& name,
                              const std::string& digest) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (inBatch()) {
    batchWrite(statements_->setDavItem.use()
                   .text(1, account)
                   .text(2, folder)
                   .text(3, uid)
                   .text(4, name)
                   .text(5, digest));
  }
}

}  // namespace lodemig
