#include "bench/floors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

TEST(FloorsTest, FileReadReadsEveryByteOfEveryFile) {
  ScopedTempDir dir;
  writeFile(dir / "a", std::string(70000, 'a'));
  writeFile(dir / "b", "");
  writeFile(dir / "c", std::string(65536, 'c'));
  uint64_t bytes = 0;
  EXPECT_GE(measureFileRead({dir / "a", dir / "b", dir / "c"}, &bytes), 0.0);
  EXPECT_EQ(bytes, 135536u);
  EXPECT_THROW(measureFileRead({dir / "missing"}, &bytes), std::runtime_error);
}

TEST(FloorsTest, SocketPushDeliversOddSizes) {
  for (uint64_t bytes : {0ull, 1ull, 65537ull, 3000000ull}) {
    EXPECT_GE(measureSocketPush(bytes), 0.0) << bytes;
  }
}

TEST(FloorsTest, RoundTripNeedsAPositiveCount) {
  EXPECT_GT(measureRoundTrip(20), 0.0);
  EXPECT_THROW(measureRoundTrip(0), std::invalid_argument);
}

TEST(FloorsTest, SyncFloorLeavesNoFileBehind) {
  ScopedTempDir dir;
  EXPECT_GE(measureSyncCpu(dir.path(), 3), 0.0);
  EXPECT_FALSE(std::filesystem::exists(dir / "sync-floor"));
  EXPECT_THROW(measureSyncCpu(dir / "missing", 1), std::runtime_error);
}

}  // namespace
}  // namespace lodemig::bench
