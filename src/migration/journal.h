#ifndef LODEMIG_MIGRATION_JOURNAL_H_
#define LODEMIG_MIGRATION_JOURNAL_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "migration/journal_db.h"
#include "migration/reporter.h"

namespace lodemig {

// A run's journal: what earlier runs recorded, and the records of this run,
// kept in a JournalDatabase when the run names a file. Each record is
// written, taken into the journal's memory and checked in one call; a failed
// write logs "Error: <failure text>" on the reporter given and throws
// QLNetworkException with that text, since a run whose journal cannot be
// written could not be resumed.
//
// Without open() it writes nothing and still remembers, for this run, which
// accounts it created or switched to and which folders and accounts ended
// (a retried account must not be reported twice). Mode::Off remembers
// nothing either. Whatever the mode, it remembers which messages the target
// refused in this run: a new connection of the run does not send them again.
// Not copyable. After open(), every method may be called from any thread; a
// JournalDbFolder is the one thread's that migrates its account.
class Journal {
 public:
  enum class Mode { Remember, Off };

  explicit Journal(Mode mode = Mode::Remember) : remembers_(mode == Mode::Remember) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (or creates, or imports a text journal into) the journal at `path`
  // for a run of `storePath` into `target` (host:port). Returns the argument
  // error that refuses it, with its line ends, or "" when it can be used. A
  // journal of another store is refused; one of another target too, naming
  // both, unless `retarget`: then it is taken and records the new target.
  std::string open(const std::string& path, const std::string& storePath, const std::string& target,
                   bool retarget = false);
  // Opens the journal at `path` of a run of `storePath` to be read only (a
  // forecast): no lock, nothing written. Returns the argument error, or "".
  std::string openToRead(const std::string& path, const std::string& storePath);
  // The log line of a text journal's import, with its line end; "" when
  // open() imported none.
  const std::string& importNote() const { return db_.importNote(); }
  // Puts every record on the disk and closes the file.
  void close() { db_.close(); }
  // Whether open() took a file: its records outlive the run.
  bool hasFile() const { return hasFile_; }

  bool accountDone(const std::string& account) const;
  // Created or switched to by a run of this journal; "" when not.
  std::string passwordFileOf(const std::string& account) const;
  // An account whose creation was asked for but its answer never recorded.
  // Sets the password it was given.
  bool creationUnconfirmed(const std::string& account, std::string& password,
                           bool& generated) const;
  bool folderDone(const std::string& account, const std::string& folder) const;
  // A done folder whose mailbox file is as a pass last read it whole (see
  // JournalDatabase::sourceUnchanged); false without a file.
  bool sourceUnchanged(const std::string& account, const std::string& folder, std::int64_t size,
                       std::int64_t mtime, std::int64_t& stored, std::string& targetName) const {
    return hasFile_ && db_.sourceUnchanged(account, folder, size, mtime, stored, targetName);
  }

  // Before the account is asked for; on the disk when this returns.
  void creating(Reporter& reporter, const std::string& account, const std::string& passwordFile,
                const std::string& password, bool generated);
  using Settled = JournalDatabase::Settled;
  void account(Reporter& reporter, const std::string& account, Settled settled,
               const std::string& passwordFile);
  void endAccount(Reporter& reporter, const std::string& account);

  // The folder about to be migrated, with what the journal holds of it.
  JournalDbFolder beginFolder(const std::string& account, const std::string& folder);
  // The target folder before the first append; on the disk when this returns
  // if the folder held messages.
  void folderStart(Reporter& reporter, JournalDbFolder& folder, const std::string& targetName,
                   std::int64_t uidValidity, std::int64_t uidNext, std::int64_t countBefore);
  // The target folder's UIDVALIDITY and a UIDNEXT learnt after the start.
  void folderUids(Reporter& reporter, JournalDbFolder& folder, std::int64_t uidValidity,
                  std::int64_t uidNext);
  // A message the target accepted or refused. A refusal is on the disk when
  // this returns.
  void message(Reporter& reporter, JournalDbFolder& folder, const JournalMessage& message);
  // How often this run's target refused the message `identity` of the folder.
  int refusedInRun(const std::string& account, const std::string& folder,
                   const std::string& identity) const;
  // Whether this run's target refused any message of the folder.
  bool anyRefusedInRun(const std::string& account, const std::string& folder) const;
  // The folder has ended whole.
  void endFolder(Reporter& reporter, JournalDbFolder& folder);
  // What a delta pass changed: the mailbox file as it was read whole, a
  // record's flags as the target holds them now, a record whose message the
  // target no longer holds.
  void folderSource(Reporter& reporter, JournalDbFolder& folder, std::int64_t size,
                    std::int64_t mtime);
  void setFlags(Reporter& reporter, const JournalDbFolder& folder, std::int64_t id,
                const std::string& flags);
  void forget(Reporter& reporter, const JournalDbFolder& folder, std::int64_t id);
  // The folders of `account` that runs of this journal began; none without
  // a file.
  std::vector<std::string> accountFolders(Reporter& reporter, const std::string& account);
  // The digest earlier runs recorded for the calendar or contact item `uid`
  // of the folder; "" when none did or the run keeps no file.
  std::string davDigest(const std::string& account, const std::string& folder,
                        const std::string& uid) {
    return hasFile_ ? db_.davDigest(account, folder, uid) : std::string();
  }
  // The item `uid` is on the DAV server as `name`, its text as `digest`.
  void davItem(Reporter& reporter, const std::string& account, const std::string& folder,
               const std::string& uid, const std::string& name, const std::string& digest);

 private:
  // Ends the run when the last write failed.
  void check(Reporter& reporter) const;
  static std::string folderName(const std::string& account, const std::string& folder);

  const bool remembers_;
  bool hasFile_ = false;
  JournalDatabase db_;
  // A run without a file: what the run itself settled.
  std::set<std::string> doneAccounts_;
  std::map<std::string, std::string> ownAccounts_;  // account -> password file
  std::set<std::string> doneFolders_;               // "account <tab> folder"
  // "account <tab> folder <tab> identity" -> how often refused in this run.
  std::map<std::string, int> refused_;
  mutable std::mutex mutex_;  // guards the memory above
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_JOURNAL_H_
