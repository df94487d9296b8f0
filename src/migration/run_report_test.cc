#include "migration/run_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ReportRow folderRow(const std::string& folder) {
  ReportRow row;
  row.domain = "example.com";
  row.account = "ann@example.com";
  row.folder = folder;
  row.targetFolder = folder;
  row.sent = 2;
  return row;
}

TEST(RunReportTest, AResumedRunAddsItsRowsUnderTheOneHeader) {
  testing::ScopedTempDir dir;
  const std::string path = dir / "report.csv";
  const std::string header = std::string(RunReport::kHeader) + "\r\n";
  {
    RunReport first;
    ASSERT_TRUE(first.open(path));
    first.add(folderRow("INBOX"));
    ASSERT_TRUE(first.close());
  }
  const std::string inbox = "example.com,ann@example.com,INBOX,INBOX,,0,0,2,0,0,,,ok,\r\n";
  EXPECT_EQ(contentOf(path), header + inbox);
  RunReport second;
  ASSERT_TRUE(second.open(path));
  second.add(folderRow("Sent"));
  ASSERT_TRUE(second.close());
  EXPECT_EQ(contentOf(path),
            header + inbox + "example.com,ann@example.com,Sent,Sent,,0,0,2,0,0,,,ok,\r\n");
  // Only this run's rows count in its totals.
  EXPECT_EQ(second.totals().sent, 2);
}

TEST(RunReportTest, AnEmptyFileGetsTheHeader) {
  testing::ScopedTempDir dir;
  const std::string path = dir / "report.csv";
  std::ofstream(path).close();
  RunReport report;
  ASSERT_TRUE(report.open(path));
  ASSERT_TRUE(report.close());
  EXPECT_EQ(contentOf(path), std::string(RunReport::kHeader) + "\r\n");
}

}  // namespace
}  // namespace lodemig
