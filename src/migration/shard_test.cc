#include "migration/shard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lodemig {
namespace {

TEST(ShardTest, EveryAccountFallsInExactlyOneShardWhateverItsCase) {
  std::vector<int> sizes(7, 0);
  for (int i = 0; i < 7000; ++i) {
    const std::string address = "user" + std::to_string(i) + "@example.com";
    int shards = 0;
    for (int k = 1; k <= 7; ++k) {
      if (inShard(address, k, 7)) {
        ++shards;
        ++sizes[static_cast<std::size_t>(k - 1)];
        EXPECT_TRUE(inShard("USER" + std::to_string(i) + "@Example.COM", k, 7));
      }
    }
    ASSERT_EQ(shards, 1) << address;
    EXPECT_TRUE(inShard(address, 0, 0));
  }
  // Spread evenly enough that shards of a fleet take similar times.
  for (int size : sizes) {
    EXPECT_GT(size, 850);
    EXPECT_LT(size, 1150);
  }
}

TEST(ShardTest, HashIsFixedAcrossBuilds) {
  // A journal of shard K must meet the same accounts on the next machine.
  EXPECT_EQ(accountHash(""), 14695981039346656037ull);
  EXPECT_EQ(accountHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(accountHash("A"), accountHash("a"));
}

}  // namespace
}  // namespace lodemig
