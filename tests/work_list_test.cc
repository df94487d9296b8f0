// End-to-end tests of the work lists: -usersFile selects the accounts,
// -failedFile names those that failed, for the next run's -usersFile.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class WorkListTest : public MigrationTest {
 protected:
  void SetUp() override {
    for (const char* name : {"amy", "bo", "cy", "dee"}) {
      inboxAccount(name, 2);
    }
  }
  std::string listFile(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    std::ofstream(path) << text;
    return path;
  }
  // The file's lines, sorted: the walk's order is the directory's.
  static std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  const std::string failed_ = dir_ / "failed.txt";
};

TEST_F(WorkListTest, UsersFileSelectsExactlyItsAccountsAndFailsThoseTheStoreLacks) {
  startServer();
  const std::string users = listFile(
      "users.txt", "# wave 1\nBO@Example.com\n  dee@example.com # last\nzed@example.com\n");
  const std::string report = dir_ / "report.csv";
  const ProcessResult run = migrate({"-usersFile", users, "-report", report});
  EXPECT_EQ(run.exitStatus, 1) << run.out;
  EXPECT_EQ(countOf(run.out, " + mailbox <"), 2) << run.out;
  EXPECT_TRUE(contains(run.out, " + mailbox <bo>")) << run.out;
  EXPECT_TRUE(contains(run.out, " + mailbox <dee>")) << run.out;
  EXPECT_TRUE(contains(
      run.out, "\nError: account <zed@example.com> of the users file is not in the store\n"))
      << run.out;
  EXPECT_EQ(arrivedCount("amy@example.com"), 0);
  EXPECT_EQ(arrivedCount("dee@example.com"), 2);
  EXPECT_TRUE(contains(readFile(report),
                       "example.com,zed@example.com,,,,0,0,0,0,0,,,failed,the account of the "
                       "users file is not in the store,0\r\n"))
      << readFile(report);

  // A print run lists the same accounts.
  ProcessOptions options;
  options.workingDirectory = work_;
  const ProcessResult print =
      runProcess(LODEMIG_BINARY,
                 {"-path", store_, "-primaryDomain", "example.com", "-usersFile", users}, options);
  EXPECT_EQ(print.exitStatus, 1) << print.out;
  EXPECT_EQ(countOf(print.out, " + mailbox <"), 2) << print.out;
  EXPECT_TRUE(contains(print.out,
                       "Error: account <zed@example.com> of the users file is not in "
                       "the store\n"))
      << print.out;
}

TEST_F(WorkListTest, FailedFileFedBackMigratesOnlyTheAccountsThatFailed) {
  startServer({"--refuse-setuser", "bo@example.com", "--refuse-setuser", "dee@example.com"});
  const ProcessResult first = migrate({"-failedFile", failed_});
  EXPECT_EQ(first.exitStatus, 1) << first.out;
  EXPECT_EQ(sortedLines(readFile(failed_)),
            (std::vector<std::string>{"bo@example.com", "dee@example.com"}));

  startServer();
  const ProcessResult again = migrate({"-usersFile", failed_, "-failedFile", failed_});
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  EXPECT_EQ(countOf(again.out, " + mailbox <"), 2) << again.out;
  EXPECT_EQ(arrivedCount("bo@example.com"), 2);
  EXPECT_EQ(arrivedCount("dee@example.com"), 2);
  EXPECT_EQ(arrivedCount("amy@example.com"), 0);
  // Nothing failed this time: the file is empty again.
  EXPECT_EQ(readFile(failed_), "");
}

TEST_F(WorkListTest, FailedFileNamesTheAccountsARunThatEndedEarlyDidNotReach) {
  startServer();
  server_->stop();
  const ProcessResult down = migrate({"-failedFile", failed_});
  EXPECT_EQ(down.exitStatus, 3) << down.out;
  EXPECT_EQ(sortedLines(readFile(failed_)),
            (std::vector<std::string>{"amy@example.com", "bo@example.com", "cy@example.com",
                                      "dee@example.com"}));
}

TEST_F(WorkListTest, ListThatCannotBeUsedIsAnArgumentError) {
  startServer();
  const std::string bad = listFile("bad.txt", "amy@example.com\n\nbo\n");
  const ProcessResult refused = migrate({"-usersFile", bad});
  EXPECT_EQ(refused.exitStatus, 2);
  EXPECT_EQ(refused.out,
            "Argument error: users file " + bad + ", line 3: \"bo\" is not user@domain\n");
  const ProcessResult masks = migrate({"-usersFile", bad, "-domain", "example.com"});
  EXPECT_EQ(masks.exitStatus, 2);
  const ProcessResult unwritable = migrate({"-failedFile", dir_ / "missing/failed.txt"});
  EXPECT_EQ(unwritable.exitStatus, 2);
  EXPECT_EQ(unwritable.out, "Argument error: cannot write failed accounts file " +
                                (dir_ / "missing/failed.txt") + ": No such file or directory\n");
  EXPECT_EQ(arrivedCount("amy@example.com"), 0);
}

}  // namespace
}  // namespace lodemig::testing
