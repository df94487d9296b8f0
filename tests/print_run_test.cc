// End-to-end tests of the lodemig program without -migrate: the usage text,
// the argument errors, the print run's report on the console and in the log,
// and the files it leaves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <vector>

#include "tests/process.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

const char kUsage[] =
    "\n"
    "Brenhart Quillon Pro to Torvane migration tool v1.0.0-R1-1\n"
    "Usage: lodemig -path PATH [options]\n"
    "       -path      path to Quillon store,\n"
    "                  typically \"/var/Quillon\", \"c:\\Quillon Files\", etc.\n"
    "       -migrate   required for migration, leave out to print info\n"
    "       -server    Torvane hostname (required for migration)\n"
    "       -port      IMAP port number (optional, default 143)\n"
    "       -password  Torvane master password (required for migration)\n"
    "       -domain    migrated/printed domain (required if user is specified)\n"
    "       -user      migrated user (optional)\n"
    "       -force     migrate users who already exist in Torvane (optional)\n"
    "       -setPass   password for migrated user (optional), see readme.html\n"
    "       -forceSetPass   password for migrated user (optional), see readme.html\n"
    "       -primaryDomain  the name of primary domain (optional but recommended)\n"
    "       -quiet     disable standard output (optional)\n"
    "       -timeout   seconds to wait for Torvane's answers (optional, default 180)\n"
    "       -journal   file that records progress, to resume an interrupted migration\n"
    "       -retry     new connections per account after a lost one (optional, default 0)\n"
    "       -report    CSV file with a row per folder, checked against Torvane (optional)\n"
    "       -check     pre-flight: what a migration would meet, writes nothing to Torvane\n"
    "       -verify    audit: compares the store with Torvane, writes nothing to Torvane\n"
    "       -window    appends in flight on the connection (optional, 1 to 64, default 1)\n"
    "                  (default 8 with -targetType imap)\n"
    "       -jobs      accounts migrated at the same time (optional, 1 to 32, default 1)\n"
    "       -shard     K/N: only the accounts of shard K of N (optional)\n"
    "       -tls       TLS from the first byte (optional, default port then 993)\n"
    "       -starttls  plain connection, then STARTTLS before the login (optional)\n"
    "       -caFile    trust the CA certificates of this file, not the system's (optional)\n"
    "       -insecure  TLS without certificate checks (optional, not recommended)\n"
    "       -passwordFile  file whose first line is the master password (optional)\n"
    "       -targetType  torvane or imap: any IMAP server, no accounts created (optional)\n"
    "       -admin     administrator who logs in for each account (required for imap)\n"
    "       -loginForm  LOGIN name pattern such as USER*ADMIN, for imap (optional)\n"
    "       -nonMailFolders  skip or create calendars, contacts... on imap (optional)\n"
    "       -folderMap  file of store name TAB target name lines, for imap (optional)\n"
    "       -retarget  resume a journal whose server is now named another way (optional)\n"
    "       -unlistedFolders  skip or migrate folders the folder list lacks (optional)\n"
    "       -live      copy while Quillon runs: changes are left for -delta (optional)\n"
    "       -delta     with -journal: send only what changed since the last pass (optional)\n"
    "       -expunge   with -delta: remove from Torvane what the store no longer has\n"
    "       -maxRate   bytes a second, all jobs together; K = 1024, M = 1024*1024 (optional)\n"
    "       -maxMessagesPerSecond  messages a second, all jobs together (optional)\n"
    "       -compress  compress the connection when the server offers it (optional)\n"
    "       -multiAppend  messages per APPEND where the server offers MULTIAPPEND (optional)\n"
    "       -usersFile  file of user@domain lines: only those accounts (optional)\n"
    "       -failedFile  file that receives the accounts that failed, for -usersFile (optional)\n"
    "       -events    file of JSON lines, one per event of the run (optional)\n"
    "       -metricsFile  Prometheus text file of the run's figures, for node exporter "
    "(optional)\n"
    "       -htmlReport  HTML page of the run's result, at its end (optional)\n"
    "       -mergeReports  OUT.csv IN.csv...: merge the CSV reports of shards and runs\n"
    "       -davServer  CalDAV/CardDAV URL for calendars and contacts, for imap (optional)\n"
    "       -davLoginForm  DAV login name pattern such as USER*ADMIN (optional)\n"
    "       -davExport  directory for calendars and contacts as .ics/.vcf files (optional)\n"
    "       -version   print the version and exit (optional)\n"
    "       -help      print help and exit (optional)\n"
    "\n"
    "Notes: Quillon must be stopped before migration!\n"
    "       migration process is logged into lodemig_[datetime].log file\n"
    "\n"
    "For more details, see readme.html\n"
    "\n";

const char kBadWindow[] = "Argument error: -window takes a number from 1 to 64\n";
const char kBadMultiAppend[] = "Argument error: -multiAppend takes a number from 1 to 1000\n";
const char kBadJobs[] = "Argument error: -jobs takes a number from 1 to 32\n";
const char kBadShard[] = "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n";
const char kBadTimeout[] = "Argument error: -timeout takes a number of seconds from 1 to 86400\n";

// The missing-arguments error and the line that names what is missing.
std::string missing(const std::string& options) {
  return "Argument error: missing required command line arguments, for help use \"-help\"\n"
         "Argument error: missing " +
         options + "\n";
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The report with the lines of every domain block sorted and the blocks
// sorted, so that it does not depend on the order of the directory listings.
std::string canonical(const std::string& report) {
  std::vector<std::string> blocks;
  std::size_t start = 0;
  for (std::size_t next; (next = report.find("\ndomain (", start + 1)) != std::string::npos;
       start = next) {
    blocks.push_back(report.substr(start, next - start));
  }
  blocks.push_back(report.substr(start));
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    std::vector<std::string> lines = splitLines(blocks[i].substr(1));
    std::sort(lines.begin() + 1, lines.end());
    std::string block = "\n";
    for (const std::string& line : lines) {
      block += line + "\n";
    }
    blocks[i] = block;
  }
  std::sort(blocks.begin() + 1, blocks.end());
  std::string joined;
  for (const std::string& block : blocks) {
    joined += block;
  }
  return joined;
}

// The log without the store reader's own lines, with the mailbox lines cut
// before their time: what the console shows.
std::string withoutLogOnlyLines(const std::string& log) {
  std::string shown;
  for (const std::string& line : splitLines(log)) {
    std::string trimmed = line.substr(std::min(line.find_first_not_of(' '), line.size()));
    if (trimmed.rfind("Info: read ", 0) == 0 || trimmed.rfind("Warning: ", 0) == 0 ||
        trimmed.rfind("Error: cannot parse", 0) == 0) {
      continue;
    }
    std::size_t time = line.find(", time: ");
    shown += (time == std::string::npos ? line : line.substr(0, time)) + "\n";
  }
  return shown;
}

std::string fileNameAt(std::time_t when, const char* extension) {
  std::tm local{};
  localtime_r(&when, &local);
  char name[64];
  std::strftime(name, sizeof(name), "lodemig_%Y-%m-%d_%H-%M-%S.", &local);
  return name + std::string(extension);
}

class PrintRunTest : public ::testing::Test {
 protected:
  PrintRunTest() : store_(dir_ / "store"), builder_(store_) { makeDirectories(work_); }

  ProcessResult run(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, arguments, options);
  }

  ProcessResult printRun(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"-path", store_, "-primaryDomain", "example.com"});
    return run(arguments);
  }

  std::string onlyLog() { return onlyLodemigFile(work_, "log"); }

  // One account of each kind in the default domain, one in a second domain.
  void buildStore() {
    builder_.account("", "john", AccountDirectory)
        .settings("{ RealName = \"John Smith\"; Password = secret; }")
        .info("{ #StorageUsed = #1536; INBOX = { Messages = #0; }; }");
    builder_.account("", "jane", MailboxFile)
        .settings("{ PasswordEncryption = md5; Password = xyz; }")
        .info("{ INBOX = { Messages = #0; }; }");
    builder_.account("", "bob", MessageDirectory).settings("{}");  // no info file
    builder_.account("example.org", "carol", AccountDirectory)
        .settings("{}")
        .info("{ #StorageUsed = #3221225472; }");
  }

  ScopedTempDir dir_;
  const std::string work_ = dir_ / "work";
  const std::string store_;
  StoreBuilder builder_;
};

TEST_F(PrintRunTest, UsageWithoutArgumentsOrWithHelp) {
  const std::vector<std::vector<std::string>> commandLines = {
      {}, {"-help"}, {"-?"}, {"-migrate", "-HELP", "-path", "/nowhere"}};
  for (const auto& arguments : commandLines) {
    ProcessResult result = run(arguments);
    EXPECT_EQ(result.out, kUsage);
    EXPECT_EQ(result.exitStatus, 0);
  }
  EXPECT_TRUE(lodemigFiles(work_, "log").empty());
}

// The banner's first line alone, before any argument is checked; -help
// still wins, as it is asked for first.
TEST_F(PrintRunTest, VersionPrintsTheBannerLineAndExits) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"-version"}, {"-VERSION", "-migrate"}, {"-path", store_, "-version", "-timeout", "0"}};
  for (const auto& arguments : commandLines) {
    ProcessResult result = run(arguments);
    EXPECT_EQ(result.out, "Brenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n")
        << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
  }
  EXPECT_EQ(run({"-version", "-help"}).out, kUsage);
  EXPECT_TRUE(lodemigFiles(work_, "log").empty());
}

TEST_F(PrintRunTest, ArgumentErrorsInTheirOrder) {
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Case cases[] = {
      {{"-migrate", "-path"}, missing("-path, -server, -password")},
      {{"-domain", "x", "-user", "john"}, missing("-path")},
      {{"-path", store_, "-migrate", "-server", "h"}, missing("-password")},
      {{"-path", store_, "-migrate", "-password", "pw"}, missing("-server")},
      {{"-path", store_, "-migrate", "-password", "-server", "h"}, missing("-server")},
      {{"-path", store_, "-user", "john"}, "Argument error: unknown domain for user <john>\n"},
      // A mistyped option, a stray word or a doubled dash is refused, not skipped.
      {{"-path", store_, "-jurnal", "j"},
       "Argument error: unknown option <-jurnal>, for help use \"-help\"\n"},
      {{"-path", store_, "--migrate"},
       "Argument error: unknown option <--migrate>, for help use \"-help\"\n"},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "stray"},
       "Argument error: unknown option <stray>, for help use \"-help\"\n"},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "-port", "abc"},
       "Argument error: -port takes a number from 1 to 65535\n"},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "-port", "70000"},
       "Argument error: -port takes a number from 1 to 65535\n"},
      {{"-path", store_, "-migrate", "-server", "h:99999", "-password", "pw"},
       "Argument error: -port takes a number from 1 to 65535\n"},
      {{"-path", store_, "-migrate", "-server", "h:1143", "-password", "pw", "-port", "143"},
       "Argument error: -server names a port and -port another: give it once\n"},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "-user", "j*"},
       "Argument error: unknown domain for user <j*>\n"},
      {{"-path", store_, "-timeout", "0"}, kBadTimeout},
      {{"-path", store_, "-TIMEOUT", "86401", "-migrate", "-server", "h", "-password", "pw"},
       kBadTimeout},
      {{"-path", store_, "-timeout", "5s"}, kBadTimeout},
      {{"-path", store_, "-retry", "101"}, "Argument error: -retry takes a number from 0 to 100\n"},
      {{"-path", store_, "-RETRY", "x"}, "Argument error: -retry takes a number from 0 to 100\n"},
      {{"-path", store_, "-check"}, missing("-server, -password")},
      {{"-path", store_, "-VERIFY", "-server", "h"}, missing("-password")},
      {{"-path", store_, "-check", "-migrate", "-server", "h", "-password", "pw"},
       "Argument error: -check and -verify are runs of their own, without -migrate\n"},
      {{"-path", store_, "-check", "-verify", "-server", "h", "-password", "pw"},
       "Argument error: -check and -verify cannot be combined\n"},
      {{"-path", store_, "-report", "r.csv"},
       "Argument error: -report needs -migrate, -check or -verify\n"},
      {{"-path", store_, "-window", "0"}, kBadWindow},
      {{"-path", store_, "-Window", "65"}, kBadWindow},
      {{"-path", store_, "-window", "8x"}, kBadWindow},
      {{"-path", store_, "-multiAppend", "0"}, kBadMultiAppend},
      {{"-path", store_, "-MULTIAPPEND", "1001"}, kBadMultiAppend},
      {{"-path", store_, "-jobs", "0"}, kBadJobs},
      {{"-path", store_, "-JOBS", "33"}, kBadJobs},
      {{"-path", store_, "-shard", "0/3"}, kBadShard},
      {{"-path", store_, "-shard", "4/3"}, kBadShard},
      {{"-path", store_, "-shard", "1/0"}, kBadShard},
      {{"-path", store_, "-shard", "1"}, kBadShard},
      {{"-path", store_, "-SHARD", "1/-2"}, kBadShard},
      {{"-path", store_, "-shard", "/"}, kBadShard},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "-passwordFile", "f"},
       "Argument error: -password and -passwordFile cannot be combined\n"},
      {{"-path", store_, "-check", "-server", "h", "-passwordFile", work_ + "/none"},
       "Argument error: cannot read password file " + work_ + "/none\n"},
      {{"-path", store_, "-TLS", "-StartTls"},
       "Argument error: -tls and -starttls cannot be combined\n"},
      {{"-path", store_, "-caFile", "ca.pem"},
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {{"-path", store_, "-insecure"},
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {{"-path", store_, "-tls", "-insecure", "-cafile", "ca.pem"},
       "Argument error: -caFile and -insecure cannot be combined\n"},
      {{"-path", store_, "-migrate", "-server", "h", "-password", "pw", "-tls", "-caFile",
        work_ + "/none.pem"},
       "Argument error: cannot use CA file " + work_ + "/none.pem: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    ProcessResult result = run(c.arguments);
    EXPECT_EQ(result.out, c.out) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.exitStatus, 2);
  }
  EXPECT_TRUE(lodemigFiles(work_, "log").empty());
}

TEST_F(PrintRunTest, ReportsEveryDomainAndMailboxWithItsSize) {
  buildStore();
  ProcessResult result = printRun();
  const std::string expected =
      "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n\n"
      "Quillon path: \"" +
      store_ +
      "\"\n"
      "\ndomain (example.com)\n"
      " + mailbox <john>, size: 1.5KB\n"
      " + mailbox <jane>, size: 0B\n"
      " + mailbox <bob>, size: 0B\n"
      "\ndomain (example.org)\n"
      " + mailbox <carol>, size: 3.0GB\n";
  ASSERT_EQ(result.out.back(), '\n');
  EXPECT_EQ(canonical(result.out.substr(0, result.out.size() - 1)), canonical(expected));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");

  std::string log = onlyLog();
  EXPECT_EQ(withoutLogOnlyLines(log), result.out);
  EXPECT_TRUE(
      contains(log, "Info: read default domain (example.com) path: \"" + store_ + "/Accounts\"\n"));
  EXPECT_TRUE(contains(log,
                       " Info: read mailbox <john> full name: \"John Smith\" password: found "
                       "size: 1536 path: \"" +
                           store_ + "/Accounts/john.macnt\"\n"));
  EXPECT_TRUE(contains(log, " + mailbox <bob>, size: 0B, time: "));
  EXPECT_FALSE(contains(log, "secret"));
  EXPECT_TRUE(
      contains(log, " Info: read mailbox <bob> full name: \"\" password: not found size: unknown"));
  EXPECT_TRUE(lodemigFiles(work_, "pass").empty());
}

TEST_F(PrintRunTest, QuietWritesNothingToTheConsoleButTheSameLog) {
  buildStore();
  ProcessResult loud = printRun({"-domain", "example.org"});
  std::string loudLog = onlyLog();
  std::filesystem::remove(lodemigFiles(work_, "log")[0]);

  ProcessResult quiet = printRun({"-domain", "example.org", "-quiet"});
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.exitStatus, 0);
  EXPECT_EQ(maskTimes(onlyLog()), maskTimes(loudLog));
  EXPECT_TRUE(contains(loud.out, "domain (example.org)"));
  EXPECT_FALSE(contains(loud.out, "example.com"));
}

TEST_F(PrintRunTest, MasksSelectDomainsAndMailboxes) {
  buildStore();
  EXPECT_EQ(printRun({"-domain", "*"}).out, printRun().out);
  ProcessResult some = printRun({"-domain", "EXAMPLE.COM", "-user", "J*"});
  EXPECT_TRUE(contains(some.out, " + mailbox <john>"));
  EXPECT_TRUE(contains(some.out, " + mailbox <jane>"));
  EXPECT_FALSE(contains(some.out, " + mailbox <bob>"));
  EXPECT_FALSE(contains(some.out, "example.org"));
  // A domain mask that matches nothing prints no domain and is no failure.
  ProcessResult none = printRun({"-domain", "nothing.*"});
  EXPECT_FALSE(contains(none.out, "domain ("));
  EXPECT_EQ(none.exitStatus, 0);
}

TEST_F(PrintRunTest, FailuresAreReportedAndEndWithStatusOne) {
  buildStore();
  builder_.account("", "broken", AccountDirectory);  // no settings file
  ProcessResult result = printRun({"-domain", "example.com"});
  EXPECT_TRUE(contains(result.out, "Error: cannot print mailbox <broken>\n"));
  EXPECT_TRUE(contains(result.out, " + mailbox <john>, size: 1.5KB\n"));
  EXPECT_EQ(result.exitStatus, 1);

  ProcessResult wrongPath = run({"-path", dir_ / "missing", "-primaryDomain", "example.com"});
  EXPECT_EQ(wrongPath.out,
            "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n\n"
            "Quillon path: \"" +
                dir_ / "missing" +
                "\"\n"
                "Error: default domain not found, wrong path or corrupted Quillon store\n\n");
  EXPECT_EQ(wrongPath.exitStatus, 1);
}

TEST_F(PrintRunTest, LogFileIsNamedAfterTheStartPrivateAndAppendedTo) {
  buildStore();
  // Runs that start within the same second share the file: both reports stay.
  const std::time_t now = std::time(nullptr);
  for (std::time_t when = now; when < now + 10; ++when) {
    writeFile(work_ + "/" + fileNameAt(when, "log"), "earlier run\n");
  }
  ProcessResult result = printRun();
  int appended = 0;
  for (const std::string& log : lodemigFiles(work_, "log")) {
    std::string content = readFile(log);
    if (content != "earlier run\n") {
      ++appended;
      EXPECT_EQ(withoutLogOnlyLines(content), "earlier run\n" + result.out);
    }
  }
  EXPECT_EQ(appended, 1);

  ScopedTempDir fresh;
  ProcessOptions options;
  options.workingDirectory = fresh.path();
  ProcessResult second = runProcess(LODEMIG_BINARY, {"-path", store_, "-quiet"}, options);
  std::vector<std::string> logs = lodemigFiles(fresh.path(), "log");
  ASSERT_EQ(logs.size(), 1u);
  struct stat info;
  ASSERT_EQ(stat(logs[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(second.exitStatus, 0);
}

TEST_F(PrintRunTest, UnopenableLogGoesToStandardError) {
  buildStore();
  ProcessOptions options;
  options.workingDirectory = dir_ / "gone";
  options.removeWorkingDirectory = true;
  makeDirectories(options.workingDirectory);
  ProcessResult result =
      runProcess(LODEMIG_BINARY, {"-path", store_, "-primaryDomain", "example.com"}, options);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(
      contains(result.err, "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n"));
  EXPECT_TRUE(contains(result.err, " + mailbox <john>, size: 1.5KB, time: "));
  EXPECT_TRUE(contains(result.err, " Info: read mailbox <john> "));
}

}  // namespace
}  // namespace lodemig::testing
