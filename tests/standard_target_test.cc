// A standard IMAP server as the target: the example store into a private
// dovecot instance that knows the accounts and a master user, checked with
// doveadm against what the stand-in target receives of the same store.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/migration_fixture.h"
#include "tests/process.h"
#include "tests/temp_dir.h"
#include "tests/test_certificates.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";

std::set<std::string> flagSet(const std::string& text) {
  std::set<std::string> flags;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (word != "\\Recent") {  // a client cannot set it; fresh messages have it
      flags.insert(word);
    }
  }
  return flags;
}

// "30-Jun-1993 21:49:08 +0000" as seconds since the epoch.
std::string unixTime(const std::string& date) {
  std::tm parts{};
  const char* rest = ::strptime(date.c_str(), "%d-%b-%Y %H:%M:%S", &parts);
  if (rest == nullptr) {
    return "<bad date " + date + ">";
  }
  int offset = 0;
  std::sscanf(rest, " %d", &offset);
  const long seconds =
      static_cast<long>(::timegm(&parts)) - (offset / 100 * 3600 + offset % 100 * 60);
  return std::to_string(seconds);
}

class StandardTargetTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
  }

  DovecotOptions accounts(std::vector<std::pair<std::string, std::string>> users) {
    DovecotOptions options;
    options.users = std::move(users);
    options.masterUser = kAdmin;
    options.masterPassword = kMasterPassword;
    options.specialFolders = true;
    return options;
  }

  ProcessResult migrateInto(const Dovecot& dovecot, const std::string& store,
                            std::vector<std::string> arguments, ProcessOptions options = {},
                            const std::string& run = "-migrate") {
    std::vector<std::string> all = {"-path",
                                    store,
                                    run,
                                    "-server",
                                    "127.0.0.1",
                                    "-port",
                                    std::to_string(dovecot.port()),
                                    "-password",
                                    kMasterPassword,
                                    "-targetType",
                                    "imap",
                                    "-admin",
                                    kAdmin,
                                    "-primaryDomain",
                                    "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  // Every message of `user` on dovecot: folder, flags, date and text, as
  // Stored values (command empty), sorted.
  std::vector<Stored> dovecotMessages(const Dovecot& dovecot, const std::string& user) {
    int status = 0;
    const std::string list =
        dovecot.doveadm({"-f", "tab", "fetch", "-u", user, "mailbox uid", "all"}, &status);
    EXPECT_EQ(status, 0) << list;
    std::vector<Stored> messages;
    std::istringstream lines(list);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      const std::size_t tab = line.find('\t');
      if (tab == std::string::npos) {
        continue;
      }
      const std::string mailbox = line.substr(0, tab);
      const int uid = std::stoi(line.substr(tab + 1));
      Stored message;
      message.folder = mailbox;
      const auto flags = flagSet(dovecot.fetch(user, mailbox, "flags", uid));
      for (const std::string& flag : flags) {
        message.flags += flag + " ";
      }
      message.date = dovecot.fetch(user, mailbox, "date.received.unixtime", uid);
      message.content = dovecot.fetch(user, mailbox, "text", uid);
      messages.push_back(message);
    }
    std::sort(messages.begin(), messages.end());
    return messages;
  }
};

// What the stand-in received, as dovecot should hold it: the folders where
// a standard server puts them, flags without \Recent, dates as numbers, and
// the non-mail folders left out.
std::vector<Stored> expectedOnDovecot(const std::vector<Stored>& received) {
  const std::map<std::string, std::string> places = {{"Sent Items", "Sent"},
                                                     {"Archive/2007", "Archive.2007"}};
  std::vector<Stored> expected;
  for (Stored message : received) {
    if (message.folder == "Calendar" || message.folder == "Contacts") {
      continue;
    }
    if (auto place = places.find(message.folder); place != places.end()) {
      message.folder = place->second;
    }
    std::string flags;
    for (const std::string& flag : flagSet(message.flags)) {
      flags += flag + " ";
    }
    message.flags = flags;
    message.date = unixTime(message.date);
    message.command.clear();
    expected.push_back(message);
  }
  std::sort(expected.begin(), expected.end());
  return expected;
}

TEST_F(StandardTargetTest, ExampleStoreArrivesWithFlagsAndDatesAndNonMailFoldersSkipped) {
  const std::string examples = std::string(LODEMIG_SOURCE_DIR) + "/examples";
  startServer();
  std::vector<std::string> stand = {"-path",     examples,         "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com",       "-quiet"};
  ProcessOptions quiet;
  quiet.workingDirectory = dir_ / "stand-in";
  makeDirectories(quiet.workingDirectory);
  ASSERT_EQ(runProcess(LODEMIG_BINARY, stand, quiet).exitStatus, 0);
  server_->stop();

  ScopedTempDir home;
  const Dovecot dovecot(
      home,
      accounts({{"john@example.com", "x"}, {"mary@example.com", "x"}, {"bob@example.org", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  const ProcessResult run = migrateInto(dovecot, examples, {"-report", work_ + "/r.csv"});
  EXPECT_EQ(run.exitStatus, 0) << run.out << readFile(onlyLodemigFile(work_, "log"));
  EXPECT_TRUE(contains(run.out, "   - \"Calendar\", skipped: a calendar folder")) << run.out;
  EXPECT_TRUE(contains(run.out, "   - \"Contacts\", skipped: a contacts folder")) << run.out;
  EXPECT_TRUE(contains(run.out,
                       "   Info: folder \"Sent Items\" goes into \"Sent\", the "
                       "target's sent folder\n"))
      << run.out;
  EXPECT_TRUE(contains(run.out, "Result: migration successful")) << run.out;
  // No account was created, so no password is recorded.
  EXPECT_TRUE(lodemigFiles(work_, "pass").empty());
  const std::string report = readFile(work_ + "/r.csv");
  EXPECT_TRUE(contains(report, ",Calendar,")) << report;
  EXPECT_EQ(countOf(report, ",missing,") + countOf(report, ",failed,"), 0) << report;

  for (const std::string user : {"john@example.com", "mary@example.com", "bob@example.org"}) {
    EXPECT_EQ(dovecotMessages(dovecot, user), expectedOnDovecot(storedMessages(user))) << user;
  }
  // The audit finds every folder where the migration put it.
  const ProcessResult audit = migrateInto(dovecot, examples, {}, {}, "-verify");
  EXPECT_EQ(audit.exitStatus, 0) << audit.out;
  EXPECT_TRUE(contains(audit.out, "Result: verification successful")) << audit.out;
  // A standard server is named for what it is, never as the private target.
  EXPECT_TRUE(contains(audit.out, "\nIMAP server hostname: 127.0.0.1:")) << audit.out;
  EXPECT_TRUE(contains(audit.out, " on the IMAP server 127.0.0.1\n")) << audit.out;
  // (The tool's own banner line is its name, and stays.)
  EXPECT_EQ(countOf(run.out + audit.out, "Torvane"), countOf(run.out + audit.out, " to Torvane "))
      << run.out << audit.out;
}

TEST_F(StandardTargetTest, UnknownAccountFailsAloneAndLoginFormWorks) {
  ScopedTempDir home;
  // mary is not on the server.
  const Dovecot dovecot(home, accounts({{"john@example.com", "x"}, {"bob@example.org", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  const std::string examples = std::string(LODEMIG_SOURCE_DIR) + "/examples";
  // The check says so beforehand.
  const ProcessResult check = migrateInto(dovecot, examples, {}, {}, "-check");
  EXPECT_EQ(check.exitStatus, 1) << check.out;
  EXPECT_TRUE(contains(check.out,
                       "Warning: <mary@example.com> cannot be logged in to on the "
                       "target: a migration fails it"))
      << check.out;
  EXPECT_TRUE(contains(check.out, "Info: <john@example.com> exists on the target\n")) << check.out;
  EXPECT_TRUE(contains(check.out, "Info: folder \"Calendar\" of <john@example.com> is skipped"))
      << check.out;
  const ProcessResult run =
      migrateInto(dovecot, examples, {"-loginForm", "USER*ADMIN", "-nonMailFolders", "create"});
  EXPECT_EQ(run.exitStatus, 1) << run.out;
  EXPECT_TRUE(contains(run.out, "the target refused the login for <mary@example.com>"))
      << run.out << readFile(onlyLodemigFile(work_, "log")) << readFile(home / "dovecot.log");
  EXPECT_TRUE(contains(run.out, "Result: migration failed")) << run.out;
  // The accounts before and after it arrived, non-mail folders as mail.
  int status = 0;
  const std::string johns = dovecot.doveadm({"mailbox", "list", "-u", "john@example.com"}, &status);
  EXPECT_TRUE(contains(johns, "Calendar\n")) << johns;
  const std::string bobs =
      dovecot.doveadm({"mailbox", "status", "-u", "bob@example.org", "messages", "INBOX"}, &status);
  EXPECT_TRUE(contains(bobs, "messages=2")) << bobs;
}

TEST_F(StandardTargetTest, WrongMasterPasswordEndsTheRunAtTheFirstAccount) {
  ScopedTempDir home;
  DovecotOptions options =
      accounts({{"john@example.com", "x"}, {"mary@example.com", "x"}, {"bob@example.org", "x"}});
  options.masterPassword = "not-what-the-run-sends";
  const Dovecot dovecot(home, options);
  ASSERT_EQ(dovecot.problem(), "");
  const std::string examples = std::string(LODEMIG_SOURCE_DIR) + "/examples";
  const std::string refused =
      "Error: the target refused the administrator's login (-admin \"admin\" with the master "
      "password, AUTHENTICATIONFAILED) for <john@example.com>, the first account tried: check "
      "-admin and the master password\n";
  for (const char* run : {"-migrate", "-check"}) {
    const ProcessResult result = migrateInto(dovecot, examples, {}, {}, run);
    EXPECT_EQ(result.exitStatus, 1) << run << result.out;
    EXPECT_EQ(countOf(result.out, refused), 1) << run << result.out;
    // Not blamed on the accounts, and no further account is tried.
    EXPECT_FALSE(contains(result.out, "may not exist")) << run << result.out;
    EXPECT_FALSE(contains(result.out, "cannot be logged in to")) << run << result.out;
    EXPECT_FALSE(contains(result.out, "mary@example.com")) << run << result.out;
  }
}

TEST_F(StandardTargetTest, UndeclaredSpecialFoldersAreSaidAndNamesReadInUtf8) {
  builder_.account("", "ann", AccountDirectory)
      .settings("{ Password = x; }")
      .info(
          "{ INBOX = { Messages = #1; }; \"Sent Items\" = { Messages = #1; }; "
          "\"Проекты\" = { Messages = #1; }; }");
  for (const char* folder : {"INBOX", "Sent Items", "Проекты"}) {
    builder_.mailboxFile("", "ann", folder, messages(folder, 1));
  }
  ScopedTempDir home;
  // As a stock configuration has it: no special folder exists yet.
  DovecotOptions options = accounts({{"ann@example.com", "x"}});
  options.specialFolders = false;
  const Dovecot dovecot(home, options);
  ASSERT_EQ(dovecot.problem(), "");
  const std::string unmarked =
      "\"Sent Items\": the target marks no folder \\Sent, its clients may make their own sent "
      "folder beside it\n";
  const ProcessResult check = migrateInto(dovecot, store_, {}, {}, "-check");
  EXPECT_TRUE(contains(check.out,
                       "Warning: folder \"Sent Items\" of <ann@example.com> would go "
                       "into " +
                           unmarked))
      << check.out;
  EXPECT_TRUE(contains(check.out, "1 on the IMAP server 127.0.0.1 already\n")) << check.out;
  const ProcessResult run = migrateInto(dovecot, store_, {"-report", work_ + "/r.csv"});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_TRUE(contains(run.out, "   Warning: folder \"Sent Items\" goes into " + unmarked))
      << run.out;
  const std::string report = readFile(work_ + "/r.csv");
  EXPECT_TRUE(contains(report, ",ann@example.com,Проекты,Проекты,mail,1,")) << report;
  EXPECT_FALSE(contains(report, "X-MAIL")) << report;
  int status = 0;
  EXPECT_TRUE(contains(dovecot.doveadm({"mailbox", "list", "-u", "ann@example.com"}, &status),
                       "Проекты\n"));
}

TEST_F(StandardTargetTest, KilledRunResumedWithTheJournalHasEveryMessageOnce) {
  inboxAccount("many", 400);
  ScopedTempDir home;
  const Dovecot dovecot(home, accounts({{"many@example.com", "x"}}));
  ASSERT_EQ(dovecot.problem(), "");
  const std::string journal = work_ + "/run.journal";
  // Killed once the folder's start is committed (the database's log has
  // it), while its messages go out: those that arrived have no record yet.
  ProcessOptions killed;
  killed.signalWhen = [&journal] {
    std::error_code error;
    return std::filesystem::file_size(journal + "-wal", error) > 0 && !error;
  };
  const ProcessResult first = migrateInto(dovecot, store_, {"-journal", journal, "-quiet"}, killed);
  EXPECT_EQ(first.exitStatus, 128 + 9);
  ProcessResult again;
  for (int round = 0; round < 5 && again.exitStatus != 0; ++round) {
    again = migrateInto(dovecot, store_, {"-journal", journal, "-quiet"});
  }
  ASSERT_EQ(again.exitStatus, 0) << again.out;
  int status = 0;
  const std::string subjects = dovecot.doveadm(
      {"-f", "tab", "fetch", "-u", "many@example.com", "hdr.subject", "all"}, &status);
  ASSERT_EQ(status, 0);
  std::multiset<std::string> seen;
  std::istringstream lines(subjects);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    seen.insert(line);
  }
  ASSERT_EQ(seen.size(), 400u);
  for (int i = 1; i <= 400; ++i) {
    EXPECT_EQ(seen.count("many " + std::to_string(i)), 1u) << i;
  }
}

TEST_F(StandardTargetTest, OverTlsWithJobsAndAFolderMap) {
  inboxAccount("ann", 20);
  inboxAccount("ben", 20);
  makeDirectories(dir_ / "certs");
  const TestCertificates certificates = makeTestCertificates(dir_ / "certs");
  DovecotOptions options = accounts({{"ann@example.com", "x"}, {"ben@example.com", "x"}});
  options.tlsCert = certificates.validCert;
  options.tlsKey = certificates.validKey;
  ScopedTempDir home;
  const Dovecot dovecot(home, options);
  ASSERT_EQ(dovecot.problem(), "");
  writeFile(dir_ / "map", "# the store's INBOX goes elsewhere\nINBOX\tImported.Old Inbox\n");
  std::vector<std::string> all = {"-path",
                                  store_,
                                  "-migrate",
                                  "-server",
                                  "127.0.0.1",
                                  "-port",
                                  std::to_string(dovecot.tlsPort()),
                                  "-tls",
                                  "-caFile",
                                  certificates.caFile,
                                  "-password",
                                  kMasterPassword,
                                  "-targetType",
                                  "imap",
                                  "-admin",
                                  kAdmin,
                                  "-primaryDomain",
                                  "example.com",
                                  "-jobs",
                                  "2",
                                  "-window",
                                  "4",
                                  "-folderMap",
                                  dir_ / "map"};
  ProcessOptions run;
  run.workingDirectory = work_;
  makeDirectories(work_);
  const ProcessResult result = runProcess(LODEMIG_BINARY, all, run);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(contains(result.out,
                       "   Info: folder \"INBOX\" goes into \"Imported.Old Inbox\", "
                       "as the folder map says\n"))
      << result.out;
  for (const std::string user : {"ann@example.com", "ben@example.com"}) {
    int status = 0;
    const std::string count = dovecot.doveadm(
        {"mailbox", "status", "-u", user, "messages", "Imported.Old Inbox"}, &status);
    EXPECT_TRUE(contains(count, "messages=20")) << user << ": " << count;
  }
}

}  // namespace
}  // namespace lodemig::testing
