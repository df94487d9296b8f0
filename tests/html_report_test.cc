// End-to-end tests of the HTML report (-htmlReport) and of merging the
// reports of shards and runs (-mergeReports).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

// Parses a page with python3's own HTML parser and fails on an end tag that
// closes anything but the element open last, or an element left open.
constexpr const char* kBalanceCheck = R"(
import sys
from html.parser import HTMLParser
VOID = {"meta", "br", "img", "hr", "input", "link", "area", "base", "col", "wbr", "source"}
class Check(HTMLParser):
    def __init__(self):
        super().__init__()
        self.open = []
        self.errors = []
        self.ids = {}
        self.want = None
    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.want = attrs.get("id")
        if tag not in VOID:
            self.open.append(tag)
    def handle_startendtag(self, tag, attrs):
        pass
    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            self.errors.append("</%s> closes %s" % (tag, self.open[-1:] or "nothing"))
        else:
            self.open.pop()
    def handle_data(self, data):
        if self.want:
            self.ids[self.want] = data
            self.want = None
check = Check()
check.feed(open(sys.argv[1], encoding="utf-8").read())
check.close()
if check.open:
    check.errors.append("left open: %s" % check.open)
print("\n".join(check.errors) or "balanced")
print("sent=%s" % check.ids.get("sent"))
)";

class HtmlReportRunTest : public MigrationTest {
 protected:
  static constexpr int kAccounts = 8;

  // Accounts in two domains, of several folders each.
  void buildStore() {
    for (int i = 0; i < kAccounts; ++i) {
      const std::string domain = i % 2 == 0 ? "" : "second.example";
      const std::string name = "u" + std::to_string(i);
      builder_.account(domain, name, AccountDirectory)
          .settings("{ Password = pw" + name + "; }")
          .info("{ INBOX = { Messages = #" + std::to_string(1 + i % 3) +
                "; }; Sent = { Messages = #2; }; }");
      builder_.mailboxFile(domain, name, "INBOX", messages(name, 1 + i % 3));
      builder_.mailboxFile(domain, name, "Sent", messages(name + "s", 2));
    }
  }

  ProcessResult lodemig(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.workingDirectory = work_;
    makeDirectories(work_);
    return runProcess(LODEMIG_BINARY, arguments, options);
  }

  // The rows of a report file (no field of these stores spans lines).
  static std::vector<std::string> rows(const std::string& report) {
    std::vector<std::string> lines;
    const std::string text = readFile(report);
    for (std::size_t at = text.find("\r\n") + 2; at < text.size();) {
      const std::size_t end = text.find("\r\n", at);
      lines.push_back(text.substr(at, end + 2 - at));
      at = end + 2;
    }
    return lines;
  }

  // Field `index` of a row whose fields hold no quotes.
  static std::string field(const std::string& row, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
      start = row.find(',', start) + 1;
    }
    return row.substr(start, row.find_first_of(",\r", start) - start);
  }

  static std::vector<std::string> sortedAsMerged(std::vector<std::string> lines) {
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
      return std::make_tuple(field(a, 0), field(a, 1), field(a, 2)) <
             std::make_tuple(field(b, 0), field(b, 1), field(b, 2));
    });
    return lines;
  }

  // What the balance check says of the page, or why it could not run.
  static std::string checkPage(const std::string& page) {
    ProcessResult result = runProcess("/usr/bin/python3", {"-c", kBalanceCheck, page});
    return result.exitStatus == 0 ? result.out : "python3 failed: " + result.err;
  }

  static bool havePython() { return ::access("/usr/bin/python3", X_OK) == 0; }
};

TEST_F(HtmlReportRunTest, MergedShardReportsEqualTheReportOfOneRun) {
  buildStore();
  startServer();
  const std::string single = work_ + "/single.csv";
  ASSERT_EQ(migrate({"-report", single}).exitStatus, 0);
  startServer();
  std::vector<std::string> merge = {"-mergeReports", work_ + "/merged.csv"};
  for (int shard = 1; shard <= 4; ++shard) {
    const std::string report = work_ + "/shard" + std::to_string(shard) + ".csv";
    const std::string shardText = std::to_string(shard) + "/4";
    ASSERT_EQ(migrate({"-shard", shardText, "-report", report}).exitStatus, 0) << shardText;
    merge.push_back(report);
  }
  merge.insert(merge.end(), {"-htmlReport", work_ + "/merged.html"});
  ProcessResult result = lodemig(merge);
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(result.out, "Info: merged 16 rows of 4 reports into " + work_ + "/merged.csv\n");
  std::string expected =
      "domain,account,folder,target_folder,kind,store_messages,store_bytes,"
      "sent,refused,skipped,target_before,target_after,verdict,error,matched\r\n";
  for (const std::string& row : sortedAsMerged(rows(single))) {
    expected += row;
  }
  EXPECT_EQ(readFile(work_ + "/merged.csv"), expected);
  if (!havePython()) {
    GTEST_SKIP() << "python3 is missing: the page's markup is not checked";
  }
  int sent = 0;
  for (const std::string& row : rows(single)) {
    sent += std::stoi(field(row, 7));
  }
  EXPECT_EQ(checkPage(work_ + "/merged.html"), "balanced\nsent=" + std::to_string(sent) + "\n");
}

TEST_F(HtmlReportRunTest, RunWritesAPrivatePageWithTheCsvTotalsAndHostileNamesEscaped) {
  builder_.account("", "ann", AccountDirectory)
      .settings("{ Password = pwann; }")
      .info("{ INBOX = { Messages = #3; }; \"<script>x\" = { Messages = #2; }; }");
  builder_.mailboxFile("", "ann", "INBOX", messages("ann", 3));
  builder_.mailboxFile("", "ann", "<script>x", messages("annx", 2));
  startServer({"--refuse-append", "2"});
  const std::string page = work_ + "/page.html";
  const std::string report = work_ + "/report.csv";
  ProcessResult result = migrate({"-report", report, "-htmlReport", page});
  EXPECT_EQ(result.exitStatus, 1);
  const std::string html = readFile(page);
  EXPECT_NE(html.find("id=\"result\">Result: migration failed<"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;x"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("verdict-failed"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(page.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  if (!havePython()) {
    GTEST_SKIP() << "python3 is missing: the page's markup is not checked";
  }
  int sent = 0;
  for (const std::string& row : rows(report)) {
    sent += std::stoi(field(row, 7));
  }
  EXPECT_EQ(sent, 4);
  EXPECT_EQ(checkPage(page), "balanced\nsent=4\n");
}

TEST_F(HtmlReportRunTest, MergeRefusesWhatItCannotUseNamingIt) {
  const std::string good = work_ + "/good.csv";
  const std::string other = work_ + "/other.csv";
  makeDirectories(work_);
  writeFile(good,
            "domain,account,folder,target_folder,kind,store_messages,store_bytes,sent,"
            "refused,skipped,target_before,target_after,verdict,error,matched\r\n");
  writeFile(other, "name,size\r\nx,1\r\n");
  const struct {
    std::vector<std::string> arguments;
    int exit;
    std::string out;
  } cases[] = {
      {{"-mergeReports", "out.csv", good, other},
       2,
       "Argument error: " + other +
           " is not a report: its first line is not the report's header\n"},
      {{"-mergeReports", "out.csv", work_ + "/none.csv"},
       1,
       "Error: cannot read " + work_ + "/none.csv: No such file or directory\n"},
      {{"-mergeReports", "out.csv", good, "-path", "/x"},
       2,
       "Argument error: -mergeReports OUT.csv IN.csv... takes no option but -htmlReport, not "
       "<-path>\n"},
      {{"-MERGEREPORTS", "out.csv"},
       2,
       "Argument error: -mergeReports needs the merged file and at least one report to read\n"},
      {{"-path", "/x", "-htmlReport", "page.html"},
       2,
       "Argument error: -htmlReport needs -migrate, -check or -verify (or -mergeReports)\n"},
  };
  for (const auto& testCase : cases) {
    ProcessResult result = lodemig(testCase.arguments);
    EXPECT_EQ(result.exitStatus, testCase.exit) << testCase.out;
    EXPECT_EQ(result.out, testCase.out);
  }
  EXPECT_EQ(lodemig({"-mergeReports", "out.csv", good}).exitStatus, 0);
  EXPECT_EQ(readFile(work_ + "/out.csv"), readFile(good));
}

}  // namespace
}  // namespace lodemig::testing
