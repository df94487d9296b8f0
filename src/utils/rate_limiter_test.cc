#include "utils/rate_limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace ostrel::utils {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

// Time moves only when the limiter sleeps or the test says so; a stop
// request comes after `stopAfterSleeps` sleeps (never when negative).
class FakeClock : public PaceClock {
 public:
  nanoseconds now() override {
    ++reads;
    return nanoseconds(time.load());
  }
  void sleepFor(nanoseconds span) override {
    time += span.count();
    slept += span;
    ++sleeps;
  }
  bool stopRequested() override { return stopAfterSleeps >= 0 && sleeps >= stopAfterSleeps; }
  void advance(nanoseconds span) { time += span.count(); }

  std::atomic<std::int64_t> time{seconds(1000).count()};
  nanoseconds slept{0};
  int sleeps = 0;
  int reads = 0;
  int stopAfterSleeps = -1;
};

class RateLimiterTest : public ::testing::Test {
 protected:
  FakeClock clock_;
};

TEST_F(RateLimiterTest, FullBucketThenEachUnitWaitsItsShare) {
  RateLimiter limiter(100, clock_);
  EXPECT_EQ(limiter.reserve(100), nanoseconds::zero());
  EXPECT_EQ(limiter.reserve(1), milliseconds(10));
  // Callers queue behind what was reserved before them.
  EXPECT_EQ(limiter.reserve(50), milliseconds(510));
  clock_.advance(milliseconds(510));
  EXPECT_EQ(limiter.reserve(1), milliseconds(10));
}

TEST_F(RateLimiterTest, IdleTimeGathersAtMostOneSecondsWorth) {
  RateLimiter limiter(1000, clock_);
  EXPECT_EQ(limiter.reserve(1000), nanoseconds::zero());
  clock_.advance(milliseconds(250));
  EXPECT_EQ(limiter.reserve(250), nanoseconds::zero());
  clock_.advance(seconds(60));
  EXPECT_EQ(limiter.reserve(1500), milliseconds(500));
}

TEST_F(RateLimiterTest, LongRunKeepsTheRate) {
  // 2 MiB a second, messages of 10,000 bytes: after the first second's
  // worth, time passes exactly as the bytes allow.
  const std::uint64_t rate = 2 * 1024 * 1024;
  RateLimiter limiter(rate, clock_);
  const int messages = 3000;
  for (int i = 0; i < messages; ++i) {
    ASSERT_TRUE(limiter.take(10000));
  }
  const double expected = (messages * 10000.0 - static_cast<double>(rate)) / rate;
  EXPECT_NEAR(std::chrono::duration<double>(clock_.slept).count(), expected, 1e-5);
  // Each wait is sliced, so that a stop request is seen within a slice.
  EXPECT_GE(clock_.sleeps, static_cast<int>(expected / 0.1));
}

TEST_F(RateLimiterTest, NoLimitNeverLooksAtTheClock) {
  RateLimiter limiter(0, clock_);
  EXPECT_FALSE(limiter.limited());
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(limiter.take(1 << 30));
  }
  EXPECT_EQ(clock_.reads, 0);
  EXPECT_EQ(clock_.sleeps, 0);
}

TEST_F(RateLimiterTest, StopRequestEndsTheWaitWithinASlice) {
  RateLimiter limiter(10, clock_);
  ASSERT_TRUE(limiter.take(10));
  clock_.stopAfterSleeps = 1;
  EXPECT_FALSE(limiter.take(100));  // ten seconds owed
  EXPECT_EQ(clock_.sleeps, 1);
  EXPECT_EQ(clock_.slept, kPaceSlice);
}

TEST_F(RateLimiterTest, PauseForSleepsTheWholeSpanInSlices) {
  EXPECT_TRUE(pauseFor(clock_, milliseconds(250)));
  EXPECT_EQ(clock_.slept, milliseconds(250));
  EXPECT_EQ(clock_.sleeps, 3);
  EXPECT_TRUE(pauseFor(clock_, nanoseconds::zero()));
  EXPECT_EQ(clock_.sleeps, 3);
}

TEST_F(RateLimiterTest, ThreadsNeverShareAUnit) {
  // The clock stands still: every unit beyond the first second's worth is
  // owed, each caller's wait one share longer than the one before.
  RateLimiter limiter(100, clock_);
  std::vector<std::vector<nanoseconds>> waits(4);
  std::vector<std::thread> threads;
  for (auto& mine : waits) {
    threads.emplace_back([&limiter, &mine] {
      for (int i = 0; i < 100; ++i) {
        mine.push_back(limiter.reserve(1));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::multiset<std::int64_t> all;
  for (const auto& mine : waits) {
    for (const nanoseconds wait : mine) {
      all.insert(wait.count());
    }
  }
  EXPECT_EQ(all.count(0), 100u);
  EXPECT_EQ(*all.rbegin(), nanoseconds(seconds(3)).count());
  EXPECT_EQ(std::set<std::int64_t>(all.begin(), all.end()).size(), 301u);
}

}  // namespace
}  // namespace ostrel::utils
