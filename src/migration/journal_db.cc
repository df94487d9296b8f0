#include "migration/journal_db.h"

#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unordered_set>

#include "migration/journal.h"
#include "utils/private_file.h"

namespace lodemig {
namespace {

constexpr char kTextMagic[] = "lodemig-journal 1";
constexpr char kFormat[] = "1";
// Stored records committed together: one disk sync for this many messages.
// Lost to a kill, they are found again on the target by their identity.
constexpr int kBatch = 256;

constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE accounts(name TEXT PRIMARY KEY, state TEXT NOT NULL CHECK(state IN "
    "('creating','created','switched','declined','done')), password_file TEXT, password TEXT, "
    "generated INTEGER);"
    "CREATE TABLE folders(id INTEGER PRIMARY KEY, account TEXT NOT NULL, name TEXT NOT NULL, "
    "target_name TEXT, uidvalidity INTEGER, uidnext INTEGER, count_before INTEGER, "
    "state TEXT NOT NULL CHECK(state IN ('open','done')), UNIQUE(account, name));"
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, folder INTEGER NOT NULL REFERENCES folders(id), "
    "identity TEXT NOT NULL, size INTEGER NOT NULL, flags TEXT NOT NULL, target_uid INTEGER, "
    "state TEXT NOT NULL CHECK(state IN ('stored','refused')));"
    "CREATE INDEX messages_by_identity ON messages(folder, identity);";

// A prepared statement, reset and rebound at each use. Strings are bound
// without a copy: they outlive the statement's step in every caller.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& use() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return *this;
  }
  Statement& text(int index, const std::string& value) {
    sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
    return *this;
  }
  // For the fixed words of the schema, which live as long as the program.
  Statement& text(int index, const char* word) {
    sqlite3_bind_text(stmt_, index, word, -1, SQLITE_STATIC);
    return *this;
  }
  // -1 is bound as NULL: the value is not known.
  Statement& number(int index, std::int64_t value) {
    if (value < 0) {
      sqlite3_bind_null(stmt_, index);
    } else {
      sqlite3_bind_int64(stmt_, index, value);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(stmt_); }
  std::string textAt(int column) {
    const unsigned char* value = sqlite3_column_text(stmt_, column);
    return value == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(value),
                                          static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }
  std::int64_t numberAt(int column) {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL ? -1
                                                              : sqlite3_column_int64(stmt_, column);
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// A password file is named as this run names it; the journal keeps where it
// is, since a resumed run may start in another directory.
std::string absolutePath(const std::string& path) {
  if (path.empty()) {
    return path;
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

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

}  // namespace

struct JournalDatabase::Statements {
  explicit Statements(sqlite3* db)
      : accountRow(db,
                   "SELECT state, password_file, password, generated FROM accounts WHERE name = ?"),
        setAccount(db,
                   "INSERT INTO accounts(name, state, password_file, password, generated) "
                   "VALUES(?, ?, ?, ?, ?) ON CONFLICT(name) DO UPDATE SET state = excluded.state, "
                   "password_file = excluded.password_file, "
                   "password = coalesce(excluded.password, password), "
                   "generated = coalesce(excluded.generated, generated)"),
        accountDone(db,
                    "INSERT INTO accounts(name, state) VALUES(?, 'done') "
                    "ON CONFLICT(name) DO UPDATE SET state = 'done'"),
        addFolder(db, "INSERT OR IGNORE INTO folders(account, name, state) VALUES(?, ?, 'open')"),
        folderRow(db,
                  "SELECT id, target_name, uidvalidity, uidnext, count_before, state "
                  "FROM folders WHERE account = ? AND name = ?"),
        startFolder(db,
                    "UPDATE folders SET target_name = ?, uidvalidity = ?, uidnext = ?, "
                    "count_before = ? WHERE id = ?"),
        endFolder(db, "UPDATE folders SET state = 'done' WHERE id = ?"),
        folderMessages(db,
                       "SELECT identity, size, flags, target_uid, state FROM messages "
                       "WHERE folder = ? ORDER BY id"),
        addMessage(db,
                   "INSERT INTO messages(folder, identity, size, flags, target_uid, state) "
                   "VALUES(?, ?, ?, ?, ?, ?)"),
        unrefuse(db,
                 "UPDATE messages SET state = 'stored', size = ?, flags = ?, target_uid = ? "
                 "WHERE id = (SELECT id FROM messages WHERE folder = ? AND identity = ? "
                 "AND state = 'refused' ORDER BY id LIMIT 1)"),
        getMeta(db, "SELECT value FROM meta WHERE key = ?"),
        setMeta(db,
                "INSERT INTO meta(key, value) VALUES(?, ?) "
                "ON CONFLICT(key) DO UPDATE SET value = excluded.value") {}

  bool ok() const {
    for (const Statement* s : {&accountRow, &setAccount, &accountDone, &addFolder, &folderRow,
                               &startFolder, &endFolder, &folderMessages, &addMessage, &unrefuse,
                               &getMeta, &setMeta}) {
      if (!s->ok()) {
        return false;
      }
    }
    return true;
  }

  Statement accountRow, setAccount, accountDone, addFolder, folderRow, startFolder, endFolder,
      folderMessages, addMessage, unrefuse, getMeta, setMeta;
};

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

JournalDatabase::~JournalDatabase() { close(); }

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
    statements_ = std::make_unique<Statements>(db_);
  }
  return checkOrigin(storePath, target, retarget);
}

std::string JournalDatabase::openDatabase() {
  const std::string damaged = "Argument error: journal " + path_ + " is damaged (";
  const std::string howOn = "); move it away to start a new journal\n";
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    return damaged + (db_ == nullptr ? "out of memory" : sqlite3_errmsg(db_)) + howOn;
  }
  struct stat opened, locked;
  if (::stat(path_.c_str(), &opened) != 0 || ::fstat(lockFd_, &locked) != 0 ||
      opened.st_ino != locked.st_ino || opened.st_dev != locked.st_dev) {
    return "Argument error: cannot write journal " + path_ + ": it was replaced while opened\n";
  }
  sqlite3_extended_result_codes(db_, 1);
  // Only an admin's reader may meet our writes, for a moment.
  sqlite3_busy_timeout(db_, 5000);
  // WAL: a commit appends to the log and a reader never blocks the run.
  // FULL: every commit is synced, so what a commit holds survives a power
  // loss too; commits are few (a batch of stored records, a folder's start,
  // a refusal, an account), so the syncs cost little.
  if (!execute("PRAGMA journal_mode = WAL") || !execute("PRAGMA synchronous = FULL")) {
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
  const std::string otherRun = "Argument error: journal " + path_ + " is of another store or target\n";
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
  return failure_.empty() ? std::string()
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
  const std::string otherRun = "Argument error: journal " + path_ + " is of another store or target\n";
  const TextNames names = readTextNames(path_, valid);
  const int damagedLine = load == JournalState::Load::Damaged ? state.damagedLine() : names.damagedLine;
  if (load == JournalState::Load::Unreadable) {
    return "Argument error: cannot read journal " + path_ + "\n";
  }
  if (load == JournalState::Load::OtherRun) {
    return otherRun + "Argument error: the journal's store is " + state.journalStore() +
           ", this run's " + storePath + "\n";
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
  // The backup is a second name of the text journal, made before the new
  // database takes the first: no instant leaves the path without a journal.
  // A backup that is already this file is left by an import a kill ended.
  struct stat text, kept;
  if (::link(path_.c_str(), backup.c_str()) != 0 &&
      (errno != EEXIST || ::stat(path_.c_str(), &text) != 0 || ::stat(backup.c_str(), &kept) != 0 ||
       text.st_ino != kept.st_ino || text.st_dev != kept.st_dev)) {
    return "Argument error: cannot import journal " + path_ + ": " + backup +
           (errno == EEXIST ? std::string(" exists; move it away") : ": " + std::string(std::strerror(errno))) +
           " and run again\n";
  }
  if (::rename(fresh.c_str(), path_.c_str()) != 0) {
    return "Argument error: cannot import journal " + path_ + ": " + std::strerror(errno) + "\n";
  }
  const std::string path = path_;
  closeLocked();
  std::string refusal = openLocked(path, storePath, target, retarget);
  importNote_ = "Journal " + path + ": imported the text journal into a database; the text is kept as " +
                backup + "\n";
  return refusal;
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
  if (db_ == nullptr || statements_ == nullptr || !failure_.empty()) {
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
  return read.ok() && read.use().text(1, key).step() == SQLITE_ROW ? read.textAt(0)
                                                                    : std::string();
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

void JournalDatabase::creating(const std::string& account, const std::string& passwordFile,
                               const std::string& password, bool generated) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!inBatch()) {
    return;
  }
  const std::string file = absolutePath(passwordFile);
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
      settled == Settled::Declined ? std::string() : absolutePath(passwordFile);
  Statement& set = statements_->setAccount.use().text(1, account).text(
      2, settled == Settled::Created    ? "created"
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

JournalDbFolder JournalDatabase::beginFolder(const std::string& account,
                                             const std::string& folder, bool keepMessages) {
  const std::lock_guard<std::mutex> lock(mutex_);
  JournalDbFolder begun;
  begun.account_ = account;
  begun.folder_ = folder;
  begun.keepMessages_ = keepMessages;
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
  begun.id_ = row.numberAt(0);
  begun.targetName_ = row.textAt(1);
  begun.uidValidity_ = row.numberAt(2);
  begun.uidNext_ = row.numberAt(3);
  begun.countBefore_ = row.numberAt(4);
  loadMessages(begun);
  return begun;
}

void JournalDatabase::loadMessages(JournalDbFolder& folder) {
  Statement& rows = statements_->folderMessages.use().number(1, folder.id_);
  int step = SQLITE_ROW;
  // Bounded by the folder's rows.
  while ((step = rows.step()) == SQLITE_ROW) {
    folder.add({rows.textAt(0), rows.numberAt(1), rows.textAt(2), rows.numberAt(3),
                rows.textAt(4) == "stored"});
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
  // What the folder held before the first append must be on the disk before
  // that append: it is what tells a later run which messages are ours.
  commitLocked();
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

}  // namespace lodemig
