// End-to-end tests of what the run says about its own files: the log, the
// password file, the journal and the report, planted, unwritable or cut short,
// and of what a quiet run still shows.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "driver/run.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class PrivateFilesTest : public MigrationTest {
 protected:
  // The run files "lodemig_<second>.<extension>" of every start second from
  // now on, for a while: a run started now uses one of them.
  std::vector<std::string> comingRunFiles(const char* extension) const {
    makeDirectories(work_);
    std::vector<std::string> names;
    const std::time_t now = std::time(nullptr);
    for (int second = 0; second < 30; ++second) {
      names.push_back(work_ + "/lodemig_" + startTimestamp(now + second) + "." + extension);
    }
    return names;
  }

  static mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
  }
};

TEST_F(PrivateFilesTest, PlantedLinkAtThePasswordFileNameGetsNoPassword) {
  inboxAccount("ann", 1);
  startServer();
  const std::string stolen = dir_ / "stolen";
  for (const std::string& name : comingRunFiles("pass")) {
    ASSERT_EQ(::symlink(stolen.c_str(), name.c_str()), 0) << name;
  }
  ProcessResult result = migrate();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(::access(stolen.c_str(), F_OK), 0) << "the link was followed";
  EXPECT_TRUE(contains(result.err,
                       ".pass: it is a symbolic link, its line follows:\n"
                       "<ann@example.com>, password: \"pwann\"\n"))
      << result.err;
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n"));
  EXPECT_TRUE(contains(result.out, "Info: run failed: cannot write file ./lodemig_"));
}

TEST_F(PrivateFilesTest, PlantedOpenLogOfOursIsMadePrivateFirst) {
  inboxAccount("ann", 1);
  startServer();
  const std::vector<std::string> logs = comingRunFiles("log");
  for (const std::string& name : logs) {
    writeFile(name, "");
    ASSERT_EQ(::chmod(name.c_str(), 0666), 0);
  }
  const std::string journal = dir_ / "run.journal";
  ProcessResult result = migrate({"-journal", journal});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  int used = 0;
  for (const std::string& name : logs) {
    if (contains(readFile(name), "Result: migration successful\n")) {
      ++used;
      EXPECT_EQ(modeOf(name), 0600u);
    }
  }
  EXPECT_EQ(used, 1);

  // A journal that others could read is narrowed when it is resumed.
  ASSERT_EQ(::chmod(journal.c_str(), 0644), 0);
  EXPECT_EQ(migrate({"-journal", journal}, dir_ / "again").exitStatus, 0);
  EXPECT_EQ(modeOf(journal), 0600u);
}

TEST_F(PrivateFilesTest, JournalAndReportAreNotWrittenThroughLinks) {
  inboxAccount("ann", 1);
  startServer();
  const std::string link = dir_ / "link";
  writeFile(dir_ / "elsewhere", "");
  ASSERT_EQ(::symlink((dir_ / "elsewhere").c_str(), link.c_str()), 0);
  ProcessResult journal = migrate({"-journal", link});
  EXPECT_EQ(journal.exitStatus, 2);
  EXPECT_EQ(journal.out,
            "Argument error: cannot write journal " + link + ": it is a symbolic link\n");
  ProcessResult report = migrate({"-report", link});
  EXPECT_EQ(report.exitStatus, 2);
  EXPECT_EQ(report.out,
            "Argument error: cannot write report " + link + ": it is a symbolic link\n");
  EXPECT_EQ(readFile(dir_ / "elsewhere"), "");
  EXPECT_TRUE(storedMessages("ann@example.com").empty());
}

TEST_F(PrivateFilesTest, ReportCutShortByAFullDiskFailsTheRun) {
  // 60 folders: about 4 KiB of rows.
  std::string info = "{";
  for (int i = 0; i < 60; ++i) {
    info += " Folder" + std::to_string(i) + " = { Messages = #1; };";
  }
  builder_.account("", "ann", AccountDirectory).settings("{ Password = pwann; }").info(info + " }");
  for (int i = 0; i < 60; ++i) {
    builder_.mailboxFile("", "ann", "Folder" + std::to_string(i), messages("ann", 1));
  }
  startServer();
  const std::string report = dir_ / "report.csv";
  makeDirectories(work_);
  // Every file of the run may hold 2 KiB; a write beyond fails with EFBIG
  // rather than the signal, as one on a full disk fails.
  std::vector<std::string> arguments = {"-c",
                                        "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"",
                                        LODEMIG_BINARY,
                                        "-path",
                                        store_,
                                        "-migrate",
                                        "-server",
                                        "127.0.0.1",
                                        "-port",
                                        server_->portText(),
                                        "-password",
                                        "master",
                                        "-primaryDomain",
                                        "example.com",
                                        "-report",
                                        report};
  ProcessOptions options;
  options.workingDirectory = work_;
  ProcessResult result = runProcess("/bin/sh", arguments, options);
  EXPECT_EQ(result.exitStatus, 1);
  const std::string failure = "cannot write file " + report + ": File too large\n";
  EXPECT_TRUE(contains(result.out, "Error: " + failure)) << result.out;
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n"));
  EXPECT_TRUE(contains(result.out, "Info: run failed: " + failure)) << result.out;
  EXPECT_EQ(arrivedCount("ann@example.com"), 60);
}

TEST_F(PrivateFilesTest, QuietRunShowsItsErrorsAndResultOnStandardError) {
  inboxAccount("ann", 1);
  startServer();
  server_->stop();  // nothing listens on its port any more
  ProcessResult result = migrate({"-quiet"});
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: cannot connect to Torvane\nResult: migration failed\n");
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"), "Result: migration failed\n"));
}

TEST_F(PrivateFilesTest, LogOnStandardErrorIsAnnouncedOnce) {
  inboxAccount("ann", 1);
  ProcessOptions options;
  options.workingDirectory = dir_ / "gone";
  makeDirectories(options.workingDirectory);
  options.removeWorkingDirectory = true;
  ProcessResult result = runProcess(LODEMIG_BINARY, {"-path", store_}, options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("Warning: cannot write file ./lodemig_", 0), 0u) << result.err;
  EXPECT_EQ(countOf(result.err,
                    ".log: No such file or directory, the log goes to standard "
                    "error\n"),
            1)
      << result.err;
  EXPECT_TRUE(contains(result.err, " + mailbox <ann>, size: "));
}

}  // namespace
}  // namespace lodemig::testing
