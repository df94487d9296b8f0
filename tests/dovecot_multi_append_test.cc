// Several messages per APPEND into a real server that offers MULTIAPPEND: the
// private dovecot holds every message's bytes, flags and date, and each UID
// of its APPENDUID sets is the journal's for the message it was given to.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kAnn[] = "ann@example.com";

class DovecotMultiAppendTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
    DovecotOptions options;
    options.users = {{kAnn, "x"}};
    options.masterUser = "admin";
    options.masterPassword = "masterpw";
    dovecot_ = std::make_unique<Dovecot>(home_, options);
    ASSERT_EQ(dovecot_->problem(), "");
  }
  // ann's INBOX: `count` messages with their own Message-IDs, flags and
  // dates; message `large` is over the size that goes in a command alone.
  void inbox(int count, int large) {
    for (int i = 1; i <= count; ++i) {
      const std::string body =
          i == large ? std::string(70 * 1024, 'L') + "\r\n" : std::string(i, 'x') + "\r\n";
      char date[40];
      std::snprintf(date, sizeof date, "Wed Jun 30 21:%02d:08 1993", i % 60);
      contents_.push_back("Message-ID: <ann." + std::to_string(i) + "@store.example>\r\n\r\n" +
                          body);
      list_.push_back({i % 2 == 0 ? "SF" : "", std::to_string(i), date, contents_.back()});
    }
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = x; }")
        .info("{ INBOX = { Messages = #" + std::to_string(count) + "; }; }");
    builder_.mailboxFile("", "ann", "INBOX", list_);
  }
  ProcessResult migrateInto(std::vector<std::string> arguments) {
    std::vector<std::string> all = {"-path",
                                    store_,
                                    "-migrate",
                                    "-server",
                                    "127.0.0.1",
                                    "-port",
                                    std::to_string(dovecot_->port()),
                                    "-password",
                                    "masterpw",
                                    "-targetType",
                                    "imap",
                                    "-admin",
                                    "admin",
                                    "-primaryDomain",
                                    "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    ProcessOptions options;
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }
  // The journal's target UIDs in the order its rows were written.
  std::vector<long> journalUids() {
    sqlite3* db = nullptr;
    std::vector<long> uids;
    EXPECT_EQ(sqlite3_open_v2(journal_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    const int prepared =
        sqlite3_prepare_v2(db, "SELECT target_uid FROM messages WHERE state = 'stored' ORDER BY id",
                           -1, &query, nullptr);
    EXPECT_EQ(prepared, SQLITE_OK) << sqlite3_errmsg(db);
    // One row a step; bounded well above the folder's count.
    for (int rows = 0; prepared == SQLITE_OK && rows < 1000 && sqlite3_step(query) == SQLITE_ROW;
         ++rows) {
      uids.push_back(sqlite3_column_type(query, 0) == SQLITE_NULL ? -1
                                                                  : sqlite3_column_int64(query, 0));
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return uids;
  }

  ScopedTempDir home_;
  std::unique_ptr<Dovecot> dovecot_;
  std::vector<MailboxMessage> list_;
  std::vector<std::string> contents_;
  const std::string journal_ = dir_ / "run.journal";
};

TEST_F(DovecotMultiAppendTest, EveryMessageArrivesWholeUnderTheUidItsSetGaveIt) {
  inbox(23, 9);
  const ProcessResult run =
      migrateInto({"-multiAppend", "5", "-window", "2", "-journal", journal_});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  const std::vector<long> uids = journalUids();
  ASSERT_EQ(uids.size(), 23u);
  for (std::size_t i = 0; i < uids.size(); ++i) {
    const std::string number = std::to_string(i + 1);
    EXPECT_EQ(dovecot_->fetch(kAnn, "INBOX", "text", static_cast<int>(uids[i])), contents_[i])
        << number;
    const std::string flags = dovecot_->fetch(kAnn, "INBOX", "flags", static_cast<int>(uids[i]));
    EXPECT_EQ(contains(flags, "\\Flagged"), i % 2 == 1) << number << ": " << flags;
    // 21:MM:08 on 30 June 1993, UTC.
    constexpr long kNinePmEight = 741474008;
    EXPECT_EQ(dovecot_->fetch(kAnn, "INBOX", "date.received.unixtime", static_cast<int>(uids[i])),
              std::to_string(kNinePmEight + static_cast<long>((i + 1) % 60) * 60))
        << number;
  }
}

}  // namespace
}  // namespace lodemig::testing
