// Folders on a standard IMAP server: a migration subscribes every folder it
// fills, since many clients show no other, and -check and -verify say which
// are not subscribed. Against a private dovecot instance, asked with doveadm.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/migration_fixture.h"
#include "tests/process.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";

class SubscriptionsTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
  }

  static DovecotOptions accounts(std::vector<std::pair<std::string, std::string>> users) {
    DovecotOptions options;
    options.users = std::move(users);
    options.masterUser = kAdmin;
    options.masterPassword = kMasterPassword;
    options.specialFolders = true;
    return options;
  }

  // lodemig `run` (-migrate, -check, -verify) of `store` into dovecot.
  ProcessResult runInto(const Dovecot& dovecot, const std::string& store, const std::string& run,
                        const std::vector<std::string>& more = {}) {
    std::vector<std::string> all = {
        "-path",          store,           "-server",
        "127.0.0.1",      "-port",         std::to_string(dovecot.port()),
        "-password",      kMasterPassword, "-targetType",
        "imap",           "-admin",        kAdmin,
        "-primaryDomain", "example.com",   run};
    all.insert(all.end(), more.begin(), more.end());
    makeDirectories(work_);
    ProcessOptions options;
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  // The folders `user` has subscribed, as dovecot lists them.
  static std::set<std::string> subscribed(const Dovecot& dovecot, const std::string& user) {
    int status = 0;
    const std::string list = dovecot.doveadm({"mailbox", "list", "-s", "-u", user}, &status);
    EXPECT_EQ(status, 0) << list;
    std::set<std::string> names;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
      names.insert(line);
    }
    return names;
  }

  // The target folders of `account`'s mail rows in the report at `path`.
  static std::set<std::string> reportedFolders(const std::string& path,
                                               const std::string& account) {
    std::set<std::string> folders;
    std::istringstream lines(readFile(path));
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, ',');) {
        fields.push_back(cell);
      }
      if (fields.size() > 4 && fields[1] == account && fields[4] == "mail") {
        folders.insert(fields[3]);
      }
    }
    return folders;
  }
};

TEST_F(SubscriptionsTest, MigratedFoldersAreSubscribedAndVerifyFailsOnOneUnsubscribedByHand) {
  const std::string examples = std::string(LODEMIG_SOURCE_DIR) + "/examples";
  ScopedTempDir home;
  const Dovecot dovecot(
      home,
      accounts({{"john@example.com", "x"}, {"mary@example.com", "x"}, {"bob@example.org", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  // The INBOX exists before any migration, and no account has subscribed it.
  const ProcessResult before = runInto(dovecot, examples, "-check");
  EXPECT_TRUE(contains(before.out,
                       "Warning: folder \"INBOX\" of <john@example.com> is not subscribed on the "
                       "target: a migration subscribes it\n"))
      << before.out;

  const ProcessResult run = runInto(dovecot, examples, "-migrate", {"-report", work_ + "/r.csv"});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  for (const std::string user : {"john@example.com", "mary@example.com", "bob@example.org"}) {
    const std::set<std::string> migrated = reportedFolders(work_ + "/r.csv", user);
    EXPECT_TRUE(migrated.count("INBOX")) << user;
    const std::set<std::string> shown = subscribed(dovecot, user);
    for (const std::string& folder : migrated) {
      EXPECT_TRUE(shown.count(folder)) << user << ": " << folder;
    }
  }
  EXPECT_TRUE(reportedFolders(work_ + "/r.csv", "john@example.com").count("Archive.2007"));
  const ProcessResult audit = runInto(dovecot, examples, "-verify");
  EXPECT_EQ(audit.exitStatus, 0) << audit.out;
  EXPECT_FALSE(contains(audit.out, "subscribed")) << audit.out;

  int status = 0;
  dovecot.doveadm({"mailbox", "unsubscribe", "-u", "john@example.com", "Archive.2007"}, &status);
  ASSERT_EQ(status, 0);
  const ProcessResult again = runInto(dovecot, examples, "-verify", {"-report", work_ + "/v.csv"});
  EXPECT_EQ(again.exitStatus, 1) << again.out;
  EXPECT_EQ(countOf(again.out, "is not subscribed"), 1) << again.out;
  EXPECT_TRUE(contains(again.out,
                       "Warning: folder \"Archive.2007\" of <john@example.com> is not subscribed "
                       "on the target\n"))
      << again.out;
  EXPECT_TRUE(
      contains(readFile(work_ + "/v.csv"), ",john@example.com,Archive/2007,Archive.2007,mail,2,"))
      << readFile(work_ + "/v.csv");
  EXPECT_TRUE(
      contains(readFile(work_ + "/v.csv"), ",failed,the folder is not subscribed on the target,"))
      << readFile(work_ + "/v.csv");
  const ProcessResult check = runInto(dovecot, examples, "-check");
  EXPECT_TRUE(contains(check.out,
                       "Warning: folder \"Archive.2007\" of <john@example.com> is not subscribed "
                       "on the target: a migration subscribes it\n"))
      << check.out;
  EXPECT_EQ(countOf(check.out, "is not subscribed"), 1) << check.out;
}

TEST_F(SubscriptionsTest, RefusedSubscribeIsAWarningAndTheRunSucceeds) {
  builder_.account("", "ann", AccountDirectory)
      .settings("{ Password = x; }")
      .info("{ INBOX = { Messages = #2; }; Work = { Messages = #1; }; }");
  builder_.mailboxFile("", "ann", "INBOX", messages("in", 2));
  builder_.mailboxFile("", "ann", "Work", messages("work", 1));
  ScopedTempDir home;
  const Dovecot dovecot(home, accounts({{"ann@example.com", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  // Where the subscriptions are kept stands a directory: the server cannot
  // write them and refuses every SUBSCRIBE, but takes the messages.
  int status = 0;
  dovecot.doveadm({"mailbox", "create", "-u", "ann@example.com", "Work"}, &status);
  ASSERT_EQ(status, 0);
  const std::string mail = home / "mail/ann@example.com";
  struct stat owner {};
  ASSERT_EQ(::stat(mail.c_str(), &owner), 0);
  makeDirectories(mail + "/subscriptions");
  ASSERT_EQ(::chown((mail + "/subscriptions").c_str(), owner.st_uid, owner.st_gid), 0);

  const ProcessResult run = runInto(dovecot, store_, "-migrate", {"-report", work_ + "/r.csv"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << readFile(home / "dovecot.log");
  for (const char* folder : {"INBOX", "Work"}) {
    EXPECT_EQ(
        countOf(run.out, std::string("   Warning: the target refused to subscribe folder \"") +
                             folder + "\" of <ann@example.com> (NO "),
        1)
        << folder << ": " << run.out;
  }
  EXPECT_TRUE(contains(run.out, "Result: migration successful")) << run.out;
  const std::string report = readFile(work_ + "/r.csv");
  EXPECT_EQ(countOf(report, ",ok,"), 2) << report;
  const std::string count =
      dovecot.doveadm({"mailbox", "status", "-u", "ann@example.com", "messages", "Work"}, &status);
  EXPECT_TRUE(contains(count, "messages=1")) << count;
}

TEST_F(SubscriptionsTest, DeltaPassSubscribesAFolderItFillsAgain) {
  builder_.account("", "ann", AccountDirectory)
      .settings("{ Password = x; }")
      .info("{ INBOX = { Messages = #1; }; Work = { Messages = #1; }; }");
  builder_.mailboxFile("", "ann", "INBOX", messages("in", 1));
  builder_.mailboxFile("", "ann", "Work", messages("work", 1));
  ScopedTempDir home;
  const Dovecot dovecot(home, accounts({{"ann@example.com", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  const std::vector<std::string> withJournal = {"-journal", work_ + "/run.journal"};
  ASSERT_EQ(runInto(dovecot, store_, "-migrate", withJournal).exitStatus, 0);
  EXPECT_EQ(subscribed(dovecot, "ann@example.com"), (std::set<std::string>{"INBOX", "Work"}));
  int status = 0;
  dovecot.doveadm({"mailbox", "unsubscribe", "-u", "ann@example.com", "Work"}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(runInto(dovecot, store_, "-verify").exitStatus, 1);
  // A new message in Work: the delta pass fills it and subscribes it again.
  builder_.account("", "ann", AccountDirectory)
      .info("{ INBOX = { Messages = #1; }; Work = { Messages = #2; }; }");
  builder_.mailboxFile("", "ann", "Work", messages("work", 2));
  std::vector<std::string> delta = withJournal;
  delta.push_back("-delta");
  const ProcessResult pass = runInto(dovecot, store_, "-migrate", delta);
  EXPECT_EQ(pass.exitStatus, 0) << pass.out;
  EXPECT_EQ(subscribed(dovecot, "ann@example.com"), (std::set<std::string>{"INBOX", "Work"}));
  const ProcessResult audit = runInto(dovecot, store_, "-verify");
  EXPECT_EQ(audit.exitStatus, 0) << audit.out;
}

}  // namespace
}  // namespace lodemig::testing
