// End-to-end runs over what the store holds beyond its folder lists and
// masks: folders on disk that an info file does not list, masks that match
// nothing, accounts all declined, folders merged on the target, and the
// domain the Accounts directory goes to.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kPrivatWarning[] =
    "Warning: folder \"Privat\" of <ann@example.com> (Privat.mbox): not in the account's folder "
    "list: not migrated\n";

class UnlistedFoldersTest : public MigrationTest {
 protected:
  // Runs lodemig with `mode` (-migrate, -check or -verify) against the
  // running server, from a directory of its own.
  ProcessResult run(const std::string& mode, std::vector<std::string> arguments = {}) {
    const std::string work = dir_ / ("run" + std::to_string(++runs_));
    makeDirectories(work);
    lastWork_ = work;
    std::vector<std::string> all = {
        "-path",     store_,  mode, "-server", "127.0.0.1", "-port", server_->portText(),
        "-password", "master"};
    if (primaryDomain_) {
      all.insert(all.end(), {"-primaryDomain", "example.com"});
    }
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.workingDirectory = work;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  // ann lists her INBOX (2 messages) only; Privat (1 message) lies beside it.
  void annWithPrivat() {
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = annpw; }")
        .info("{ INBOX = { Messages = #2; }; }");
    builder_.mailboxFile("", "ann", "INBOX", messages("ann", 2));
    builder_.mailboxFile("", "ann", "Privat", messages("privat", 1));
  }

  int runs_ = 0;
  bool primaryDomain_ = true;
  std::string lastWork_;
  const std::string report_ = dir_ / "report.csv";
};

TEST_F(UnlistedFoldersTest, UnlistedFolderIsSaidReportedCheckedAndFailsTheVerification) {
  annWithPrivat();
  startServer();
  const ProcessResult migration = run("-migrate", {"-report", report_});
  EXPECT_EQ(migration.exitStatus, 0) << migration.out;
  EXPECT_TRUE(contains(migration.out, kPrivatWarning)) << migration.out;
  const std::string log = onlyLodemigFile(lastWork_, "log");
  EXPECT_TRUE(contains(log, kPrivatWarning)) << log;
  EXPECT_TRUE(contains(readFile(report_), ",ann@example.com,Privat,")) << readFile(report_);
  EXPECT_TRUE(
      contains(readFile(report_), ",skipped,not in the account's folder list: not migrated,0\r\n"));
  EXPECT_EQ(arrivedCount("ann@example.com"), 2);

  const ProcessResult check = run("-check", {"-force"});
  EXPECT_EQ(check.exitStatus, 1) << check.out;
  EXPECT_TRUE(contains(check.out, kPrivatWarning)) << check.out;
  EXPECT_TRUE(contains(check.out, "Result: check found problems\n"));

  const ProcessResult verify = run("-verify");
  EXPECT_EQ(verify.exitStatus, 1) << verify.out;
  EXPECT_TRUE(contains(verify.out, kPrivatWarning)) << verify.out;
  EXPECT_TRUE(contains(verify.out, "Result: verification failed\n"));
}

TEST_F(UnlistedFoldersTest, MigrateOptionTakesUnlistedFoldersAndFolderListsFromTheDisk) {
  annWithPrivat();
  // bob's info file is missing: without the option his account fails.
  builder_.account("", "bob", AccountDirectory).settings("{ Password = bobpw; }");
  builder_.mailboxFile("", "bob", "INBOX", messages("bob", 1));
  builder_.mailboxFile("", "bob", "Archive/2008", messages("bob-archive", 2));
  startServer();
  const ProcessResult without = run("-migrate");
  EXPECT_EQ(without.exitStatus, 1) << without.out;
  EXPECT_EQ(arrivedCount("bob@example.com"), 0);
  EXPECT_TRUE(contains(without.out,
                       "   Info: <bob@example.com>: its folders on disk can be migrated with "
                       "-unlistedFolders migrate\n"))
      << without.out;

  startServer();
  const ProcessResult with = run("-migrate", {"-unlistedFolders", "Migrate"});
  EXPECT_EQ(with.exitStatus, 0) << with.out;
  EXPECT_TRUE(contains(with.out,
                       "Info: folder \"Privat\" of <ann@example.com> (Privat.mbox): not in the "
                       "account's folder list, migrated as a mail folder\n"))
      << with.out;
  EXPECT_FALSE(contains(with.out, "Warning: folder"));
  EXPECT_EQ(arrivedCount("ann@example.com"), 3);
  EXPECT_EQ(arrivedCount("bob@example.com"), 3);
  EXPECT_TRUE(contains(foldersFile("ann@example.com"), "X-MAIL Privat\n"))
      << foldersFile("ann@example.com");
  const ProcessResult verify = run("-verify", {"-unlistedFolders", "migrate"});
  EXPECT_EQ(verify.exitStatus, 0) << verify.out;
  EXPECT_TRUE(contains(verify.out, "Result: verification successful\n"));
}

TEST_F(UnlistedFoldersTest, NoMatchingAccountAndEveryAccountDeclinedAreSaid) {
  inboxAccount("cat", 1);
  startServer();
  const ProcessResult none = run("-migrate", {"-domain", "example.com", "-user", "nobody"});
  EXPECT_EQ(none.exitStatus, 0);
  EXPECT_TRUE(contains(none.out,
                       "Warning: no account matches the domain mask \"example.com\" and the "
                       "user mask \"nobody\": nothing was migrated\n"
                       "\nFinish time: "))
      << none.out;
  const ProcessResult first = run("-migrate");
  EXPECT_EQ(first.exitStatus, 0) << first.out;
  EXPECT_FALSE(contains(first.out, "Warning: ")) << first.out;
  const ProcessResult again = run("-migrate");
  EXPECT_EQ(again.exitStatus, 0);
  EXPECT_TRUE(contains(again.out,
                       "Warning: every account exists on Torvane already and was skipped: "
                       "nothing was migrated, -force migrates into them\n"))
      << again.out;
  const ProcessResult forced = run("-migrate", {"-force"});
  EXPECT_FALSE(contains(forced.out, "Warning: ")) << forced.out;
  const ProcessResult check = run("-check", {"-domain", "nowhere.org"});
  EXPECT_TRUE(contains(check.out, "the user mask \"*\": nothing was checked\n")) << check.out;
}

TEST_F(UnlistedFoldersTest, CheckWithoutPrimaryDomainNamesWhereTheAccountsDirectoryGoes) {
  inboxAccount("dan", 1);
  startServer();
  primaryDomain_ = false;
  const std::string line = "Warning: the accounts of \"" + store_ + "/Accounts\" go to the domain ";
  const ProcessResult check = run("-check");
  EXPECT_TRUE(contains(check.out, line)) << check.out;
  EXPECT_TRUE(contains(check.out, ", this machine's name: -primaryDomain names their domain\n"));
  primaryDomain_ = true;
  EXPECT_FALSE(contains(run("-check").out, line));
}

TEST_F(UnlistedFoldersTest, VerifyComparesFoldersMergedOnTheTargetTogether) {
  builder_.account("", "eve", AccountDirectory)
      .settings("{ Password = evepw; }")
      .info("{ \"a:b\" = { Messages = #2; }; a_b = { Messages = #1; }; }");
  builder_.mailboxFile("", "eve", "a:b", messages("ab", 2));
  builder_.mailboxFile("", "eve", "a_b", messages("a_b", 1));
  startServer();
  ASSERT_EQ(run("-migrate").exitStatus, 0);
  const ProcessResult verify = run("-verify", {"-report", report_});
  EXPECT_EQ(verify.exitStatus, 0) << verify.out;
  EXPECT_TRUE(contains(verify.out,
                       "   Info: folders \"a:b\" and \"a_b\" go into \"a_b\": compared together\n"
                       "   - \"a:b\", messages: 2\n"
                       "   - \"a_b\", messages: 1\n"
                       "   - \"a:b\" and \"a_b\", messages: 3, ok\n"))
      << verify.out;
  EXPECT_EQ(countOf(readFile(report_), ",ok,"), 2) << readFile(report_);
}

class MergedOnDovecotTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
  }
};

TEST_F(MergedOnDovecotTest, SentAndSentItemsBothInTheSentFolderVerify) {
  builder_.account("", "fay", AccountDirectory)
      .settings("{ Password = faypw; }")
      .info(
          "{ INBOX = { Messages = #1; }; Sent = { Messages = #2; }; "
          "\"Sent Items\" = { Messages = #1; }; }");
  builder_.mailboxFile("", "fay", "INBOX", messages("in", 1));
  builder_.mailboxFile("", "fay", "Sent", messages("sent", 2));
  builder_.mailboxFile("", "fay", "Sent Items", messages("items", 1));
  ScopedTempDir home;
  DovecotOptions options;
  options.users = {{"fay@example.com", "x"}};
  options.masterUser = "admin";
  options.masterPassword = "masterpw";
  options.specialFolders = true;
  const Dovecot dovecot(home, options);
  ASSERT_EQ(dovecot.problem(), "");
  const auto lodemig = [&](const std::string& mode) {
    const std::string work = dir_ / mode.substr(1);
    makeDirectories(work);
    ProcessOptions process;
    process.workingDirectory = work;
    return runProcess(LODEMIG_BINARY,
                      {"-path", store_, mode, "-server", "127.0.0.1", "-port",
                       std::to_string(dovecot.port()), "-password", "masterpw", "-targetType",
                       "imap", "-admin", "admin", "-primaryDomain", "example.com"},
                      process);
  };
  const ProcessResult migration = lodemig("-migrate");
  ASSERT_EQ(migration.exitStatus, 0) << migration.out;
  const ProcessResult verify = lodemig("-verify");
  EXPECT_EQ(verify.exitStatus, 0) << verify.out;
  EXPECT_TRUE(contains(verify.out,
                       "   Info: folders \"Sent\" and \"Sent Items\" go into \"Sent\": compared "
                       "together\n"))
      << verify.out;
  EXPECT_TRUE(contains(verify.out, "   - \"Sent\" and \"Sent Items\", messages: 3, ok\n"));
  EXPECT_TRUE(contains(verify.out, "Result: verification successful\n"));
}

}  // namespace
}  // namespace lodemig::testing
