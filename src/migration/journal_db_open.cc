#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <unordered_set>

#include "migration/journal_db.h"
#include "migration/journal_db_statements.h"
#include "migration/journal_text.h"
#include "utils/private_file.h"

namespace lodemig {
namespace {

using journal_db::Statement;

constexpr char kTextMagic[] = "lodemig-journal 1";
constexpr char kFormat[] = "1";

constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, state TEXT NOT NULL CHECK(state IN "
    "('creating','created','switched','declined','done')), password_file TEXT, password TEXT, "
    "generated INTEGER);"
    "CREATE TABLE folders(id INTEGER PRIMARY KEY, account TEXT NOT NULL, name TEXT NOT NULL, "
    "target_name TEXT, uidvalidity INTEGER, uidnext INTEGER, count_before INTEGER, "
    "state TEXT NOT NULL CHECK(state IN ('open','done')), source_size INTEGER, "
    "source_mtime INTEGER, UNIQUE(account, name));"
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, folder INTEGER NOT NULL REFERENCES folders(id), "
    "identity TEXT NOT NULL, size INTEGER NOT NULL, flags TEXT NOT NULL, target_uid INTEGER, "
    "state TEXT NOT NULL CHECK(state IN ('stored','refused')));"
    "CREATE INDEX messages_by_folder ON messages(folder);"
    "CREATE TABLE dav_items(account TEXT NOT NULL, folder TEXT NOT NULL, uid TEXT NOT NULL, "
    "name TEXT NOT NULL, digest TEXT NOT NULL, PRIMARY KEY(account, folder, uid));";
// Who holds the journal's lock, as its meta table names it.
std::string holderOf(const std::string& path) {
  sqlite3* db = nullptr;
  std::string pid;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) ==
      SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    Statement read(db, "SELECT value FROM meta WHERE key = 'pid'");
    if (read.ok() && read.use().step() == SQLITE_ROW) {
      pid = read.textAt(0);
    }
  }
  sqlite3_close(db);
  return pid.empty() ? "another process" : "process " + pid;
}

// The first bytes of `path`: whether it is a text journal, and whether it is
// empty (a database yet to be made).
bool isTextJournal(const std::string& path, bool& empty) {
  std::ifstream in(path, std::ios::binary);
  char head[sizeof(kTextMagic) - 1] = {};
  in.read(head, sizeof(head));
  empty = in.gcount() == 0;
  return in.gcount() == sizeof(head) && std::memcmp(head, kTextMagic, sizeof(head)) == 0;
}

// Undoes a text journal's escapes in a name field, by the text journal's own
// reader of keys, whose first field is escaped the same way.
std::string unescapedName(std::string_view field) {
  MessageKey key;
  return parseJournalKey(std::string(field) + "\t0\t0", key) ? key.file : std::string(field);
}

// The accounts and folders a text journal names, in the order they first
// appear, with the last state word of each account record.
struct TextNames {
  std::vector<std::string> accounts;
  std::unordered_map<std::string, std::string> accountState;
  std::vector<std::pair<std::string, std::string>> folders;
  int damagedLine = 0;  // a whole line beyond what the journal's reader took
};

TextNames readTextNames(const std::string& path, std::int64_t validLength) {
  TextNames names;
  std::unordered_set<std::string> seen;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::int64_t offset = 0;
  // Bounded by the file: every turn consumes a line.
  for (int number = 1; std::getline(in, line); ++number) {
    const bool whole = !in.eof();
    if (offset >= validLength) {
      // The reader stops at a line it cannot take as a torn last one; a whole
      // line after it would be lost silently.
      names.damagedLine = whole ? number : 0;
      break;
    }
    offset += static_cast<std::int64_t>(line.size()) + 1;
    std::vector<std::string_view> f;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      f.emplace_back(line.data() + start, (tab == std::string::npos ? line.size() : tab) - start);
      if (tab == std::string::npos) {
        break;
      }
      start = tab + 1;
    }
    if (number == 1 || f.size() < 2 || f[0] == "target") {
      continue;
    }
    const std::string account = unescapedName(f[1]);
    if (seen.insert("a\t" + std::string(f[1])).second) {
      names.accounts.push_back(account);
    }
    if (f[0] == "account" && f.size() > 2) {
      names.accountState[account] = std::string(f[2]);
    } else if (f[0] != "account-done" && f.size() > 2 &&
               seen.insert("f\t" + std::string(f[1]) + "\t" + std::string(f[2])).second) {
      names.folders.emplace_back(account, unescapedName(f[2]));
    }
  }
  return names;
}

// Writes what `state` holds of the named accounts and folders into `db`.
void replay(JournalState& state, const TextNames& names, JournalDatabase& db) {
  for (const std::string& account : names.accounts) {
    std::string password;
    bool generated = false;
    auto found = names.accountState.find(account);
    const std::string word = found == names.accountState.end() ? "" : found->second;
    if (state.creationUnconfirmed(account, password, generated)) {
      db.creating(account, state.passwordFileOf(account), password, generated);
    } else if (word == "created" || word == "switched") {
      db.account(account,
                 word == "created" ? JournalDatabase::Settled::Created
                                   : JournalDatabase::Settled::Switched,
                 state.passwordFileOf(account));
    } else if (word == "declined") {
      db.account(account, JournalDatabase::Settled::Declined, "");
    }
    if (state.accountDone(account)) {
      db.endAccount(account);
    }
  }
  for (const auto& [account, name] : names.folders) {
    JournalDbFolder folder = db.beginFolder(account, name, false);
    if (!state.folderDone(account, name)) {
      const FolderProgress& progress = state.progress(account, name);
      if (progress.countBefore >= 0) {
        db.folderStart(folder, "", -1, -1, progress.countBefore);
      }
      for (const auto* keys : {&progress.stored, &progress.refused}) {
        for (const std::string& key : *keys) {
          MessageKey parsed;
          (void)parseJournalKey(key, parsed);
          db.message(folder, {key, static_cast<std::int64_t>(parsed.storedSize), "", -1,
                              keys == &progress.stored});
        }
      }
      continue;
    }
    db.endFolder(folder);
  }
}

// Puts the database `fresh` in the place of the text journal at `path`,
// keeping the text as `backup`. Returns the argument error, or "".
std::string putInPlace(const std::string& path, const std::string& fresh,
                       const std::string& backup) {
  // The backup is a second name of the text journal, made before the new
  // database takes the first: no instant leaves the path without a journal.
  // A backup that is already this file is left by an import a kill ended.
  struct stat text, kept;
  if (::link(path.c_str(), backup.c_str()) != 0 &&
      (errno != EEXIST || ::stat(path.c_str(), &text) != 0 || ::stat(backup.c_str(), &kept) != 0 ||
       text.st_ino != kept.st_ino || text.st_dev != kept.st_dev)) {
    return "Argument error: cannot import journal " + path + ": " + backup +
           (errno == EEXIST ? std::string(" exists; move it away")
                            : ": " + std::string(std::strerror(errno))) +
           " and run again\n";
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    return "Argument error: cannot import journal " + path + ": " + std::strerror(errno) + "\n";
  }
  return std::string();
}

}  // namespace

std::string JournalDatabase::open(const std::string& path, const std::string& storePath,
                                  const std::string& target, bool retarget) {
  const std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
  importNote_.clear();
  failure_.clear();
  std::string refusal = openLocked(path, storePath, target, retarget);
  if (!refusal.empty()) {
    closeLocked();
  }
  return refusal;
}

std::string JournalDatabase::openToRead(const std::string& path, const std::string& storePath) {
  const std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
  importNote_.clear();
  failure_.clear();
  path_ = path;
  const std::string cannot = "Argument error: cannot read journal " + path + ": ";
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    const std::string reason = db_ == nullptr ? "out of memory" : sqlite3_errmsg(db_);
    closeLocked();
    return cannot + reason + "\n";
  }
  sqlite3_busy_timeout(db_, 5000);
  readOnly_ = true;
  statements_ = std::make_unique<Statements>(db_);
  std::string refusal;
  if (!statements_->ok()) {
    refusal =
        cannot + "it is no journal of this version of lodemig (" + sqlite3_errmsg(db_) + ")\n";
  } else if (meta("store") != storePath) {
    refusal = "Argument error: journal " + path + " is of another store\n";
  }
  if (!refusal.empty()) {
    closeLocked();
  }
  return refusal;
}

std::string JournalDatabase::openLocked(const std::string& path, const std::string& storePath,
                                        const std::string& target, bool retarget) {
  path_ = path;
  ostrel::utils::PrivateFile file = ostrel::utils::openPrivateFile(path);
  if (file.fd < 0) {
    return "Argument error: cannot write journal " + path + ": " + file.reason + "\n";
  }
  lockFd_ = file.fd;
  struct stat info;
  if (::fstat(lockFd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    return "Argument error: cannot write journal " + path + ": it is not a regular file\n";
  }
  // The lock is an flock() on a descriptor of our own, held until close():
  // the system drops it when the process ends however it ends, so no run
  // killed with -9 leaves a stale lock, and it cannot meet SQLite's own
  // fcntl() locks, which on a local file system are a separate kind. Our
  // descriptor is closed only after SQLite's connection, since closing any
  // descriptor of a file drops the process's fcntl() locks on it.
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return "Argument error: journal " + path + " is in use by " + holderOf(path) + "\n";
    }
    return "Argument error: cannot write journal " + path + ": " + std::strerror(errno) + "\n";
  }
  bool empty = false;
  if (isTextJournal(path, empty)) {
    return importText(storePath, target, retarget);
  }
  std::string refusal = openDatabase();
  if (!refusal.empty()) {
    return refusal;
  }
  // Tables are made only in a database without any: another program's
  // database is refused below, not added to.
  Statement tables(db_, "SELECT count(*) FROM sqlite_master");
  if (empty || (tables.ok() && tables.use().step() == SQLITE_ROW && tables.numberAt(0) == 0)) {
    if (!execute("BEGIN IMMEDIATE") || !execute(kSchema)) {
      return "Argument error: cannot write journal " + path + ": " + failure_ + "\n";
    }
    inTransaction_ = true;
    statements_ = std::make_unique<Statements>(db_);
    statements_->setMeta.use().text(1, "format").text(2, kFormat).step();
    statements_->setMeta.use().text(1, "store").text(2, storePath).step();
    statements_->setMeta.use().text(1, "target").text(2, target).step();
  } else {
    addSourceColumns();
    statements_ = std::make_unique<Statements>(db_);
  }
  return checkOrigin(storePath, target, retarget);
}

void JournalDatabase::addSourceColumns() {
  // Journals made before passes compared the store's files lack the
  // columns; a journal of another program fails the statements after this.
  Statement probe(db_, "SELECT source_size FROM folders LIMIT 0");
  if (!probe.ok()) {
    sqlite3_exec(db_,
                 "ALTER TABLE folders ADD COLUMN source_size INTEGER;"
                 "ALTER TABLE folders ADD COLUMN source_mtime INTEGER",
                 nullptr, nullptr, nullptr);
  }
  // Journals made before calendars and contacts went to a DAV server lack
  // their table.
  sqlite3_exec(db_,
               "CREATE TABLE IF NOT EXISTS dav_items(account TEXT NOT NULL, folder TEXT NOT NULL, "
               "uid TEXT NOT NULL, name TEXT NOT NULL, digest TEXT NOT NULL, "
               "PRIMARY KEY(account, folder, uid))",
               nullptr, nullptr, nullptr);
}

std::string JournalDatabase::openDatabase() {
  const std::string damaged = "Argument error: journal " + path_ + " is damaged (";
  const std::string howOn = "); move it away to start a new journal\n";
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
      SQLITE_OK) {
    return damaged + (db_ == nullptr ? "out of memory" : sqlite3_errmsg(db_)) + howOn;
  }
  struct stat opened, locked;
  if (::stat(path_.c_str(), &opened) != 0 || ::fstat(lockFd_, &locked) != 0 ||
      opened.st_ino != locked.st_ino || opened.st_dev != locked.st_dev) {
    return "Argument error: cannot write journal " + path_ + ": it was replaced while opened\n";
  }
  sqlite3_extended_result_codes(db_, 1);
  // The run's memory stays what it is without a journal, as near as can be:
  // no lookaside slots, a page cache of a few pages (records are appended
  // at the end of their tables, and a folder's are read once).
  sqlite3_db_config(db_, SQLITE_DBCONFIG_LOOKASIDE, nullptr, 0, 0);
  // Only an admin's reader may meet our writes, for a moment.
  sqlite3_busy_timeout(db_, 5000);
  // WAL: a commit appends to the log and a reader never blocks the run.
  // NORMAL: a commit is in the operating system's hands when it returns, so
  // a killed run loses nothing committed; the log is synced to the disk at
  // each checkpoint. A power loss may take the last commits since: what the
  // target holds of them is found there again by identity (see README).
  // Syncing every commit cost more than the rest of the journal together.
  // Checkpoints every 16 MB of log: a page the commits between two of them
  // rewrote many times is copied into the database once.
  if (!execute("PRAGMA journal_mode = WAL") || !execute("PRAGMA synchronous = NORMAL") ||
      !execute("PRAGMA cache_size = -64") || !execute("PRAGMA wal_autocheckpoint = 4000")) {
    return damaged + failure_ + howOn;
  }
  Statement check(db_, "PRAGMA quick_check");
  const int step = check.ok() ? check.use().step() : sqlite3_errcode(db_);
  if (step != SQLITE_ROW || check.textAt(0) != "ok") {
    return damaged + (step == SQLITE_ROW ? check.textAt(0) : std::string(sqlite3_errmsg(db_))) +
           howOn;
  }
  return std::string();
}

std::string JournalDatabase::checkOrigin(const std::string& storePath, const std::string& target,
                                         bool retarget) {
  if (!statements_->ok()) {
    return "Argument error: journal " + path_ + " is not a journal of lodemig\n";
  }
  const std::string format = meta("format");
  if (format != kFormat) {
    return "Argument error: journal " + path_ + " is of another format (" + format + ")\n";
  }
  const std::string otherRun =
      "Argument error: journal " + path_ + " is of another store or target\n";
  const std::string store = meta("store");
  if (store != storePath) {
    return otherRun + "Argument error: the journal's store is " + store + ", this run's " +
           storePath + "\n";
  }
  const std::string journalTarget = meta("target");
  if (journalTarget != target && !retarget) {
    return otherRun + "Argument error: the journal's target is " + journalTarget + ", this run's " +
           target + "; if it is the same server, add -retarget\n";
  }
  if (!inBatch()) {
    return "Argument error: cannot write journal " + path_ + ": " + failure_ + "\n";
  }
  statements_->setMeta.use().text(1, "target").text(2, target).step();
  const std::string pid = std::to_string(::getpid());
  statements_->setMeta.use().text(1, "pid").text(2, pid).step();
  commitLocked();
  return failure_.empty()
             ? std::string()
             : "Argument error: cannot write journal " + path_ + ": " + failure_ + "\n";
}

std::string JournalDatabase::importText(const std::string& storePath, const std::string& target,
                                        bool retarget) {
  const std::size_t colon = target.rfind(':');
  int port = 0;
  if (colon != std::string::npos) {
    std::from_chars(target.data() + colon + 1, target.data() + target.size(), port);
  }
  JournalState state;
  std::int64_t valid = 0;
  const JournalState::Load load =
      state.load(path_, journalHeader(storePath, target.substr(0, colon), port), valid);
  const std::string otherRun =
      "Argument error: journal " + path_ + " is of another store or target\n";
  const TextNames names = readTextNames(path_, valid);
  const int damagedLine =
      load == JournalState::Load::Damaged ? state.damagedLine() : names.damagedLine;
  if (load == JournalState::Load::Unreadable) {
    return "Argument error: cannot read journal " + path_ + "\n";
  }
  if (load == JournalState::Load::OtherRun) {
    // A first line of another format names no store.
    return otherRun + (state.journalStore().empty()
                           ? std::string()
                           : "Argument error: the journal's store is " + state.journalStore() +
                                 ", this run's " + storePath + "\n");
  }
  if (load == JournalState::Load::OtherTarget && !retarget) {
    return otherRun + "Argument error: the journal's target is " + state.journalTarget() +
           ", this run's " + target + "; if it is the same server, add -retarget\n";
  }
  if (damagedLine > 0) {
    return "Argument error: journal " + path_ + " is damaged at line " +
           std::to_string(damagedLine) + "; move it away to start a new journal\n";
  }
  // Written aside and put in place whole: a kill during the import leaves
  // the text journal as it was.
  const std::string fresh = path_ + ".importing";
  const std::string backup = path_ + ".txt";
  (void)::unlink(fresh.c_str());
  {
    JournalDatabase db;
    std::string refusal = db.open(fresh, storePath, state.journalTarget());
    if (!refusal.empty()) {
      return refusal;
    }
    replay(state, names, db);
    db.close();
    if (db.failed()) {
      return "Argument error: " + db.failureText() + "\n";
    }
  }
  std::string refusal = putInPlace(path_, fresh, backup);
  if (!refusal.empty()) {
    return refusal;
  }
  const std::string path = path_;
  closeLocked();
  refusal = openLocked(path, storePath, target, retarget);
  importNote_ = "Journal " + path +
                ": imported the text journal into a database; the text is kept as " + backup + "\n";
  return refusal;
}

}  // namespace lodemig
