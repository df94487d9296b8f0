#include "migration/event_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using lodemig::testing::readFile;

class EventLogTest : public ::testing::Test {
 protected:
  // The file with the clock's readings masked: each line's time stamp,
  // whose form is checked, and the run's seconds.
  std::string masked() const {
    static const std::regex stamp(
        "(^|\n)\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\",");
    static const std::regex seconds("\"seconds\":\\d+\\.\\d{3},\"totals\"");
    const std::string text = std::regex_replace(readFile(path_), stamp, "$1{");
    return std::regex_replace(text, seconds, "\"seconds\":S,\"totals\"");
  }

  static RunStartEvent start(const char* mode, int shard, int shards) {
    RunStartEvent event;
    event.mode = mode;
    event.shard = shard;
    event.shards = shards;
    event.server = "127.0.0.1:143";
    event.store = "/var/q";
    event.version = "1.0";
    event.options = {{"migrate", ""}, {"password", "(hidden)"}};
    return event;
  }

  lodemig::testing::ScopedTempDir dir_;
  const std::string path_ = dir_ / "events.jsonl";
};

TEST_F(EventLogTest, EveryEventIsOneLineWithItsFields) {
  EventLog log;
  ASSERT_TRUE(log.open(path_));
  log.runStarted(start("check", 2, 4));
  log.runPlanned(RunPlan{3, -1, -1});
  log.accountStarted("ann@example.com");
  log.messageFailed({"ann@example.com", "In\"box", 7, false, "NO [LIMIT] too big"});
  log.messageFailed({"ann@example.com", "Sent", 2, true, "cannot read\nfile"});
  ReportRow row;
  row.domain = "example.com";
  row.account = "ann@example.com";
  row.folder = "a/b";
  row.targetFolder = "a_b";
  row.kind = "X-MAIL";
  row.storeBytes = 900;
  row.verdict = Verdict::Failed;
  log.folderEnded(row);
  log.retried({"retry", "ann@example.com", 1, 3, 1, 0, 0, "connection lost"});
  log.retried({"backoff", "ann@example.com", 0, 0, 2.5, 4, 2, "NO [UNAVAILABLE]"});
  log.accountEnded({"ann@example.com", "failed", 1, 8, 1, 0, 0, 900, 1.25, "a folder failed"});
  RunEndEvent end;
  end.result = "check found problems";
  end.exitStatus = 1;
  end.totals.sent = 8;
  log.runEnded(end);
  ASSERT_TRUE(log.close());
  const std::string shard = "\",\"shard\":\"2/4\",";
  EXPECT_EQ(masked(),
            "{\"type\":\"run_start" + shard +
                "\"mode\":\"check\",\"jobs\":1,\"server\":\"127.0.0.1:143\",\"store\":\"/var/q\","
                "\"version\":\"1.0\",\"options\":{\"migrate\":\"\",\"password\":\"(hidden)\"}}\n"
                "{\"type\":\"run_plan" +
                shard + "\"accounts\":3,\"messages\":-1,\"bytes\":-1}\n{\"type\":\"account_start" +
                shard + "\"account\":\"ann@example.com\"}\n{\"type\":\"message_refused" + shard +
                "\"account\":\"ann@example.com\",\"folder\":\"In\\\"box\",\"number\":7,"
                "\"reason\":\"NO [LIMIT] too big\"}\n{\"type\":\"message_unreadable" +
                shard +
                "\"account\":\"ann@example.com\",\"folder\":\"Sent\",\"number\":2,"
                "\"reason\":\"cannot read\\u000afile\"}\n{\"type\":\"folder_end" +
                shard +
                "\"domain\":\"example.com\",\"account\":\"ann@example.com\",\"folder\":\"a/b\","
                "\"target_folder\":\"a_b\",\"kind\":\"X-MAIL\",\"store_messages\":0,"
                "\"store_bytes\":900,\"sent\":0,\"refused\":0,\"skipped\":0,\"target_before\":-1,"
                "\"target_after\":-1,\"verdict\":\"failed\",\"error\":\"\",\"matched\":0}\n"
                "{\"type\":\"retry" +
                shard +
                "\"account\":\"ann@example.com\",\"attempt\":1,\"attempts\":3,"
                "\"pause_seconds\":1.000,\"reason\":\"connection lost\"}\n{\"type\":\"backoff" +
                shard +
                "\"account\":\"ann@example.com\",\"window\":4,\"connections\":2,"
                "\"pause_seconds\":2.500,\"reason\":\"NO [UNAVAILABLE]\"}\n"
                "{\"type\":\"account_end" +
                shard +
                "\"account\":\"ann@example.com\",\"outcome\":\"failed\",\"folders\":1,\"sent\":8,"
                "\"refused\":1,\"matched\":0,\"skipped\":0,\"bytes\":900,\"seconds\":1.250,"
                "\"error\":\"a folder failed\"}\n{\"type\":\"run_end" +
                shard +
                "\"result\":\"check found problems\",\"exit_status\":1,\"seconds\":S,\"totals\":{"
                "\"accounts_migrated\":0,\"accounts_skipped\":0,\"accounts_failed\":0,"
                "\"folders\":0,\"folders_not_ok\":0,\"sent\":8,\"refused\":0,\"skipped\":0,"
                "\"bytes\":0,\"store_messages\":0,\"pending\":0}}\n");
}

TEST_F(EventLogTest, ProgressOfAMigrationComesBetweenStartAndEnd) {
  // Every millisecond: the test waits for a line, never for a time.
  EventLog log(std::chrono::milliseconds(1));
  ASSERT_TRUE(log.open(path_));
  log.runStarted(start("migrate", 0, 0));
  for (int i = 0; i < 3; ++i) {
    log.messageStored(100);
  }
  log.accountEnded(AccountEndEvent{});
  const std::string wanted =
      "{\"type\":\"progress\",\"accounts_done\":1,\"messages\":3,\"bytes\":300}\n";
  for (int wait = 0; wait < 500 && masked().find(wanted) == std::string::npos; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  log.runEnded(RunEndEvent{});
  const std::string text = masked();
  EXPECT_NE(text.find(wanted), std::string::npos) << text;
  EXPECT_EQ(text.rfind("{\"type\":\"run_end\""), text.rfind("\n{") + 1) << text;
  // Nothing comes after the end.
  ASSERT_TRUE(log.close());
  EXPECT_EQ(masked(), text);
}

TEST_F(EventLogTest, LinesOfManyThreadsNeverMix) {
  EventLog log;
  ASSERT_TRUE(log.open(path_));
  // Some lines longer than the file's buffer.
  const std::string longName(6000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&log, &longName, t] {
      for (int i = 0; i < 200; ++i) {
        log.accountStarted((i % 50 == 0 ? longName : "") + std::to_string(t) + "@example.com");
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  ASSERT_TRUE(log.close());
  // Every line whole: its start, one account of the right form, its end.
  const std::string text = masked();
  const std::string head = "{\"type\":\"account_start\",\"account\":\"";
  const std::string tail = "@example.com\"}";
  int lines = 0;
  for (std::size_t at = 0; at < text.size() && lines <= 1600; ++lines) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end - at);
    ASSERT_EQ(line.rfind(head, 0), 0u) << line.substr(0, 100);
    ASSERT_EQ(line.find_first_not_of('x', head.size()), line.size() - tail.size() - 1);
    ASSERT_EQ(line.substr(line.size() - tail.size()), tail);
    at = end + 1;
  }
  EXPECT_EQ(lines, 1600);
}

}  // namespace
}  // namespace lodemig
