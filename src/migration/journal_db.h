#ifndef LODEMIG_MIGRATION_JOURNAL_DB_H_
#define LODEMIG_MIGRATION_JOURNAL_DB_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace lodemig {
namespace journal_db {
class Statement;
}

// The journal as an SQLite database: one file, mode 0600, that an admin can
// query with `sqlite3`. Its schema:
//
//   meta(key, value)            format "1", store (absolute path), target
//                               (host:port, moved by -retarget), pid (of the
//                               run that holds the journal, or held it last)
//   accounts(name, state, password_file, password, generated)
//                               state: creating, created, switched, declined,
//                               done; one row an account (user@domain)
//   folders(id, account, name, target_name, uidvalidity, uidnext,
//           count_before, state)
//                               state: open, done; uidnext and count_before
//                               are the target folder's before the first
//                               append (NULL until then)
//           source_size, source_mtime)
//                               the mailbox file's size and modification
//                               time (ns) when a pass last read it whole
//   messages(id, folder, identity, size, flags, target_uid, state)
//                               folder: folders.id (indexed); identity: the message's
//                               store identity; target_uid: NULL when the
//                               target named none; state: stored, refused
//   dav_items(account, folder, uid, name, digest)
//                               a calendar or contact item stored on the DAV
//                               server: its resource name and the digest of
//                               its text (davItemDigest); one row a UID
//
// No field has a length limit. Text journals ("lodemig-journal 1") are
// imported by open(); their message keys become identities as
// formatJournalKey() writes them (file <tab> offset <tab> size).

// One message record.
struct JournalMessage {
  std::string identity;  // the store identity
  std::int64_t size = 0;
  std::string flags;
  std::int64_t targetUid = -1;  // -1: the target named none
  bool stored = true;           // false: refused
  std::int64_t id = 0;          // its row; 0 for a record not read from the file
};

// The folder in progress and what the journal holds of it, loaded by
// JournalDatabase::beginFolder() and forgotten with the object. Belongs to the
// one thread that migrates its account.
class JournalDbFolder {
 public:
  const std::string& account() const { return account_; }
  const std::string& folder() const { return folder_; }
  const std::string& targetName() const { return targetName_; }
  // The target folder's state before the first append; -1 when not recorded.
  std::int64_t uidValidity() const { return uidValidity_; }
  std::int64_t uidNext() const { return uidNext_; }
  std::int64_t countBefore() const { return countBefore_; }
  // The mailbox file as a pass last read it whole; -1 when not recorded.
  std::int64_t sourceSize() const { return sourceSize_; }
  std::int64_t sourceMtime() const { return sourceMtime_; }
  // The records of earlier runs, in the order they were made, and (when the
  // folder keeps them) this run's.
  const std::vector<JournalMessage>& messages() const { return messages_; }
  // How many stored records, over all runs, whether kept or not.
  std::int64_t storedCount() const { return storedCount_; }
  // How often `identity` is recorded as stored, and as refused, among
  // messages().
  int storedTimes(const std::string& identity) const;
  int refusedTimes(const std::string& identity) const;

 private:
  friend class JournalDatabase;
  struct Times {
    int stored = 0;
    int refused = 0;
  };
  void add(const JournalMessage& message);

  std::string account_;
  std::string folder_;
  std::int64_t id_ = 0;  // folders.id; 0 when the journal is not open
  bool keepMessages_ = false;
  std::string targetName_;
  std::int64_t uidValidity_ = -1;
  std::int64_t uidNext_ = -1;
  std::int64_t countBefore_ = -1;
  std::int64_t sourceSize_ = -1;
  std::int64_t sourceMtime_ = -1;
  std::int64_t storedCount_ = 0;
  std::vector<JournalMessage> messages_;
  std::unordered_map<std::string, Times> times_;
};

// A run's journal database. open() takes a lock on the file that lasts until
// close() or the end of the process: a second process is refused. One object
// per file in a process. Writes that fail are kept: failed() turns true,
// failureText() says why, and every later write does nothing. Records of
// stored messages are committed in batches; every other record that a later
// run needs to account for what the target holds (a folder's state before
// its first append, a refusal, an account's creation) is committed before
// its call returns. Not copyable; every method may be called from any thread.
class JournalDatabase {
 public:
  JournalDatabase();
  ~JournalDatabase();
  JournalDatabase(const JournalDatabase&) = delete;
  JournalDatabase& operator=(const JournalDatabase&) = delete;

  // Opens the journal at `path` for a run of `storePath` into `target`
  // (host:port), creating it when missing and importing a text journal.
  // Returns the argument error that refuses it, with its line ends, or "".
  // A journal of another store is refused, one of another target too unless
  // `retarget`, which records the new target.
  std::string open(const std::string& path, const std::string& storePath, const std::string& target,
                   bool retarget = false);
  // Opens the journal at `path` of a run of `storePath` to be read only: no
  // lock is taken and nothing is written (a run that holds it may go on).
  // Every write does nothing. Returns the argument error, or "".
  std::string openToRead(const std::string& path, const std::string& storePath);
  // The log line of a text journal's import by open(), with its line end; ""
  // when there was none.
  const std::string& importNote() const { return importNote_; }
  // Commits what is batched, closes the database and gives up the lock.
  void close();

  bool accountDone(const std::string& account) const;
  // Created or switched to by a run of this journal; "" when not.
  std::string passwordFileOf(const std::string& account) const;
  // An account whose creation was asked for but its answer never recorded.
  // Sets the password it was given.
  bool creationUnconfirmed(const std::string& account, std::string& password,
                           bool& generated) const;
  bool folderDone(const std::string& account, const std::string& folder) const;
  // Whether the folder is done and its mailbox file was last read whole at
  // `size` and `mtime`; sets how many messages it records as stored and its
  // target name. Loads
  // none of its records.
  bool sourceUnchanged(const std::string& account, const std::string& folder, std::int64_t size,
                       std::int64_t mtime, std::int64_t& stored, std::string& targetName) const;

  // Before the account is asked for; committed when this returns.
  void creating(const std::string& account, const std::string& passwordFile,
                const std::string& password, bool generated);
  enum class Settled { Created, Switched, Declined };
  void account(const std::string& account, Settled settled, const std::string& passwordFile);
  void endAccount(const std::string& account);

  // The folder about to be migrated, with everything recorded of it.
  // `keepMessages`: this run's records are added to its messages() too.
  JournalDbFolder beginFolder(const std::string& account, const std::string& folder,
                              bool keepMessages);
  // The target folder before the first append; committed when this returns
  // if the folder held messages, else with the batch.
  void folderStart(JournalDbFolder& folder, const std::string& targetName, std::int64_t uidValidity,
                   std::int64_t uidNext, std::int64_t countBefore);
  // The UIDVALIDITY and a UIDNEXT of a folder whose start recorded none,
  // learnt from its first append's answer; joins the batch.
  void folderUids(JournalDbFolder& folder, std::int64_t uidValidity, std::int64_t uidNext);
  // A stored message joins the batch; a refusal is committed at once. A
  // stored record of an identity recorded as refused replaces that refusal.
  void message(JournalDbFolder& folder, const JournalMessage& message);
  void endFolder(JournalDbFolder& folder);
  // The mailbox file's size and modification time as this pass read it
  // whole; joins the batch.
  void folderSource(JournalDbFolder& folder, std::int64_t size, std::int64_t mtime);
  // The flags of record `id` (JournalMessage::id) as the target now holds
  // them; joins the batch.
  void setFlags(const JournalDbFolder& folder, std::int64_t id, const std::string& flags);
  // Record `id` names a message the target no longer holds; joins the batch.
  void forget(const JournalDbFolder& folder, std::int64_t id);
  // The folders of `account` that runs of this journal began, in that order.
  std::vector<std::string> accountFolders(const std::string& account);
  // The digest recorded for DAV item `uid` of the account's folder; "" when
  // none is.
  std::string davDigest(const std::string& account, const std::string& folder,
                        const std::string& uid);
  // A DAV item stored under `name` with `digest`, replacing an earlier
  // record of its UID; joins the batch.
  void davItem(const std::string& account, const std::string& folder, const std::string& uid,
               const std::string& name, const std::string& digest);
  // Commits the batch: every record so far survives a kill of the process.
  void commit();

  bool failed() const;
  // "cannot write journal PATH: REASON".
  std::string failureText() const;

 private:
  struct Statements;

  std::string openLocked(const std::string& path, const std::string& storePath,
                         const std::string& target, bool retarget);
  std::string openDatabase();
  std::string checkOrigin(const std::string& storePath, const std::string& target, bool retarget);
  std::string importText(const std::string& storePath, const std::string& target, bool retarget);
  void closeLocked();
  // Runs `sql` (no results); false, with the failure kept, when it fails.
  bool execute(const char* sql);
  bool inBatch();
  void commitLocked();
  void fail(const std::string& reason);
  void loadMessages(JournalDbFolder& folder);
  void readFolderRow(journal_db::Statement& row, JournalDbFolder& folder);
  void addSourceColumns();
  // Runs a prepared write that joins the batch.
  void batchWrite(journal_db::Statement& write);
  std::string meta(const char* key);

  std::string path_;
  int lockFd_ = -1;
  sqlite3* db_ = nullptr;
  std::unique_ptr<Statements> statements_;
  bool inTransaction_ = false;
  bool readOnly_ = false;
  int batched_ = 0;
  std::string failure_;
  std::string importNote_;
  mutable std::mutex mutex_;  // guards everything above
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_JOURNAL_DB_H_
