// End-to-end tests of the CSV report and the count check after each folder.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class ReportTest : public MigrationTest {
 protected:
  // The summary lines of the console, the time line left out.
  static std::string summaryOf(const std::string& out) {
    std::string summary;
    std::size_t at = out.find("Result: migration ");
    at = at == std::string::npos ? at : out.find('\n', at);
    while (at != std::string::npos && at + 1 < out.size()) {
      const std::size_t end = out.find('\n', at + 1);
      const std::string line = out.substr(at + 1, end - at - 1);
      if (line.rfind("Info: time: ", 0) != 0) {
        summary += line + "\n";
      }
      at = end;
    }
    return summary;
  }

  const std::string report_ = dir_ / "report.csv";
};

TEST_F(ReportTest, EveryFolderAndFailedAccountHasItsRowVerdictAndTotals) {
  // example.com: an account whose identity switch is refused, one whose
  // folder cannot be read to its end.
  inboxAccount("amy", 1);
  builder_.account("", "cid", AccountDirectory)
      .settings("{ Password = cidpw; }")
      .info("{ A = { Messages = #1; }; B = { Class = IPF.Note; Messages = #1; }; }");
  // The folder's one message file cannot be opened.
  makeDirectories(builder_.messageDirectoryPath("", "cid", "A"));
  const std::string dangling = builder_.messageDirectoryPath("", "cid", "A") + "/3-S-x-h";
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  builder_.mailboxFile("", "cid", "B", messages("b", 1));
  startServer({"--refuse-setuser", "amy@example.com"});
  ProcessResult result = migrate({"-domain", "example.com", "-report", report_});
  EXPECT_EQ(result.exitStatus, 1);
  std::string rows = readFile(report_);
  // Walk order is the directory's: compare the rows as a set.
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < rows.size();) {
    const std::size_t end = rows.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "every row ends in CR LF";
    lines.push_back(rows.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0],
            "domain,account,folder,target_folder,kind,store_messages,store_bytes,sent,refused,"
            "skipped,target_before,target_after,verdict,error,matched");
  std::sort(lines.begin() + 1, lines.end());
  EXPECT_EQ(
      std::vector<std::string>(lines.begin() + 1, lines.end()),
      (std::vector<std::string>{
          "example.com,amy@example.com,,,,0,0,0,0,0,,,failed,problem with identity switching,0",
          "example.com,cid@example.com,A,A,,1,0,0,0,0,0,0,failed,"
          "\"message 1: cannot read messages file \"\"3-S-x-h\"\": No such file or directory\",0",
          "example.com,cid@example.com,B,B,X-MAIL,1,22,1,0,0,0,1,ok,,0",
      }));
  EXPECT_EQ(summaryOf(result.out),
            "Info: accounts: 0 migrated, 0 skipped, 2 failed\n"
            "Info: folders: 2, 1 not ok\n"
            "Info: messages: 1 sent, 0 refused, 1 verified, 0 already there\n"
            "Info: bytes sent: 22B\n");
  struct stat status {};
  ASSERT_EQ(stat(report_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"),
                       "Error: cannot read message 1 of folder \"A\" of <cid@example.com>: "
                       "cannot read messages file \"3-S-x-h\": No such file or directory\n"));
}

TEST_F(ReportTest, RefusedAndLostMessagesFailTheirFolderByName) {
  // Appends are numbered over the server's life: one account alone.
  builder_.account("example.org", "dan", AccountDirectory)
      .settings("{ Password = danpw; }")
      .info("{ INBOX = { Messages = #4; }; \"x,y\" = { Messages = #1; }; }");
  builder_.mailboxFile("example.org", "dan", "INBOX", messages("dan", 4));
  builder_.mailboxFile("example.org", "dan", "x,y", messages("xy", 1));
  startServer({"--refuse-append", "2", "--lose-append", "5"});
  ProcessResult result = migrate({"-domain", "example.org", "-report", report_});
  EXPECT_EQ(result.exitStatus, 1);
  const std::string rows = readFile(report_);
  EXPECT_TRUE(contains(rows,
                       "example.org,dan@example.org,INBOX,INBOX,,4,72,3,1,0,0,3,"
                       "failed,message 2: append message error,0\r\n"))
      << rows;
  // The target said OK to the folder's one message but does not hold it.
  EXPECT_TRUE(contains(rows,
                       "example.org,dan@example.org,\"x,y\",\"x,y\",,1,23,1,0,0,0,0,"
                       "missing,\"the target holds 0 messages, 1 expected\",0\r\n"))
      << rows;
  EXPECT_TRUE(contains(result.out,
                       "Error: folder \"x,y\" of <dan@example.org> holds 0 messages, "
                       "1 expected\n"));
  const std::string log = onlyLodemigFile(work_, "log");
  EXPECT_TRUE(contains(log,
                       "Error: message 2 of folder \"INBOX\" of <dan@example.org> was not "
                       "stored: append message error\n"));
  EXPECT_TRUE(contains(log, "Error: folder \"x,y\" of <dan@example.org> holds 0 messages"));
  EXPECT_EQ(summaryOf(result.out),
            "Info: accounts: 0 migrated, 0 skipped, 1 failed\n"
            "Info: folders: 2, 2 not ok\n"
            "Info: messages: 4 sent, 1 refused, 0 verified, 0 already there\n"
            "Info: bytes sent: 95B\n");
}

TEST_F(ReportTest, CleanRunVerifiesEverythingAndRowsOfSkippedAccounts) {
  inboxAccount("eve", 2);
  inboxAccount("fay", 1);
  startServer({"--account", "fay@example.com:old"});
  ProcessResult result = migrate({"-report", report_});
  EXPECT_EQ(result.exitStatus, 0);
  const std::string rows = readFile(report_);
  EXPECT_TRUE(contains(rows, "example.com,eve@example.com,INBOX,INBOX,,2,48,2,0,0,0,2,ok,,0\r\n"))
      << rows;
  EXPECT_TRUE(contains(rows,
                       "example.com,fay@example.com,,,,0,0,0,0,0,,,skipped,"
                       "the account exists on the target; -force migrates it,0\r\n"))
      << rows;
  EXPECT_EQ(summaryOf(result.out),
            "Info: accounts: 1 migrated, 1 skipped, 0 failed\n"
            "Info: folders: 1, 0 not ok\n"
            "Info: messages: 2 sent, 0 refused, 2 verified, 0 already there\n"
            "Info: bytes sent: 48B\n");
  // Without -report the same summary, with nothing verified: the target's
  // counts are asked for the report file only.
  startServer();
  EXPECT_EQ(summaryOf(migrate({}, dir_ / "plain").out),
            "Info: accounts: 2 migrated, 0 skipped, 0 failed\n"
            "Info: folders: 2, 0 not ok\n"
            "Info: messages: 3 sent, 0 refused, 0 verified, 0 already there\n"
            "Info: bytes sent: 72B\n");
}

TEST_F(ReportTest, ReportThatCannotBeWrittenIsAnArgumentError) {
  inboxAccount("gus", 1);
  startServer();
  ProcessResult result = migrate({"-report", dir_ / "missing/report.csv"});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.out, "Argument error: cannot write report " + (dir_ / "missing/report.csv") +
                            ": No such file or directory\n");
  EXPECT_TRUE(storedMessages("gus@example.com").empty());
}

}  // namespace
}  // namespace lodemig::testing
