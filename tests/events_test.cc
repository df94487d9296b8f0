// End-to-end tests of the events file (-events): every line JSON, the story
// of a run in order, and figures that agree with the report and the target.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/holdings.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

// Parses every line (failing on the first that is not a JSON object with a
// UTC time and a type) and prints per run: its shard, first and last type,
// exit status and result; the run_end totals; the sums of the account_end
// and folder_end events; and each refusal and retry.
const char kSummary[] = R"(
import json, re, sys
runs = []
for number, text in enumerate(open(sys.argv[1], encoding='utf-8', newline='\n'), 1):
    event = json.loads(text)
    assert text.endswith('}\n') and re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z',
        event['time']), number
    if event['type'] == 'run_start':
        runs.append([])
    runs[-1].append(event)
for run in runs:
    shard, end, totals = run[0].get('shard', '-'), run[-1], run[-1].get('totals', {})
    assert all(event.get('shard', '-') == shard for event in run), shard
    print('run', shard, run[0]['type'], end['type'], end['exit_status'], end['result'])
    print('totals', *(totals[k] for k in ('sent', 'refused', 'bytes', 'accounts_failed')))
    for kind, keys in (('account_end', ('sent', 'refused', 'bytes')),
                       ('folder_end', ('sent', 'refused', 'store_messages'))):
        events = [event for event in run if event['type'] == kind]
        print(kind, len(events), *(sum(event[key] for event in events) for key in keys))
    for event in run:
        if event['type'] in ('message_refused', 'retry'):
            print(event['type'], event['account'], event.get('number', event.get('attempt')),
                  event.get('attempts', '-'), re.sub(r'127\.0\.0\.1:\d+', 'HOST', event['reason']))
)";

class EventsTest : public MigrationTest {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/python3", X_OK) != 0) {
      GTEST_SKIP() << "python3 is needed to read the events as JSON";
    }
  }

  std::string summary() const {
    ProcessResult result = runProcess("/usr/bin/python3", {"-c", kSummary, events_});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
  }

  const std::string events_ = dir_ / "events.jsonl";
};

TEST_F(EventsTest, ShardedJobsTellTheStoryTheReportAndTheTargetTell) {
  for (int i = 1; i <= 8; ++i) {
    inboxAccount("u" + std::to_string(i), 1 + i);
  }
  std::string expected;
  for (const char* shard : {"1/2", "2/2"}) {
    SCOPED_TRACE(shard);
    // Each shard's own target refuses its second message.
    startServer({"--refuse-append", "2"});
    const std::string work = dir_ / std::string("shard") + shard[0];
    const std::string report = work + ".csv";
    ProcessResult result =
        migrate({"-jobs", "4", "-shard", shard, "-report", report, "-events", events_}, work);
    EXPECT_EQ(result.exitStatus, 1);
    long sent = 0, refused = 0, bytes = 0, held = 0, accounts = 0;
    for (const ReportRow& row : reportRows(report)) {
      sent += std::stol(field(row, "sent"));
      refused += std::stol(field(row, "refused"));
      bytes += std::stol(field(row, "store_bytes"));
      held += static_cast<long>(heldMessages(arrived_, field(row, "account")).size());
      ++accounts;
    }
    ASSERT_GT(accounts, 0);
    EXPECT_EQ(sent, held);
    const std::string figures = std::to_string(sent) + " " + std::to_string(refused) + " ";
    expected += std::string("run ") + shard + " run_start run_end 1 migration failed\n" +
                "totals " + figures + std::to_string(bytes) + " 1\n" + "account_end " +
                std::to_string(accounts) + " " + figures + std::to_string(bytes) + "\n" +
                "folder_end " + std::to_string(accounts) + " " + figures +
                std::to_string(sent + refused) + "\n";
  }
  // The refused message's line sits among the figures: compare around it.
  std::string got = summary();
  for (std::size_t at = got.find("message_refused"); at != std::string::npos;
       at = got.find("message_refused")) {
    const std::string line = got.substr(at, got.find('\n', at) - at);
    EXPECT_EQ(line.substr(line.find(" - ")), " - NO X-APPEND refused") << line;
    got.erase(at, got.find('\n', at) + 1 - at);
  }
  EXPECT_EQ(got, expected);
}

TEST_F(EventsTest, SecretsNeverAppearAndEveryEndHasItsExitStatus) {
  inboxAccount("ann", 3);
  startServer({"--master-password", "Mast3r-Secret", "--drop-append", "2"});
  const std::vector<std::string> common = {"-user",    "ann",         "-domain", "example.com",
                                           "-setPass", "Us3r-Secret", "-events", events_};
  std::vector<std::string> wrong = common;
  wrong.insert(wrong.end(), {"-password", "Wr0ng-Secret"});
  EXPECT_EQ(migrate(wrong, dir_ / "wrong").exitStatus, 1);
  std::vector<std::string> right = common;
  right.insert(right.end(), {"-PASSWORD", "Mast3r-Secret", "-retry", "1"});
  EXPECT_EQ(migrate(right, dir_ / "right").exitStatus, 0);
  EXPECT_EQ(heldMessages(arrived_, "ann@example.com").size(), 3u);
  const std::string text = readFile(events_);
  for (const char* secret : {"Mast3r-Secret", "Wr0ng-Secret", "Us3r-Secret"}) {
    EXPECT_FALSE(contains(text, secret)) << secret;
  }
  EXPECT_EQ(countOf(text, "\"password\":\"(hidden)\""), 2) << text;
  EXPECT_EQ(countOf(text, "\"setPass\":\"(hidden)\""), 2) << text;
  EXPECT_EQ(summary(),
            "run - run_start run_end 1 migration failed\n"
            "totals 0 0 0 0\n"
            "account_end 0 0 0 0\n"
            "folder_end 0 0 0 0\n"
            "run - run_start run_end 0 migration successful\n"
            // The message whose connection was lost had arrived: matched, not sent.
            "totals 2 0 48 0\n"
            "account_end 1 2 0 48\n"
            "folder_end 1 2 0 3\n"
            "retry ann@example.com 1 1 cannot append message: HOST closed the connection\n");
}

TEST_F(EventsTest, StopSignalEndsTheStoryWithItsStatus) {
  inboxAccount("bob", 40);
  startServer({"--delay-ms", "50"});
  makeDirectories(work_);
  ProcessOptions stop;
  stop.workingDirectory = work_;
  stop.signal = 15;
  stop.signalWhen = [this] { return contains(readFile(events_), "account_start"); };
  ProcessResult result =
      runProcess(LODEMIG_BINARY,
                 {"-path", store_, "-migrate", "-server", "127.0.0.1", "-port", server_->portText(),
                  "-password", "master", "-primaryDomain", "example.com", "-events", events_},
                 stop);
  EXPECT_EQ(result.exitStatus, 143);
  const std::string text = readFile(events_);
  EXPECT_TRUE(contains(text.substr(text.rfind("{\"time\"")),
                       "\"type\":\"run_end\",\"result\":\"migration failed\",\"exit_status\":143,"))
      << text;
}

TEST_F(EventsTest, UnusableFileOrRunWithoutTargetIsRefusedBeforeAnythingIsSent) {
  inboxAccount("cy", 1);
  startServer();
  ProcessResult directory = migrate({"-events", dir_.path()});
  EXPECT_EQ(directory.exitStatus, 2);
  EXPECT_EQ(
      directory.out.rfind("Argument error: cannot write events file " + dir_.path() + ": ", 0), 0u)
      << directory.out;
  ASSERT_EQ(symlink(events_.c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_EQ(migrate({"-events", dir_ / "link"}).exitStatus, 2);
  EXPECT_TRUE(heldMessages(arrived_, "cy@example.com").empty());
  ProcessResult print = runProcess(LODEMIG_BINARY, {"-path", store_, "-events", events_});
  EXPECT_EQ(print.exitStatus, 2);
  EXPECT_EQ(print.out, "Argument error: -events needs -migrate, -check or -verify\n");
  EXPECT_EQ(readFile(events_), "");
}

}  // namespace
}  // namespace lodemig::testing
