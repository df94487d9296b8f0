#ifndef LODEMIG_MIGRATION_JOURNAL_TEXT_H_
#define LODEMIG_MIGRATION_JOURNAL_TEXT_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/message.h"
#include "utils/output_file.h"

namespace lodemig {

// The journal's text format, which runs wrote before the journal became a
// database (migration/journal_db.h); such a journal is read once, to be
// imported, and its keys name the messages of folders begun in it. A text
// file, one record a line, fields separated by tabs, with
// "%", tab, CR and LF inside a field written as %25, %09, %0D and %0A.
//
//   lodemig-journal 1 <tab> store path <tab> host:port
//   account <tab> user@domain <tab> created|switched|declined <tab> password file
//   account <tab> user@domain <tab> creating <tab> password file <tab> password <tab> 0|1
//   count <tab> user@domain <tab> folder <tab> target count before the first append
//   stored <tab> user@domain <tab> folder <tab> key file <tab> header offset <tab> stored size
//   refused <tab> user@domain <tab> folder <tab> key file <tab> header offset <tab> stored size
//   folder-done <tab> user@domain <tab> folder
//   account-done <tab> user@domain
//   target <tab> host:port
//
// "creating" is written before the account is asked for, with the password
// it is given (1: generated), so that an account whose creation a crash cut
// short is still known as the run's own and its password is not lost; the
// last account record decides ("declined": it existed and was not migrated).
// A "target" record names the address a later run reached the same server
// by (-retarget); the last one is the journal's target. Password files are
// named by absolute path.
// A last line without its line end (torn by a crash) is ignored.

// What the journal remembers of a folder whose migration has begun but not
// ended: the keys of its messages the target accepted or refused.
struct FolderProgress {
  std::int64_t countBefore = -1;  // the target folder's count before the first append
  std::int64_t storedCount = 0;   // stored records, over all runs
  std::unordered_set<std::string> stored;
  std::unordered_set<std::string> refused;
};

// A message's key as the journal writes it: "file <tab> offset <tab> size"
// with the file escaped, into `text`, whose storage is reused. The one way a
// key is made: the records and the lookups of a resumed folder both use it.
void formatJournalKey(const MessageKey& key, std::string& text);
// The same, returned.
std::string journalKey(const MessageKey& key);
// Reads a key as formatJournalKey() writes it. False when `text` is not
// three fields with numbers in the last two.
bool parseJournalKey(std::string_view text, MessageKey& key);

// The two halves of a Journal, its memory and its file; only Journal and the
// tests use them directly.

// Everything a journal file holds, read once at the start of a run. Only the
// folders in progress keep their message keys; a finished folder or account
// is one entry. Not copyable. After load(), every method may be called from
// any thread; a FolderProgress is the one thread's that migrates its account.
class JournalState {
 public:
  enum class Load { Ok, Missing, Unreadable, OtherRun, OtherTarget, Damaged };

  // Reads `path`. Missing when there is no such file; OtherRun when its first
  // line names another store than `header` (or is of another format);
  // OtherTarget when the journal is whole but its target is not `header`'s;
  // Damaged (with the line number in damagedLine()) when a line other than a
  // torn last one cannot be read. `validLength` is set to the bytes up to the
  // end of the last whole line.
  Load load(const std::string& path, const std::string& header, std::int64_t& validLength);
  int damagedLine() const { return damagedLine_; }
  // What the journal names, once load() has read its first line.
  const std::string& journalStore() const { return journalStore_; }
  const std::string& journalTarget() const { return journalTarget_; }

  bool accountDone(const std::string& account) const;
  // Created or switched to by a run of this journal; "" when not.
  std::string passwordFileOf(const std::string& account) const;
  // An account whose last record is "creating": its creation was asked for
  // but its answer never recorded. Sets the password it was given.
  bool creationUnconfirmed(const std::string& account, std::string& password,
                           bool& generated) const;
  bool folderDone(const std::string& account, const std::string& folder) const;
  // The folder's progress, created empty when the journal has none.
  FolderProgress& progress(const std::string& account, const std::string& folder);
  // Forgets the keys of a folder that has ended.
  void endFolder(const std::string& account, const std::string& folder);
  void endAccount(const std::string& account);
  // Records in memory what an account record of this run says: an empty
  // password file forgets the account.
  void noteAccount(const std::string& account, const std::string& passwordFile);

 private:
  bool apply(const std::string& line);
  // An "account" record, split into its fields.
  bool applyAccount(const std::vector<std::string_view>& fields);

  std::unordered_set<std::string> doneAccounts_;
  std::unordered_map<std::string, std::string> ownAccounts_;  // account -> password file
  // account -> the password (with "1" or "0" for generated in front)
  std::unordered_map<std::string, std::string> unconfirmed_;
  std::unordered_set<std::string> doneFolders_;  // "account <tab> folder"
  // Node-based: a FolderProgress stays where it is while others are added.
  std::unordered_map<std::string, FolderProgress> folders_;
  int damagedLine_ = 0;
  std::string journalStore_;
  std::string journalTarget_;
  mutable std::mutex mutex_;
};

// Appends records to a text journal: what those runs wrote, kept so that
// tests can make the journals an import meets. Records are buffered; sync() puts
// everything written so far on the disk before it returns. A write that fails
// makes failed() true and keeps the reason (failureText()). Before open() it
// writes nothing: a run without a journal file keeps its records in a
// JournalState alone. Not copyable. Every method may be called from any
// thread; records of one thread keep their order.
class JournalWriter {
 public:
  // Opens `path` for appending (0600 when created), first cutting it back to
  // `validLength` bytes when it is longer (a torn last line); writes `header`
  // as the first line of a new file.
  [[nodiscard]] bool open(const std::string& path, std::int64_t validLength,
                          const std::string& header);
  // `state` is "created", "switched" or "declined".
  void account(const std::string& account, const char* state, const std::string& passwordFile);
  void creating(const std::string& account, const std::string& passwordFile,
                const std::string& password, bool generated);
  // The server is reached by `target` from now on; on the disk when this
  // returns.
  void target(const std::string& target);
  void count(const std::string& account, const std::string& folder, std::int64_t count);
  void message(bool stored, const std::string& account, const std::string& folder,
               const std::string& key);
  void folderDone(const std::string& account, const std::string& folder);
  void accountDone(const std::string& account);
  // Writes out the buffered records and waits until the disk has them.
  void sync();
  void close();

  const std::string& path() const { return file_.path(); }
  // After an open() refused because another process holds the journal: its
  // pid, or -1 when unknown; 0 otherwise.
  long heldBy() const { return heldBy_; }
  bool failed() const;
  std::string failureText() const;
  // failureText() without "cannot write file PATH: ".
  std::string failureReason() const;

 private:
  void line(std::initializer_list<std::string_view> fields);
  void syncLocked();

  ostrel::utils::OutputFile file_;
  std::string line_;
  // The names of the last message record, and their escaped form.
  std::string account_;
  std::string folder_;
  std::string names_;
  long heldBy_ = 0;
  mutable std::mutex mutex_;
};

// The journal's first line for a run of `storePath` into `host`:`port`.
std::string journalHeader(const std::string& storePath, const std::string& host, int port);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_JOURNAL_TEXT_H_
