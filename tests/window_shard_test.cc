// End-to-end tests of appends in flight (-window) and of splitting the
// accounts over runs (-shard).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class WindowTest : public MigrationTest {
 protected:
  // The run's texts without what differs between any two runs: times, the
  // port and the run's file names.
  static std::string steady(const std::string& text) {
    static const std::regex times(
        "(time: |Start time: |Finish time: )[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d [0-9:]{8} "
        "\\d{4}");
    static const std::regex port("127\\.0\\.0\\.1:\\d+");
    static const std::regex stem("lodemig_[0-9_-]+");
    static const std::regex rate("Info: time: .*");
    std::string out = std::regex_replace(text, times, "$1TIME");
    out = std::regex_replace(out, port, "HOST");
    out = std::regex_replace(out, rate, "Info: time: RATE");
    return std::regex_replace(out, stem, "lodemig_STAMP");
  }

  void buildStore() {
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = annpw; }")
        .info("{ INBOX = { Messages = #9; }; Sent = { Messages = #3; }; }");
    builder_.mailboxFile("", "ann", "INBOX", messages("ann", 9));
    builder_.mailboxFile("", "ann", "Sent", messages("sent", 3));
    // A message directory whose one unreadable file fails its folder among
    // good messages.
    builder_.account("example.org", "ben", MessageDirectory)
        .settings("{ Password = benpw; }")
        .info("{ INBOX = { Messages = #4; }; }");
    for (int i = 1; i <= 3; ++i) {
      builder_.messageFile("example.org", "ben", "INBOX",
                           std::to_string(i) + "-S-20070823103000-host",
                           "Subject: ben " + std::to_string(i) + "\r\n\r\nbody\r\n");
    }
    const std::string dangling =
        builder_.messageDirectoryPath("example.org", "ben", "INBOX") + "/4-S-20070823103000-host";
    ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  }
};

TEST_F(WindowTest, WindowedRunReadsByteForByteAsOneAtATime) {
  buildStore();
  struct Run {
    std::string console, log, report;
    std::vector<Stored> ann, ben;
  };
  std::vector<Run> runs;
  for (const char* window : {"1", "8", "64"}) {
    SCOPED_TRACE(window);
    // The 3rd and 11th appends are refused: one in each of ann's folders.
    startServer({"--refuse-append", "3", "--refuse-append", "11"});
    const std::string work = dir_ / (std::string("work") + window);
    const std::string report = work + "/report.csv";
    ProcessResult result = migrate({"-window", window, "-report", report}, work);
    EXPECT_EQ(result.exitStatus, 1);
    runs.push_back({steady(result.out), steady(onlyLodemigFile(work, "log")), readFile(report),
                    storedMessages("ann@example.com"), storedMessages("ben@example.org")});
  }
  EXPECT_EQ(runs[0].ann.size(), 10u);
  EXPECT_TRUE(contains(runs[0].console, "Error: cannot migrate message nr.: 3\n"));
  for (std::size_t i = 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].console, runs[0].console);
    EXPECT_EQ(runs[i].log, runs[0].log);
    EXPECT_EQ(runs[i].report, runs[0].report);
    EXPECT_EQ(runs[i].ann, runs[0].ann);
    EXPECT_EQ(runs[i].ben, runs[0].ben);
  }
}

TEST_F(WindowTest, LostConnectionWithAppendsInFlightLosesAndDoublesNothingWithRetry) {
  inboxAccount("cal", 20);
  std::vector<Stored> expected;
  for (int i = 1; i <= 20; ++i) {
    expected.push_back(inboxMessage("cal", i));
  }
  // Without -retry the run ends and the log says how many were in flight.
  startServer({"--drop-append", "6"});
  ProcessResult ended = migrate({"-window", "8"}, dir_ / "ended");
  EXPECT_EQ(ended.exitStatus, 3);
  EXPECT_TRUE(std::regex_search(
      onlyLodemigFile(dir_ / "ended", "log"),
      std::regex("Error: \\d+ messages of folder \"INBOX\" of <cal@example.com> from message "
                 "\\d+ on were sent but not confirmed\n")));
  // With it, in memory or with a journal file, every message arrives once.
  for (const bool journal : {false, true}) {
    SCOPED_TRACE(journal);
    startServer({"--drop-append", "6", "--drop-append", "15"});
    std::vector<std::string> arguments = {"-window", "8", "-retry", "2"};
    if (journal) {
      arguments.insert(arguments.end(), {"-journal", dir_ / "journal"});
    }
    ProcessResult result = migrate(arguments, dir_ / (journal ? "journal-run" : "memory-run"));
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    EXPECT_EQ(storedMessages("cal@example.com"), expected);
  }
}

// Large messages go from the mailbox file to the socket without a copy also
// with appends in flight; small ones between them come from memory.
TEST_F(WindowTest, LargeMessagesArriveByteForByteWithAWindow) {
  std::vector<MailboxMessage> list;
  std::vector<Stored> expected;
  for (int i = 1; i <= 6; ++i) {
    std::string content = "Subject: big " + std::to_string(i) + "\r\n\r\n";
    const int lines = i % 2 == 0 ? 3 : 1500 + 300 * i;
    for (int line = 0; line < lines; ++line) {
      content += std::string(70, static_cast<char>('a' + (line + i) % 26)) + "\r\n";
    }
    list.push_back({"S", std::to_string(i), "Wed Jun 30 21:49:08 1993", content});
    expected.push_back(
        {"INBOX", "\\Seen ", "30-Jun-1993 21:49:08 +0000", "X-APPEND", std::move(content)});
  }
  builder_.account("", "dee", AccountDirectory)
      .settings("{ Password = pwdee; }")
      .info("{ INBOX = { Messages = #6; }; }");
  builder_.mailboxFile("", "dee", "INBOX", list);
  for (const char* window : {"1", "4"}) {
    SCOPED_TRACE(window);
    startServer();
    ProcessResult result = migrate({"-window", window}, dir_ / (std::string("work") + window));
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    EXPECT_EQ(storedMessages("dee@example.com"), expected);
  }
}

TEST_F(WindowTest, ShardsSplitTheAccountsOfEveryRunExactlyOnce) {
  for (const char* name : {"a1", "b2", "c3", "d4", "e5", "f6", "g7", "h8"}) {
    inboxAccount(name, 1);
  }
  std::set<std::string> seen;
  std::size_t lines = 0;
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    ProcessOptions options;
    makeDirectories(dir_ / "print");
    options.workingDirectory = dir_ / "print";
    ProcessResult result =
        runProcess(LODEMIG_BINARY,
                   {"-path", store_, "-primaryDomain", "example.com", "-shard", shard}, options);
    EXPECT_EQ(result.exitStatus, 0);
    const std::regex mailbox(" \\+ mailbox <([a-z0-9]+)>");
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), mailbox), end; it != end;
         ++it) {
      seen.insert((*it)[1]);
      ++lines;
    }
  }
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_EQ(lines, 8u);
  // Shards started in the same second in one directory keep their logs apart.
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "print")) {
    if (entry.path().extension() == ".log") {
      logs.push_back(entry.path().string());
    }
  }
  EXPECT_EQ(logs.size(), 3u);
  for (const std::string& log : logs) {
    EXPECT_TRUE(std::regex_search(log, std::regex("lodemig_[0-9_-]+_shard-[123]-of-3\\.log$")))
        << log;
  }
  // A migration of one shard creates only its accounts.
  startServer();
  ASSERT_EQ(migrate({"-shard", "2/3"}).exitStatus, 0);
  std::size_t migrated = 0;
  for (const std::string& name : seen) {
    migrated += storedMessages(name + "@example.com").size();
  }
  EXPECT_GT(migrated, 0u);
  EXPECT_LT(migrated, 8u);
}

}  // namespace
}  // namespace lodemig::testing
