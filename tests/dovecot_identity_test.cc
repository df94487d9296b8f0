// Identity against a real server nobody here wrote: the UIDs dovecot gives
// in APPENDUID end up in the journal, a re-run without a journal sends
// nothing dovecot holds already, and mail doveadm delivers between two runs
// is left as it is while nothing of the store is lost or doubled.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/holdings.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kAnn[] = "ann@example.com";
constexpr char kForeign[] = "@elsewhere>";

class DovecotIdentityTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
    DovecotOptions options;
    options.users = {{kAnn, "x"}};
    options.masterUser = kAdmin;
    options.masterPassword = kMasterPassword;
    dovecot_ = std::make_unique<Dovecot>(home_, options);
    ASSERT_EQ(dovecot_->problem(), "");
  }

  // ann's INBOX of `count` messages, each with its own Message-ID.
  void inbox(int count) {
    std::vector<MailboxMessage> list;
    for (int i = 1; i <= count; ++i) {
      list.push_back({"S", std::to_string(i), "Wed Jun 30 21:49:08 1993",
                      "Message-ID: <ann." + std::to_string(i) + "@store.example>\r\nSubject: ann " +
                          std::to_string(i) + "\r\n\r\n" + std::string(i % 50, 'x') + "\r\n"});
      want_.push_back({"INBOX", "", "", "", "<ann." + std::to_string(i) + "@store.example>"});
    }
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = x; }")
        .info("{ INBOX = { Messages = #" + std::to_string(count) + "; }; }");
    builder_.mailboxFile("", "ann", "INBOX", list);
  }

  ProcessResult migrateInto(std::vector<std::string> arguments, ProcessOptions options = {}) {
    std::vector<std::string> all = {"-path",         store_,           "-migrate",   "-server",
                                    "127.0.0.1",     "-port",          port(),       "-password",
                                    kMasterPassword, "-targetType",    "imap",       "-admin",
                                    kAdmin,          "-primaryDomain", "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }
  std::string port() const { return std::to_string(dovecot_->port()); }

  // Killed once dovecot holds `arrived` of ann's messages (or when it ends
  // before that).
  ProcessResult killedRun(std::size_t arrived, std::vector<std::string> arguments) {
    const std::string maildir = home_ / ("mail/" + std::string(kAnn));
    ProcessOptions options;
    options.signalWhen = [maildir, arrived] {
      std::size_t files = 0;
      for (const char* sub : {"/cur", "/new"}) {
        std::error_code error;
        for (auto entry = std::filesystem::directory_iterator(maildir + sub, error);
             !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
          ++files;
        }
      }
      return files >= arrived;
    };
    return migrateInto(std::move(arguments), options);
  }

  // ann's INBOX on dovecot, each message as its folder and Message-ID (in
  // `content`), with its UIDs; flags and dates are compared by the interop
  // tests. One doveadm call: the Message-IDs tell the messages apart.
  std::vector<HeldMessage> onDovecot(std::set<long>* uids = nullptr) {
    int status = 0;
    const std::string list = dovecot_->doveadm(
        {"-f", "tab", "fetch", "-u", kAnn, "uid hdr.message-id", "mailbox", "INBOX"}, &status);
    EXPECT_EQ(status, 0) << list;
    std::vector<HeldMessage> held;
    std::istringstream lines(list);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      const std::size_t tab = line.find('\t');
      if (tab == std::string::npos) {
        ADD_FAILURE() << line;
        continue;
      }
      if (uids != nullptr) {
        uids->insert(std::stol(line));
      }
      const std::string id = line.substr(tab + 1);
      held.push_back({"INBOX", "", "", contains(id, kForeign) ? "DELIVER" : "", id});
    }
    return held;
  }

  void expectStoreOnce() {
    const Tally found = tally(want_, migrated(onDovecot()));
    EXPECT_EQ(found.lost, 0) << found.detail;
    EXPECT_EQ(found.doubled, 0) << found.detail;
  }

  // Delivers `count` messages of others into ann's INBOX with doveadm save.
  void deliverForeign(int count) {
    for (int i = 1; i <= count; ++i) {
      const std::string file = dir_ / ("foreign" + std::to_string(i));
      writeFile(file, "Message-ID: <foreign." + std::to_string(i) + kForeign +
                          "\r\nSubject: from elsewhere\r\n\r\nnot the store's\r\n");
      ASSERT_EQ(dovecot_->save(kAnn, "INBOX", file), 0);
    }
  }

  ScopedTempDir home_;
  std::unique_ptr<Dovecot> dovecot_;
  std::vector<HeldMessage> want_;
  const std::string journal_ = dir_ / "run.journal";
  const std::string report_ = dir_ / "report.csv";
};

TEST_F(DovecotIdentityTest, EveryAppendUidDovecotGaveIsInTheJournal) {
  inbox(12);
  const ProcessResult result = migrateInto({"-journal", journal_, "-window", "4"});
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  std::set<long> onServer;
  onDovecot(&onServer);
  ASSERT_EQ(onServer.size(), 12u);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(journal_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  const int prepared = sqlite3_prepare_v2(
      db, "SELECT target_uid FROM messages WHERE state = 'stored'", -1, &query, nullptr);
  EXPECT_EQ(prepared, SQLITE_OK) << sqlite3_errmsg(db);
  std::set<long> recorded;
  // One row a step; the table holds 12.
  for (int rows = 0; prepared == SQLITE_OK && rows < 100 && sqlite3_step(query) == SQLITE_ROW;
       ++rows) {
    recorded.insert(sqlite3_column_type(query, 0) == SQLITE_NULL ? -1
                                                                 : sqlite3_column_int64(query, 0));
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  EXPECT_EQ(recorded, onServer);
}

TEST_F(DovecotIdentityTest, RerunWithoutAJournalSendsNothingDovecotHolds) {
  inbox(100);
  killedRun(30, {"-window", "4"});
  const ProcessResult again = migrateInto({"-report", report_});
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  expectStoreOnce();
  // Once more, with everything there already.
  const ProcessResult third = migrateInto({"-report", report_});
  EXPECT_EQ(third.exitStatus, 0) << third.out;
  expectStoreOnce();
  const ReportRow row = lastRow(reportRows(report_), kAnn, "INBOX");
  EXPECT_EQ(field(row, "matched"), "100");
  EXPECT_EQ(field(row, "sent"), "0");
}

TEST_F(DovecotIdentityTest, MailSavedByDoveadmBetweenRunsIsLeftAndNothingIsLost) {
  inbox(100);
  killedRun(30, {"-journal", journal_, "-window", "4"});
  deliverForeign(3);
  const std::vector<HeldMessage> theirs = delivered(onDovecot());
  ASSERT_EQ(theirs.size(), 3u);
  const ProcessResult resumed = migrateInto({"-journal", journal_});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectStoreOnce();
  // And a re-run without the journal, as an admin unsure of the first runs.
  const ProcessResult again = migrateInto({});
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  expectStoreOnce();
  std::vector<std::string> kept;
  for (const HeldMessage& m : delivered(onDovecot())) {
    kept.push_back(m.content);
  }
  std::vector<std::string> before;
  for (const HeldMessage& m : theirs) {
    before.push_back(m.content);
  }
  EXPECT_EQ(kept, before);
}

}  // namespace
}  // namespace lodemig::testing
