#include "bench/target_process.h"

#include <gtest/gtest.h>

#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

using lodemig::testing::ScopedTempDir;

TEST(ParseTargetSummaryTest, FindsTheSummaryLine) {
  TargetSummary summary;
  ASSERT_TRUE(parseTargetSummary(
      "4242\nnoise\naccounts: 2 folders: 3 messages: 20000 bytes: 104857600 digest: 0a1b\n",
      &summary));
  EXPECT_EQ(summary.accounts, 2u);
  EXPECT_EQ(summary.folders, 3u);
  EXPECT_EQ(summary.messages, 20000u);
  EXPECT_EQ(summary.bytes, 104857600u);
  EXPECT_EQ(summary.digest, "0a1b");
  EXPECT_FALSE(parseTargetSummary("4242\naccounts: 2 folders: 3 messages: 4\n", &summary));
  EXPECT_FALSE(
      parseTargetSummary("users: 2 folders: 3 messages: 4 bytes: 5 digest: x\n", &summary));
  // The accounts digest only ever follows the summary line.
  ASSERT_TRUE(parseTargetSummary(
      "1\naccounts: 1 folders: 1 messages: 1 bytes: 1 digest: aa\naccounts digest: bb\n",
      &summary));
  EXPECT_EQ(summary.accountsDigest, "bb");
  ASSERT_TRUE(parseTargetSummary(
      "accounts digest: cc\naccounts: 1 folders: 1 messages: 1 bytes: 1 digest: aa\n", &summary));
  EXPECT_EQ(summary.accountsDigest, "");
}

// A stand-in for the server: prints a port, then its summary on SIGTERM.
TEST(TargetProcessTest, ReadsThePortAndTheSummaryAfterSigterm) {
  ScopedTempDir dir;
  TargetProcess target({"/bin/sh", "-c",
                        "trap 'echo accounts: 1 folders: 1 messages: 7 bytes: 99 digest: ff; "
                        "exit 0' TERM; echo 4321; i=0; while [ $i -lt 300 ]; do sleep 0.1; "
                        "i=$((i+1)); done"},
                       dir / "stderr.txt");
  EXPECT_EQ(target.port(), 4321);
  std::string output;
  ChildUsage usage = target.stop(&output);
  EXPECT_TRUE(usage.succeeded());
  TargetSummary summary;
  ASSERT_TRUE(parseTargetSummary(output, &summary)) << output;
  EXPECT_EQ(summary.messages, 7u);
}

TEST(TargetProcessTest, ServerWithoutPortLineIsAnError) {
  ScopedTempDir dir;
  EXPECT_THROW(TargetProcess({"/bin/sh", "-c", "echo not-a-port"}, dir / "stderr.txt"),
               std::runtime_error);
  EXPECT_THROW(TargetProcess({"/bin/sh", "-c", "exit 0"}, dir / "stderr.txt"), std::runtime_error);
}

}  // namespace
}  // namespace lodemig::bench
