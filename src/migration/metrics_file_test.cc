#include "migration/metrics_file.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using testing::readFile;

// A stream whose flush a test can wait for: the warning comes from the
// file's thread.
class FlushedText : public std::stringbuf {
 public:
  // True once the first flush came, within `timeout`.
  bool waitForFlush(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return flushed_cv_.wait_for(lock, timeout, [this] { return flushed_; });
  }

 protected:
  int sync() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      flushed_ = true;
    }
    flushed_cv_.notify_all();
    return 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable flushed_cv_;
  bool flushed_ = false;
};

class MetricsFileTest : public ::testing::Test {
 protected:
  bool holds(const std::string& piece) const {
    return readFile(path_).find(piece) != std::string::npos;
  }

  // Waits (at most about 5 s) until the file holds `piece`.
  bool eventuallyHolds(const std::string& piece) const {
    for (int i = 0; i < 500; ++i) {
      if (holds(piece)) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  testing::ScopedTempDir dir_;
  const std::string path_ = dir_ / "lodemig.prom";
  RunMetrics metrics_{{"1/1", "migrate", "9.9"}, 1000, RunMetrics::Clock::now()};
  FlushedText said_;
  std::ostream warnings_{&said_};
};

TEST_F(MetricsFileTest, TheThreadRewritesTheFileEveryPeriodUntilTheLastVersion) {
  MetricsFile file;
  ASSERT_EQ(file.open(path_, metrics_, std::chrono::milliseconds(5), warnings_), "");
  metrics_.messageStored(100);
  EXPECT_TRUE(eventuallyHolds("lodemig_appended_messages_total{shard=\"1/1\"} 1\n"));
  metrics_.messageStored(100);
  EXPECT_TRUE(eventuallyHolds("lodemig_appended_messages_total{shard=\"1/1\"} 2\n"));
  metrics_.messageStored(100);
  EXPECT_TRUE(file.finish(3));
  EXPECT_TRUE(holds("lodemig_appended_messages_total{shard=\"1/1\"} 3\n"));
  EXPECT_TRUE(holds("lodemig_exit_status{shard=\"1/1\"} 3\n"));
  // Nothing writes after the last version, a second finish() included.
  metrics_.messageStored(100);
  EXPECT_TRUE(file.finish(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(holds("lodemig_appended_messages_total{shard=\"1/1\"} 3\n"));
  EXPECT_TRUE(holds("lodemig_exit_status{shard=\"1/1\"} 3\n"));
  EXPECT_EQ(said_.str(), "");
}

TEST_F(MetricsFileTest, AFailedVersionIsSaidOnceAndTheLastOneFailsTheFinish) {
  const std::string directory = dir_ / "collector";
  testing::makeDirectories(directory);
  const std::string path = directory + "/lodemig.prom";
  MetricsFile file;
  ASSERT_EQ(file.open(path, metrics_, std::chrono::milliseconds(2), warnings_), "");
  // The writer may be between writing a version beside the file and
  // renaming it: the directory is then not empty for a moment.
  std::error_code error;
  for (int attempt = 0; attempt < 1000 && std::filesystem::exists(directory); ++attempt) {
    std::filesystem::remove_all(directory, error);
  }
  ASSERT_FALSE(std::filesystem::exists(directory));
  EXPECT_TRUE(said_.waitForFlush(std::chrono::seconds(5)));
  EXPECT_FALSE(file.finish(1));
  EXPECT_EQ(said_.str(), "Warning: cannot write file " + path +
                             ": No such file or directory, the metrics file is written again "
                             "in the next period\n");
  EXPECT_EQ(file.failureText(), "cannot write file " + path + ": No such file or directory");
}

}  // namespace
}  // namespace lodemig
