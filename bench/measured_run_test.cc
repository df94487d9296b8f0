#include "bench/measured_run.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;

class MeasuredRunTest : public ::testing::Test {
 protected:
  MeasuredRun runShell(const std::string& script, int timeoutSeconds = 20) {
    return runMeasured(LODEMIG_BENCH_LAUNCH_BINARY, {"/bin/sh", "-c", script}, dir_.path(),
                       dir_ / "stderr.txt", timeoutSeconds);
  }
  ScopedTempDir dir_;
};

TEST(ParseLaunchReportTest, ReadsEveryFieldAndRejectsMissingOnes) {
  ChildUsage usage;
  ASSERT_TRUE(parseLaunchReport(
      "status=256 user_us=1500000 sys_us=250000 maxrss_kb=4096 wall_ns=2000000000 timed_out=0\n",
      &usage));
  EXPECT_EQ(usage.status, 256);
  EXPECT_DOUBLE_EQ(usage.userSeconds, 1.5);
  EXPECT_DOUBLE_EQ(usage.systemSeconds, 0.25);
  EXPECT_DOUBLE_EQ(usage.cpuSeconds(), 1.75);
  EXPECT_EQ(usage.maxRssKb, 4096);
  EXPECT_DOUBLE_EQ(usage.wallSeconds, 2.0);
  EXPECT_FALSE(usage.timedOut);
  EXPECT_FALSE(usage.succeeded());  // exit status 1
  EXPECT_FALSE(parseLaunchReport("status=0 user_us=1 sys_us=1 wall_ns=1 timed_out=0", &usage));
  EXPECT_FALSE(parseLaunchReport("", &usage));
}

TEST_F(MeasuredRunTest, RunsInTheDirectoryAndCountsTheConsole) {
  MeasuredRun run = runShell("pwd; printf 12345 >&2");
  EXPECT_TRUE(run.usage.succeeded());
  EXPECT_EQ(run.consoleBytes, dir_.path().size() + 1);
  EXPECT_EQ(readFile(dir_ / "stderr.txt"), "12345");
}

TEST_F(MeasuredRunTest, ReportsTheExitStatus) {
  MeasuredRun run = runShell("exit 3");
  ASSERT_TRUE(WIFEXITED(run.usage.status));
  EXPECT_EQ(WEXITSTATUS(run.usage.status), 3);
  EXPECT_FALSE(run.usage.succeeded());
}

TEST_F(MeasuredRunTest, PeakRssIsTheChildsOwn) {
  MeasuredRun small = runShell("exit 0");
  // A shell variable of 40 MB keeps that much resident in the child.
  MeasuredRun large = runShell("x=$(head -c 40000000 /dev/zero | tr '\\0' a); echo ${#x}");
  EXPECT_TRUE(large.usage.succeeded());
  EXPECT_LT(small.usage.maxRssKb, 8 * 1024);
  EXPECT_GT(large.usage.maxRssKb, 39000);
}

TEST_F(MeasuredRunTest, ChildIsKilledAtTheTimeout) {
  MeasuredRun run = runShell("exec sleep 30", 1);
  EXPECT_TRUE(run.usage.timedOut);
  EXPECT_FALSE(run.usage.succeeded());
  EXPECT_TRUE(WIFSIGNALED(run.usage.status));
}

TEST_F(MeasuredRunTest, MissingLauncherThrows) {
  EXPECT_THROW(
      runMeasured(dir_ / "no-such-launcher", {"/bin/true"}, dir_.path(), dir_ / "stderr.txt", 5),
      std::runtime_error);
}

}  // namespace
}  // namespace lodemig::bench
