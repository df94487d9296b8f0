#ifndef LODEMIG_DRIVER_RATE_OPTIONS_H_
#define LODEMIG_DRIVER_RATE_OPTIONS_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "migration/migration_settings.h"

namespace lodemig {

struct RunOptions;

// The options that limit how fast a migration goes, kept together so that
// the command line's parser, checks, usage text and settings each take
// them with one call.
//
// -maxRate: bytes a second over the whole run, a whole number with K (1024)
// or M (1024 * 1024) after it where wanted; -maxMessagesPerSecond: appends a
// second over the whole run.
constexpr std::uint64_t kMaxRateLimit = std::uint64_t{1} << 40;
constexpr std::int64_t kMaxMessagesPerSecondLimit = 1000000;

// Takes -maxRate or -maxMessagesPerSecond (any letter case) with `value`:
// the number, or -1 when it is no whole number from 1 to its limit. False
// for any other option.
bool takeRateValue(RunOptions& options, const char* name, const char* value);
// "Argument error: ..." for a refused value, else "".
std::string rateError(const RunOptions& options);
// The options' usage lines.
void printRateUsage(std::ostream& out);
// Puts the limits into `settings`, with the unit of the pauses a server's
// request to slow down makes: a second, or the milliseconds that
// LODEMIG_BACKOFF_UNIT_MS names (tests keep their pauses short with it).
void applyRateOptions(const RunOptions& options, MigrationSettings& settings);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_RATE_OPTIONS_H_
