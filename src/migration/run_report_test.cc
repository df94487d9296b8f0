#include "migration/run_report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

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

// Files of this process may not grow beyond `bytes` while it lives: a write
// past that fails with EFBIG, as on a full disk, instead of a signal.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST(RunReportTest, RowsLostBeforeTheEndFailTheClose) {
  lodemig::testing::ScopedTempDir dir;
  const std::string path = dir / "report.csv";
  RunReport report;
  {
    FileSizeLimit limit(1000);
    ASSERT_TRUE(report.open(path));
    for (int i = 0; i < 40; ++i) {
      report.add(folderRow("Folder " + std::to_string(i)));
    }
  }
  EXPECT_TRUE(report.failed());
  // Nothing is pending any more: only the earlier loss can fail the close.
  EXPECT_FALSE(report.close());
  EXPECT_EQ(report.failureText(), "cannot write file " + path + ": File too large");
  EXPECT_EQ(report.totals().folders, 40);
  EXPECT_LE(contentOf(path).size(), 1000u);
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
  const std::string inbox = "example.com,ann@example.com,INBOX,INBOX,,0,0,2,0,0,,,ok,,0\r\n";
  EXPECT_EQ(contentOf(path), header + inbox);
  RunReport second;
  ASSERT_TRUE(second.open(path));
  second.add(folderRow("Sent"));
  ASSERT_TRUE(second.close());
  EXPECT_EQ(contentOf(path),
            header + inbox + "example.com,ann@example.com,Sent,Sent,,0,0,2,0,0,,,ok,,0\r\n");
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
