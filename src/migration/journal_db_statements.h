#ifndef LODEMIG_MIGRATION_JOURNAL_DB_STATEMENTS_H_
#define LODEMIG_MIGRATION_JOURNAL_DB_STATEMENTS_H_

// The prepared statements of JournalDatabase, shared by its .cc files only.

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "migration/journal_db.h"

namespace lodemig {
namespace journal_db {

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

  // Without the DAV statements: a journal opened to be read only may predate
  // their table, and then simply holds no DAV items.
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
    return value == nullptr
               ? std::string()
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

}  // namespace journal_db

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
                  "SELECT id, target_name, uidvalidity, uidnext, count_before, state, "
                  "source_size, source_mtime "
                  "FROM folders WHERE account = ? AND name = ?"),
        startFolder(db,
                    "UPDATE folders SET target_name = ?, uidvalidity = ?, uidnext = ?, "
                    "count_before = ? WHERE id = ?"),
        folderUids(db, "UPDATE folders SET uidvalidity = ?, uidnext = ? WHERE id = ?"),
        endFolder(db, "UPDATE folders SET state = 'done' WHERE id = ?"),
        folderMessages(db,
                       "SELECT identity, size, flags, target_uid, state, id FROM messages "
                       "WHERE folder = ? ORDER BY id"),
        addMessage(db,
                   "INSERT INTO messages(folder, identity, size, flags, target_uid, state) "
                   "VALUES(?, ?, ?, ?, ?, ?)"),
        unrefuse(db,
                 "UPDATE messages SET state = 'stored', size = ?, flags = ?, target_uid = ? "
                 "WHERE id = (SELECT id FROM messages WHERE folder = ? AND identity = ? "
                 "AND state = 'refused' ORDER BY id LIMIT 1)"),
        folderSource(db, "UPDATE folders SET source_size = ?, source_mtime = ? WHERE id = ?"),
        setFlags(db, "UPDATE messages SET flags = ? WHERE id = ?"),
        forgetMessage(db, "DELETE FROM messages WHERE id = ?"),
        accountFolders(db, "SELECT name FROM folders WHERE account = ? ORDER BY id"),
        storedCount(db, "SELECT count(*) FROM messages WHERE folder = ? AND state = 'stored'"),
        getMeta(db, "SELECT value FROM meta WHERE key = ?"),
        setMeta(db,
                "INSERT INTO meta(key, value) VALUES(?, ?) "
                "ON CONFLICT(key) DO UPDATE SET value = excluded.value"),
        davDigest(db, "SELECT digest FROM dav_items WHERE account = ? AND folder = ? AND uid = ?"),
        setDavItem(
            db,
            "INSERT INTO dav_items(account, folder, uid, name, digest) VALUES(?, ?, ?, ?, ?) "
            "ON CONFLICT(account, folder, uid) DO UPDATE SET name = excluded.name, "
            "digest = excluded.digest") {}

  // Without the DAV statements: a journal opened to be read only may predate
  // their table, and then simply holds no DAV items.
  bool ok() const {
    for (const journal_db::Statement* s :
         {&accountRow, &setAccount, &accountDone, &addFolder, &folderRow, &startFolder, &folderUids,
          &endFolder, &folderMessages, &addMessage, &unrefuse, &folderSource, &setFlags,
          &forgetMessage, &accountFolders, &storedCount, &getMeta, &setMeta}) {
      if (!s->ok()) {
        return false;
      }
    }
    return true;
  }

  journal_db::Statement accountRow, setAccount, accountDone, addFolder, folderRow, startFolder,
      folderUids, endFolder, folderMessages, addMessage, unrefuse, folderSource, setFlags,
      forgetMessage, accountFolders, storedCount, getMeta, setMeta, davDigest, setDavItem;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_JOURNAL_DB_STATEMENTS_H_
