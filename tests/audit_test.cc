// End-to-end tests of the runs that only look at the target: the pre-flight
// check before a migration and the audit after one.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class AuditTest : public MigrationTest {
 protected:
  // Runs lodemig with `mode` (-check or -verify) against the running server.
  ProcessResult audit(const std::string& mode, std::vector<std::string> arguments = {},
                      const std::string& work = "") {
    const std::string directory = work.empty() ? dir_ / "audit" : work;
    makeDirectories(directory);
    std::vector<std::string> all = {"-path",
                                    store_,
                                    mode,
                                    "-server",
                                    "127.0.0.1",
                                    "-port",
                                    server_->portText(),
                                    "-password",
                                    "master",
                                    "-primaryDomain",
                                    "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.workingDirectory = directory;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  bool targetHasAccount(const std::string& account) const {
    return std::filesystem::exists(accountDirectory(account));
  }

  const std::string report_ = dir_ / "report.csv";
};

TEST_F(AuditTest, CheckNamesMergingFoldersExistingAccountsAndOversizedMessages) {
  builder_.account("", "hal", AccountDirectory)
      .settings("{ Password = halpw; }")
      .info(
          "{ INBOX = { Messages = #1; }; \"a:b\" = { Messages = #1; }; "
          "a_b = { Messages = #1; }; }");
  builder_.mailboxFile("", "hal", "INBOX", messages("hal", 1));
  builder_.mailboxFile("", "hal", "a:b", messages("ab", 1));
  // 200 bytes of body: over the limit below, where the others (about 24) are not.
  builder_.mailboxFile("", "hal", "a_b",
                       {{"S", "1", "Wed Jun 30 21:49:08 1993",
                         "Subject: big\r\n\r\n" + std::string(200, 'x') + "\r\n"}});
  inboxAccount("ivy", 2);
  startServer({"--account", "ivy@example.com:old", "--append-limit", "100"});
  ProcessResult result = audit("-check");
  EXPECT_EQ(result.exitStatus, 1) << result.out;
  EXPECT_TRUE(contains(result.out, "Info: Torvane accepts messages of at most 100B\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out,
                       "Warning: folders \"a:b\" and \"a_b\" of <hal@example.com> "
                       "would merge into \"a_b\"\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out,
                       "Warning: message 1 of folder \"a_b\" of <hal@example.com> "
                       "(218B) is over Torvane's limit\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out,
                       "Warning: <ivy@example.com> exists on Torvane: a migration "
                       "skips it without -force\n"));
  EXPECT_FALSE(contains(result.out, "<hal@example.com> exists"));
  EXPECT_TRUE(contains(result.out,
                       "Result: check found problems\n"
                       "Info: accounts: 2, 1 on Torvane already\n"
                       "Info: folders: 4\n"
                       "Info: messages: 5, "));
  EXPECT_TRUE(contains(result.out, "Info: a migration would take about "));
  // Nothing was written to the target, and no password file was left.
  EXPECT_FALSE(targetHasAccount("hal@example.com"));
  EXPECT_TRUE(lodemigFiles(dir_ / "audit", "pass").empty());
  EXPECT_EQ(lodemigFiles(dir_ / "audit", "log").size(), 1u);
}

TEST_F(AuditTest, CheckPassesWhenForceTakesExistingAccountsAndNamesTheirFolders) {
  inboxAccount("jay", 2);
  inboxAccount("kim", 1);
  startServer();
  ASSERT_EQ(migrate({"-domain", "example.com", "-user", "kim"}).exitStatus, 0);
  ProcessResult result = audit("-check", {"-force"});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(contains(result.out,
                       "Info: <kim@example.com> exists on Torvane: -force migrates "
                       "into it\n"
                       "Info: folder \"INBOX\" of <kim@example.com> holds 1 messages "
                       "on Torvane already\n"))
      << result.out;
  EXPECT_TRUE(contains(result.out, "Result: check passed\n"));
  EXPECT_FALSE(targetHasAccount("jay@example.com"));
  // Without -force the same account would be skipped: a problem.
  EXPECT_EQ(audit("-check", {}, dir_ / "again").exitStatus, 1);
}

TEST_F(AuditTest, VerifyAfterACleanMigrationMatchesEveryFolder) {
  builder_.account("", "lea", AccountDirectory)
      .settings("{ Password = leapw; }")
      .info("{ INBOX = { Messages = #2; }; Empty = { Messages = #0; }; }");
  builder_.mailboxFile("", "lea", "INBOX",
                       {{"SA", "1", "Wed Jun 30 21:49:08 1993", "Subject: a\n\nbare LFs\n"},
                        {"F", "2", "Thu Jul  1 08:00:00 1993", "Subject: b\r\n\r\nbody\r\n"}});
  builder_.mailboxFile("", "lea", "Empty", {});
  startServer();
  ASSERT_EQ(migrate().exitStatus, 0);
  ProcessResult result = audit("-verify", {"-report", report_});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(contains(result.out, "Result: verification successful\n")) << result.out;
  const std::string rows = readFile(report_);
  // Sizes as sent: each bare LF became CR LF.
  EXPECT_TRUE(contains(rows,
                       "example.com,lea@example.com,INBOX,INBOX,,2,44,0,0,0,2,2,ok,"
                       ",0\r\n"))
      << rows;
  EXPECT_TRUE(contains(rows, "example.com,lea@example.com,Empty,Empty,,0,0,0,0,0,0,0,ok,,0\r\n"))
      << rows;
  EXPECT_TRUE(lodemigFiles(dir_ / "audit", "pass").empty());
}

TEST_F(AuditTest, VerifyNamesTheFolderOfALostDoubledOrAlteredMessage) {
  inboxAccount("max", 2);
  const struct {
    const char* fault;
    const char* verdict;
    const char* error;
  } cases[] = {
      {"--lose-append", "missing", "the target holds 1 messages, 2 in the store"},
      {"--double-append", "extra", "the target holds 3 messages, 2 in the store"},
      {"--alter-append", "failed", "1 of 2 messages differ in size, date or flags"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.fault);
    startServer({test.fault, "2"});
    const std::string work = dir_ / (std::string("work") + test.fault);
    ASSERT_EQ(migrate({}, work).exitStatus, 0);
    ProcessResult result = audit("-verify", {"-report", report_}, work);
    EXPECT_EQ(result.exitStatus, 1) << result.out;
    EXPECT_TRUE(contains(result.out, std::string("Error: folder \"INBOX\" of <max@example.com>: ") +
                                         test.error + "\n"))
        << result.out;
    EXPECT_TRUE(contains(readFile(report_), std::string(",") + test.verdict + ","));
    EXPECT_TRUE(contains(result.out, "Result: verification failed\n"));
  }
  // An account the target never got is named too.
  startServer();
  ProcessResult missing = audit("-verify", {}, dir_ / "fresh");
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_TRUE(contains(missing.out, "Error: <max@example.com> is not on Torvane\n")) << missing.out;
}

}  // namespace
}  // namespace lodemig::testing
