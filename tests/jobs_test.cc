// End-to-end tests of accounts migrated at the same time (-jobs).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class JobsTest : public MigrationTest {
 protected:
  static constexpr int kAccounts = 10;

  static std::string name(int i) { return "u" + std::to_string(i); }
  static std::string address(int i) { return name(i) + "@example.com"; }

  // Accounts of two folders each, of different sizes, so that they end in
  // another order than they start.
  void buildStore() {
    for (int i = 0; i < kAccounts; ++i) {
      const int inbox = 1 + (i * 7) % 9;
      builder_.account("", name(i), AccountDirectory)
          .settings("{ Password = pw" + name(i) + "; }")
          .info("{ INBOX = { Messages = #" + std::to_string(inbox) +
                "; }; Sent = { Messages = #2; }; }");
      builder_.mailboxFile("", name(i), "INBOX", messages(name(i), inbox));
      builder_.mailboxFile("", name(i), "Sent", messages(name(i) + "s", 2));
    }
  }

  // Each account's block of `text`: its " + mailbox" line and every line up
  // to the next account's, or to the first blank line; times masked.
  static std::map<std::string, std::string> blocks(const std::string& text) {
    static const std::regex time(", time: [^\n]*");
    std::map<std::string, std::string> found;
    std::string current;
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      end = end == std::string::npos ? text.size() : end + 1;
      const std::string line = text.substr(at, end - at);
      at = end;
      if (line.rfind(" + mailbox <", 0) == 0) {
        current = line.substr(12, line.find('>') - 12);
        EXPECT_EQ(found.count(current), 0u) << "two blocks of " << current;
      } else if (line == "\n" || line.rfind(" Info: read mailbox", 0) == 0 ||
                 line.rfind("Info: read domain", 0) == 0) {
        current.clear();  // the walk's own lines, between blocks
      }
      if (!current.empty()) {
        found[current] += std::regex_replace(line, time, "");
      }
    }
    return found;
  }
};

TEST_F(JobsTest, EachAccountsBlockStaysWholeAndEveryMessageArrivesOnce) {
  buildStore();
  struct Run {
    int exit;
    std::map<std::string, std::string> console, log;
    std::vector<std::string> rows, passwords;
  };
  std::vector<Run> runs;
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(jobs);
    // The delay makes the accounts overlap; one refused append fails one.
    startServer({"--delay-ms", "2", "--refuse-append", "5"});
    const std::string work = dir_ / (std::string("jobs") + jobs);
    const std::string report = work + "/report.csv";
    ProcessResult result = migrate({"-jobs", jobs, "-window", "2", "-report", report}, work);
    Run run{result.exitStatus, blocks(result.out), blocks(onlyLodemigFile(work, "log")), {}, {}};
    for (std::string rows = readFile(report); !rows.empty();) {
      const std::size_t end = rows.find("\r\n");
      run.rows.push_back(rows.substr(0, end));
      rows.erase(0, end + 2);
    }
    std::sort(run.rows.begin(), run.rows.end());
    std::string passwords = onlyLodemigFile(work, "pass");
    for (std::size_t at = 0; at < passwords.size();) {
      const std::size_t end = passwords.find('\n', at);
      run.passwords.push_back(passwords.substr(at, end - at));
      at = end + 1;
    }
    std::sort(run.passwords.begin(), run.passwords.end());
    for (int i = 0; i < kAccounts; ++i) {
      const std::vector<Stored> stored = storedMessages(address(i));
      // One refused message over the whole run, in whichever account got it.
      EXPECT_GE(stored.size() + 1, static_cast<std::size_t>(3 + (i * 7) % 9)) << address(i);
    }
    runs.push_back(run);
  }
  EXPECT_EQ(runs[1].exit, 1);
  EXPECT_EQ(runs[1].console.size(), static_cast<std::size_t>(kAccounts));
  EXPECT_EQ(runs[1].passwords, runs[0].passwords);
  EXPECT_EQ(runs[1].passwords.size(), static_cast<std::size_t>(kAccounts));
  // The blocks read as with one job, but for the counters and for which
  // account the 5th append fell in.
  static const std::regex counters("[0-9]+/[0-9]+(\b \b)+");
  std::size_t differing = 0;
  for (int i = 0; i < kAccounts; ++i) {
    const std::string one = std::regex_replace(runs[0].console[name(i)], counters, "");
    const std::string four = runs[1].console[name(i)];
    differing += one == four ? 0 : 1;
    EXPECT_EQ(runs[1].log[name(i)].empty(), false);
    EXPECT_TRUE(contains(runs[1].log[name(i)], "   - \"Sent\", messages: 2\n")) << name(i);
  }
  EXPECT_LE(differing, 2u);
  EXPECT_EQ(runs[1].rows.size(), runs[0].rows.size());
}

TEST_F(JobsTest, InterruptedRunResumesFromTheJournalWithoutLossOrDouble) {
  buildStore();
  const std::string journal = dir_ / "journal";
  // The server drops the connection of its 20th append: the run ends. (A
  // command count could fall on a LOGOUT, whose answer several jobs do not
  // wait for.)
  startServer({"--drop-append", "20"});
  ProcessResult first = migrate({"-jobs", "3", "-window", "4", "-journal", journal}, dir_ / "a");
  EXPECT_EQ(first.exitStatus, 3);
  // Against the same server, resumed until done.
  ProcessResult second = migrate({"-jobs", "3", "-window", "4", "-journal", journal}, dir_ / "b");
  EXPECT_EQ(second.exitStatus, 0) << second.out;
  for (int i = 0; i < kAccounts; ++i) {
    const int inbox = 1 + (i * 7) % 9;
    std::vector<Stored> expected;
    for (int m = 1; m <= inbox; ++m) {
      expected.push_back(inboxMessage(name(i), m));
    }
    for (int m = 1; m <= 2; ++m) {
      Stored sent = inboxMessage(name(i) + "s", m);
      sent.folder = "Sent";
      expected.push_back(sent);
    }
    std::vector<Stored> stored = storedMessages(address(i));
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected) << address(i);
  }
}

TEST_F(JobsTest, RefusedAccountFailsAloneAndTheOthersGoOn) {
  buildStore();
  startServer({"--refuse-setuser", address(3)});
  ProcessResult result = migrate({"-jobs", "4"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(contains(blocks(result.out)[name(3)], "Error: cannot migrate mailbox <u3>\n"))
      << result.out;
  for (int i = 0; i < kAccounts; ++i) {
    EXPECT_EQ(storedMessages(address(i)).size(),
              i == 3 ? 0u : static_cast<std::size_t>(3 + (i * 7) % 9))
        << address(i);
  }
}

}  // namespace
}  // namespace lodemig::testing
