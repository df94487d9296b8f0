#include "migration/report_reader.h"

#include <gtest/gtest.h>

#include "migration/events_series.h"
#include "migration/report_merge.h"

namespace lodemig {
namespace {

class ReportReaderTest : public ::testing::Test {
 protected:
  // A row with quotes, a comma and a line end in its fields, over two lines.
  static constexpr const char* kQuotedRow =
      "a.example,ann@a.example,\"Sales, \"\"Q1\"\"\",\"Sales, \"\"Q1\"\"\",mail,4,1200,3,1,0,,,"
      "failed,\"refused:\r\nNO too big\",0\r\n";

  static std::string header() { return std::string(RunReport::kHeader) + "\r\n"; }

  static std::string line(const std::string& account, const std::string& folder,
                          const std::string& verdict = "ok", const std::string& sent = "3") {
    return "example.com," + account + "," + folder + "," + folder + ",mail," + sent + ",300," +
           sent + ",0,0,0," + sent + "," + verdict + ",,0\r\n";
  }

  static std::vector<ReportRecord> read(const std::string& text) {
    std::vector<ReportRecord> records;
    EXPECT_EQ(readReportText(text, records), "");
    return records;
  }

  static std::vector<std::string> keys(const std::vector<ReportRecord>& records) {
    std::vector<std::string> found;
    for (const ReportRecord& record : records) {
      found.push_back(record.row.account + "/" + record.row.folder + "/" +
                      verdictWord(record.row.verdict));
    }
    return found;
  }
};

TEST_F(ReportReaderTest, QuotedFieldsAndEmptyCountsReadBackAsWritten) {
  const std::string row = kQuotedRow;
  const std::vector<ReportRecord> records = read(header() + row);
  ASSERT_EQ(records.size(), 1u);
  const ReportRow& read = records[0].row;
  EXPECT_EQ(read.folder, "Sales, \"Q1\"");
  EXPECT_EQ(read.storeMessages, 4);
  EXPECT_EQ(read.storeBytes, 1200u);
  EXPECT_EQ(read.refused, 1);
  EXPECT_EQ(read.targetBefore, -1);
  EXPECT_EQ(read.targetAfter, -1);
  EXPECT_EQ(read.verdict, Verdict::Failed);
  EXPECT_EQ(read.error, "refused:\r\nNO too big");
  // Written back, the row is the same bytes.
  EXPECT_EQ(reportLine(records[0].fields), row);
}

TEST_F(ReportReaderTest, RefusesWhatIsNotAReportNamingTheLine) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "its first line is not the report's header"},
      {"domain,account\r\n", "its first line is not the report's header"},
      {header().substr(0, header().size() - 2), "its first line is not the report's header"},
      {header() + line("a@x", "INBOX") + "a,b,c\r\n", "line 3: 3 fields, not 15"},
      {header() + line("a@x", "INBOX", "ok", "x"), "line 2: store_messages is not a number"},
      {header() + line("a@x", "INBOX", "fine"),
       "line 2: verdict is not one of ok, missing, extra, failed, skipped, pending"},
      {header() + "x,\"a\r\nb,c\r\n", "line 2: a quoted field does not end"},
      {header() + kQuotedRow + line("a@x", "INBOX") + "1\r\n", "line 5: 1 fields, not 15"},
  };
  for (const auto& testCase : cases) {
    std::vector<ReportRecord> records;
    EXPECT_EQ(readReportText(testCase.text, records), testCase.error) << testCase.text;
  }
}

TEST_F(ReportReaderTest, EveryPrefixOfAReportReadsOrIsRefusedWithoutHarm) {
  const std::string text = header() + line("a@x", "\"q\"") + line("b@x", "INBOX");
  for (std::size_t length = 0; length <= text.size(); ++length) {
    std::vector<ReportRecord> records;
    const std::string error = readReportText(text.substr(0, length), records);
    EXPECT_LE(records.size(), 2u);
    if (length == text.size()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(records.size(), 2u);
    }
  }
}

TEST_F(ReportReaderTest, MergeSortsRowsAndKeepsTheNewerRunOfAnAccount) {
  const std::vector<ReportRecord> first =
      read(header() + line("c@x", "INBOX", "failed") + line("a@x", "Sent") + line("a@x", "INBOX") +
           line("c@x", "Sent"));
  const std::vector<ReportRecord> second = read(header() + line("c@x", "INBOX"));
  const std::vector<ReportRecord> merged = mergeReports({first, second});
  EXPECT_EQ(keys(merged),
            (std::vector<std::string>{"a@x/INBOX/ok", "a@x/Sent/ok", "c@x/INBOX/ok"}));
  // In the other order the older run is taken as the newer.
  EXPECT_EQ(
      keys(mergeReports({second, first})),
      (std::vector<std::string>{"a@x/INBOX/ok", "a@x/Sent/ok", "c@x/INBOX/failed", "c@x/Sent/ok"}));
}

TEST_F(ReportReaderTest, MergeKeepsWhatAnAccountSkippedLaterSaid) {
  const std::vector<ReportRecord> migrated = read(header() + line("a@x", "INBOX"));
  const std::vector<ReportRecord> skipped = read(header() + line("a@x", "", "skipped", "0"));
  EXPECT_EQ(keys(mergeReports({migrated, skipped})), (std::vector<std::string>{"a@x/INBOX/ok"}));
  EXPECT_EQ(keys(mergeReports({skipped, migrated})), (std::vector<std::string>{"a@x/INBOX/ok"}));
  // A resumed run appends to its report: the later row of a folder wins.
  EXPECT_EQ(keys(mergeReports({read(header() + line("a@x", "INBOX", "failed") +
                                    line("a@x", "INBOX") + line("a@x", "INBOX", "skipped"))})),
            (std::vector<std::string>{"a@x/INBOX/ok"}));
}

TEST_F(ReportReaderTest, TotalsOfRecordsCountAsTheRunDoes) {
  const RunTotals totals =
      totalsOfRecords(read(header() + line("a@x", "INBOX") + line("a@x", "Sent", "failed", "2") +
                           line("b@x", "INBOX", "missing") + line("c@x", "", "skipped", "0")));
  EXPECT_EQ(totals.accountsMigrated, 1);
  EXPECT_EQ(totals.accountsFailed, 1);
  EXPECT_EQ(totals.accountsSkipped, 1);
  EXPECT_EQ(totals.folders, 3);
  EXPECT_EQ(totals.foldersNotOk, 2);
  EXPECT_EQ(totals.sent, 8);
}

class EventsSeriesTest : public ::testing::Test {};

TEST_F(EventsSeriesTest, JsonFieldsFlattenNestedObjectsAndUnescapeStrings) {
  std::map<std::string, std::string> fields;
  ASSERT_TRUE(readJsonFields(
      R"({"type":"run_end","reason":"a\"b\\c\u00e9\n","totals":{"sent":12,"x":[1,{"y":2}]},)"
      R"("ok":true,"none":null})",
      fields));
  EXPECT_EQ(fields["type"], "run_end");
  EXPECT_EQ(fields["reason"], "a\"b\\c\xC3\xA9\n");
  EXPECT_EQ(fields["totals.sent"], "12");
  EXPECT_EQ(fields["ok"], "true");
  EXPECT_EQ(fields["none"], "null");
  EXPECT_EQ(fields.count("totals.x.y"), 0u);
  for (const char* bad :
       {"", "[]", "{", "{\"a\":}", "{\"a\":1,}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":\"\\q\"}"}) {
    std::map<std::string, std::string> ignored;
    EXPECT_FALSE(readJsonFields(bad, ignored)) << bad;
  }
  std::string deep(100, '[');
  std::map<std::string, std::string> ignored;
  EXPECT_FALSE(readJsonFields("{\"a\":" + deep + "}", ignored));
}

TEST_F(EventsSeriesTest, EventTimesAreUtcWithMilliseconds) {
  EXPECT_DOUBLE_EQ(eventTime("1970-01-01T00:01:00.250Z"), 60.25);
  EXPECT_DOUBLE_EQ(eventTime("2026-12-08T15:04:05.000Z"), 1796742245);
  EXPECT_LT(eventTime("2026-12-08 15:04:05"), 0);
  EXPECT_LT(eventTime("2026-12-08T15:04:05.000Zjunk"), 0);
}

TEST_F(EventsSeriesTest, ShardsGiveOneSeriesEachAndSumStepwise) {
  const std::string text =
      R"({"time":"1970-01-01T00:00:10.000Z","type":"run_start","shard":"1/2"})"
      "\n"
      R"({"time":"1970-01-01T00:00:12.000Z","type":"run_start","shard":"2/2"})"
      "\n"
      R"({"time":"1970-01-01T00:00:20.000Z","type":"progress","shard":"1/2","messages":50})"
      "\n"
      R"({"time":"1970-01-01T00:00:22.000Z","type":"run_end","shard":"2/2","totals":{"sent":7}})"
      "\n"
      R"({"time":"1970-01-01T00:00:30.000Z","type":"run_end","shard":"1/2","totals":{"sent":80}})"
      "\n";
  std::vector<std::vector<MessageSample>> series;
  ASSERT_EQ(readEventsSeries(text, series), "");
  ASSERT_EQ(series.size(), 2u);
  EXPECT_EQ(series[0].size(), 3u);
  const std::vector<MessageSample> sum = sumSeries(series);
  std::vector<std::int64_t> messages;
  for (const MessageSample& sample : sum) {
    messages.push_back(sample.messages);
  }
  EXPECT_EQ(messages, (std::vector<std::int64_t>{0, 0, 50, 57, 87}));
  EXPECT_DOUBLE_EQ(sum.back().time, 30);
  std::vector<std::vector<MessageSample>> ignored;
  EXPECT_EQ(readEventsSeries(text + "{\"type\":\"x\"}\n", ignored), "line 6 is not an event");
}

}  // namespace
}  // namespace lodemig
