#ifndef LODEMIG_UTILS_RATE_LIMITER_H_
#define LODEMIG_UTILS_RATE_LIMITER_H_

#include <chrono>
#include <cstdint>
#include <mutex>

namespace ostrel::utils {

// The time a RateLimiter reads, the way it waits and whether it is to stop
// waiting: the system's steady clock, sleep and stop request (stopSignal())
// by default; a test's own where the arithmetic is checked without waiting.
class PaceClock {
 public:
  virtual ~PaceClock() = default;
  virtual std::chrono::nanoseconds now() = 0;
  virtual void sleepFor(std::chrono::nanoseconds span) = 0;
  virtual bool stopRequested() = 0;
  // The system's; lives as long as the process.
  static PaceClock& system();
};

// Waits for `span` on `clock` in slices of at most kPaceSlice, so that a stop
// request ends it promptly. True when the whole span passed, false when a
// stop request came first.
bool pauseFor(PaceClock& clock, std::chrono::nanoseconds span);
constexpr std::chrono::milliseconds kPaceSlice{100};

// A token bucket: `ratePerSecond` units a second, of which at most one
// second's worth may gather while nobody takes any (the bucket starts full).
// Shared by threads: each caller reserves its units under the one lock and
// waits outside it, so callers are served in the order they reserved and a
// unit is never handed out twice. A rate of 0 is no limit: take() returns at
// once without reading the clock. `clock` must outlive the limiter.
class RateLimiter {
 public:
  explicit RateLimiter(std::uint64_t ratePerSecond, PaceClock& clock = PaceClock::system());
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  bool limited() const { return rate_ > 0; }
  // Takes `units` out of the bucket, which may leave it owing, and returns
  // how long the caller must wait before using them (0 when it held them).
  std::chrono::nanoseconds reserve(std::uint64_t units);
  // reserve(), then waits that long with pauseFor(). False when a stop
  // request ended the wait.
  bool take(std::uint64_t units);

 private:
  const double rate_;  // units a second
  PaceClock& clock_;
  std::mutex mutex_;  // guards the two below
  double tokens_;     // negative while reservations are owed
  std::chrono::nanoseconds updated_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_RATE_LIMITER_H_
