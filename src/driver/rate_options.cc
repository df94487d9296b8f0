#include "driver/rate_options.h"

#include <cstdlib>

#include "driver/run_options.h"
#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

// Digits, then at most one of K, M (either case); the value times its unit
// from 1 to `limit`, else -1.
std::int64_t parseScaled(const std::string& text, std::uint64_t limit) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > limit) {
      return -1;
    }
  }
  if (i == 0) {
    return -1;
  }
  std::uint64_t unit = 1;
  if (i + 1 == text.size() && (text[i] == 'K' || text[i] == 'k')) {
    unit = 1024;
  } else if (i + 1 == text.size() && (text[i] == 'M' || text[i] == 'm')) {
    unit = 1024 * 1024;
  } else if (i != text.size()) {
    return -1;
  }
  if (value == 0 || value > limit / unit) {
    return -1;
  }
  return static_cast<std::int64_t>(value * unit);
}

}  // namespace

bool takeRateValue(RunOptions& options, const char* name, const char* value) {
  if (equalsIgnoreCase(name, "-maxrate")) {
    options.maxRate = parseScaled(value, kMaxRateLimit);
  } else if (equalsIgnoreCase(name, "-maxmessagespersecond")) {
    const std::string text = value;
    // No unit: a count of messages.
    options.maxMessagesPerSecond =
        text.find_first_not_of("0123456789") == std::string::npos
            ? parseScaled(text, static_cast<std::uint64_t>(kMaxMessagesPerSecondLimit))
            : -1;
  } else {
    return false;
  }
  return true;
}

std::string rateError(const RunOptions& options) {
  if (options.maxRate < 0) {
    return "Argument error: -maxRate takes bytes a second from 1 to 1024G, with K (1024) or M "
           "(1024*1024) after the number\n";
  }
  if (options.maxMessagesPerSecond < 0) {
    return "Argument error: -maxMessagesPerSecond takes a number from 1 to " +
           std::to_string(kMaxMessagesPerSecondLimit) + "\n";
  }
  return std::string();
}

void printRateUsage(std::ostream& out) {
  out << "       -maxRate   bytes a second, all jobs together; K = 1024, M = 1024*1024 "
         "(optional)\n";
  out << "       -maxMessagesPerSecond  messages a second, all jobs together (optional)\n";
}

void applyRateOptions(const RunOptions& options, MigrationSettings& settings) {
  settings.maxBytesPerSecond =
      options.maxRate > 0 ? static_cast<std::uint64_t>(options.maxRate) : 0;
  settings.maxMessagesPerSecond = options.maxMessagesPerSecond > 0
                                      ? static_cast<std::uint64_t>(options.maxMessagesPerSecond)
                                      : 0;
  const char* unit = std::getenv("LODEMIG_BACKOFF_UNIT_MS");
  if (unit != nullptr) {
    const long milliseconds = std::strtol(unit, nullptr, 10);
    if (milliseconds > 0 && milliseconds <= 1000) {
      settings.backOffUnitMs = static_cast<int>(milliseconds);
    }
  }
}

}  // namespace lodemig
