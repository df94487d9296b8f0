#include "driver/rate_options.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/argument_checks.h"
#include "driver/run_options.h"

namespace lodemig {
namespace {

RunOptions parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "lodemig");
  return parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(RateOptionsTest, MaxRateTakesBytesWithKOrM) {
  const struct {
    const char* text;
    std::int64_t bytes;
  } cases[] = {
      {"1", 1},
      {"2M", 2097152},
      {"2m", 2097152},
      {"10K", 10240},
      {"10k", 10240},
      {"1048576", 1048576},
      {"1048576M", std::int64_t{1} << 40},
      {"0", -1},
      {"0K", -1},
      {"-5", -1},
      {"", -1},
      {"M", -1},
      {"2MB", -1},
      {"1.5M", -1},
      {"2G", -1},
      {" 2M", -1},
      {"2 M", -1},
      {"1048577M", -1},
      {"99999999999999999999", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse({"-maxRate", c.text}).maxRate, c.bytes) << "\"" << c.text << "\"";
  }
  EXPECT_EQ(parse({"-MAXRATE", "3k"}).maxRate, 3072);
  EXPECT_EQ(parse({"-path", "/s"}).maxRate, 0);
}

TEST(RateOptionsTest, MaxMessagesPerSecondTakesAWholeNumber) {
  const struct {
    const char* text;
    std::int64_t count;
  } cases[] = {
      {"1", 1},        {"200", 200}, {"1000000", 1000000}, {"0", -1},
      {"1000001", -1}, {"2K", -1},   {"-1", -1},           {"", -1},
      {"x", -1},       {"20/s", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse({"-maxMessagesPerSecond", c.text}).maxMessagesPerSecond, c.count)
        << "\"" << c.text << "\"";
  }
  EXPECT_EQ(parse({"-maxmessagespersecond", "7"}).maxMessagesPerSecond, 7);
}

TEST(RateOptionsTest, RefusedValuesAreArgumentErrors) {
  const char* base[] = {"-path", "/s", "-migrate", "-server", "h", "-password", "p"};
  std::vector<const char*> rate(std::begin(base), std::end(base));
  rate.insert(rate.end(), {"-maxRate", "0"});
  EXPECT_EQ(argumentError(parse(rate)),
            "Argument error: -maxRate takes bytes a second from 1 to 1024G, with K (1024) or M "
            "(1024*1024) after the number\n");
  std::vector<const char*> messages(std::begin(base), std::end(base));
  messages.insert(messages.end(), {"-maxMessagesPerSecond", "many"});
  EXPECT_EQ(argumentError(parse(messages)),
            "Argument error: -maxMessagesPerSecond takes a number from 1 to 1000000\n");
  std::vector<const char*> good(std::begin(base), std::end(base));
  good.insert(good.end(), {"-maxRate", "2M", "-maxMessagesPerSecond", "200"});
  EXPECT_EQ(argumentError(parse(good)), "");
  // A value option standing last is missing its value, not unknown.
  EXPECT_EQ(parse({"-path", "/s", "-maxRate"}).unknownArgument, "");
}

TEST(RateOptionsTest, LimitsReachTheSettings) {
  const MigrationSettings limited =
      migrationSettingsFrom(parse({"-maxRate", "2M", "-maxMessagesPerSecond", "200"}));
  EXPECT_EQ(limited.maxBytesPerSecond, 2097152u);
  EXPECT_EQ(limited.maxMessagesPerSecond, 200u);
  const MigrationSettings free = migrationSettingsFrom(parse({"-path", "/s"}));
  EXPECT_EQ(free.maxBytesPerSecond, 0u);
  EXPECT_EQ(free.maxMessagesPerSecond, 0u);
}

}  // namespace
}  // namespace lodemig
