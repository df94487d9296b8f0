#include "migration/throttle.h"

#include <gtest/gtest.h>

#include <vector>

namespace lodemig {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

class FakeClock : public ostrel::utils::PaceClock {
 public:
  nanoseconds now() override { return time; }
  void sleepFor(nanoseconds span) override {
    time += span;
    slept += span;
    ++sleeps;
  }
  bool stopRequested() override { return stopAfterSleeps >= 0 && sleeps >= stopAfterSleeps; }

  nanoseconds time = seconds(500);
  nanoseconds slept{0};
  int sleeps = 0;
  int stopAfterSleeps = -1;
};

class ThrottleTest : public ::testing::Test {
 protected:
  ThrottleSettings settings(std::size_t window, std::size_t connections) {
    ThrottleSettings result;
    result.window = window;
    result.connections = connections;
    result.pauseUnit = milliseconds(10);
    return result;
  }

  FakeClock clock_;
};

TEST(SlowDownAnswerTest, UnavailableAndLimitCodesOnly) {
  const struct {
    const char* cause;
    bool slow;
  } cases[] = {
      {"NO [UNAVAILABLE] Server overloaded", true},
      {"NO [LIMIT] Too many appends", true},
      {"no [unavailable] try later", true},
      {"NO [LIMIT]", true},
      {"NO  [UNAVAILABLE] two spaces", true},
      {"NO [OVERQUOTA] Quota exceeded", false},
      {"NO [TRYCREATE] No such folder", false},
      {"NO [UNAVAILABLEX] not the code", false},
      {"NO [LIMITS] not the code", false},
      {"NO refused, [UNAVAILABLE] in the text", false},
      {"NO [UNAVAILABLE", false},
      {"[UNAVAILABLE]", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(asksToSlowDown(c.cause), c.slow) << c.cause;
  }
}

TEST(SlowDownAnswerTest, ByeOfLoadOnly) {
  const struct {
    const char* cause;
    bool load;
  } cases[] = {
      {"127.0.0.1:143 ended the connection: * BYE Too many connections, server overloaded", true},
      {"h:1 ended the connection: * BYE Server busy", true},
      {"h:1 ended the connection: * bye SYSTEM OVERLOADED", true},
      {"h:1 refused the connection: * BYE Maximum capacity reached, try again later", true},
      {"h:1 ended the connection: * BYE Server shutting down the connection", false},
      {"h:1 ended the connection: * BYE Idle for too long", false},
      {"h:1 closed the connection", false},
      {"NO [UNAVAILABLE] busy, but no BYE", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(byeSaysOverloaded(c.cause), c.load) << c.cause;
  }
}

TEST_F(ThrottleTest, EachRequestHalvesWindowAndConnectionsDownToOne) {
  Throttle throttle(settings(8, 3), clock_);
  const std::size_t windows[] = {4, 2, 1, 1};
  const std::size_t connections[] = {1, 1, 1, 1};
  for (int i = 0; i < 4; ++i) {
    const Throttle::BackOff backOff = throttle.backOff(throttle.epoch(), 8);
    EXPECT_TRUE(backOff.slowed);
    EXPECT_EQ(backOff.window, windows[i]);
    EXPECT_EQ(backOff.connections, connections[i]);
    EXPECT_EQ(throttle.window(), windows[i]);
    EXPECT_EQ(throttle.connections(), connections[i]);
  }
}

TEST_F(ThrottleTest, WithoutBoundsTheWindowInUseIsHalved) {
  Throttle throttle(ThrottleSettings(), clock_);
  EXPECT_EQ(throttle.window(), ThrottleSettings::kUnbounded);
  EXPECT_EQ(throttle.backOff(throttle.epoch(), 6).window, 3u);
  // A connection with a smaller window than the bound halves its own.
  EXPECT_EQ(throttle.backOff(throttle.epoch(), 2).window, 1u);
}

TEST_F(ThrottleTest, RefusalsOfAppendsWrittenBeforeASlowDownAreItsEcho) {
  Throttle throttle(settings(16, 4), clock_);
  const std::uint64_t written = throttle.epoch();
  EXPECT_TRUE(throttle.backOff(written, 16).slowed);
  const Throttle::BackOff echo = throttle.backOff(written, 16);
  EXPECT_FALSE(echo.slowed);
  EXPECT_EQ(echo.pause, milliseconds(0));
  EXPECT_EQ(throttle.window(), 8u);
  EXPECT_EQ(throttle.connections(), 2u);
  EXPECT_TRUE(throttle.backOff(throttle.epoch(), 8).slowed);
  EXPECT_EQ(throttle.window(), 4u);
}

TEST_F(ThrottleTest, PausesGrowToThirtyUnitsAndStartOverOnceAppendsAreTaken) {
  Throttle throttle(settings(2, 1), clock_);
  std::vector<long> pauses;
  for (int i = 0; i < 8; ++i) {
    pauses.push_back(static_cast<long>(throttle.backOff(throttle.epoch(), 8).pause.count()));
    for (std::uint64_t taken = 1; taken < Throttle::kQuietAppends; ++taken) {
      throttle.noteAccepted();
    }
  }
  EXPECT_EQ(pauses, (std::vector<long>{10, 20, 40, 80, 160, 300, 300, 300}));
  for (std::uint64_t taken = 0; taken < Throttle::kQuietAppends; ++taken) {
    throttle.noteAccepted();
  }
  EXPECT_EQ(throttle.backOff(throttle.epoch(), 8).pause, milliseconds(10));
  EXPECT_EQ(throttle.backOff(throttle.epoch(), 8).pause, milliseconds(20));
}

TEST_F(ThrottleTest, EveryJobsNextAppendWaitsOutThePause) {
  Throttle throttle(settings(4, 2), clock_);
  ASSERT_TRUE(throttle.beforeAppend());
  EXPECT_EQ(clock_.sleeps, 0);
  throttle.backOff(throttle.epoch(), 8);
  clock_.time += milliseconds(3);
  ASSERT_TRUE(throttle.beforeAppend());
  EXPECT_EQ(clock_.slept, milliseconds(7));
  ASSERT_TRUE(throttle.beforeAppend());
  EXPECT_EQ(clock_.slept, milliseconds(7));
}

TEST_F(ThrottleTest, StopRequestEndsThePause) {
  ThrottleSettings slow = settings(4, 2);
  slow.pauseUnit = seconds(1);
  Throttle throttle(slow, clock_);
  throttle.backOff(throttle.epoch(), 8);
  clock_.stopAfterSleeps = 2;
  EXPECT_FALSE(throttle.beforeAppend());
  EXPECT_EQ(clock_.slept, milliseconds(200));
}

TEST_F(ThrottleTest, RatesLimitAppendsAndBytes) {
  ThrottleSettings limited = settings(1, 1);
  limited.maxMessagesPerSecond = 200;
  limited.maxBytesPerSecond = 2 * 1024 * 1024;
  Throttle throttle(limited, clock_);
  // 400 appends at 200 a second: from the 201st on each waits its share.
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(throttle.beforeAppend());
  }
  EXPECT_EQ(clock_.slept, seconds(1));
  const nanoseconds before = clock_.slept;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(throttle.afterAppend(1024 * 1024));
  }
  // Six MiB beyond the second's worth the bucket holds: three seconds.
  EXPECT_EQ(clock_.slept - before, seconds(3));
}

}  // namespace
}  // namespace lodemig
