#include "utils/rate_limiter.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "utils/stop_request.h"

namespace ostrel::utils {
namespace {

class SystemClock : public PaceClock {
 public:
  std::chrono::nanoseconds now() override {
    return std::chrono::steady_clock::now().time_since_epoch();
  }
  void sleepFor(std::chrono::nanoseconds span) override { std::this_thread::sleep_for(span); }
  bool stopRequested() override { return stopSignal() != 0; }
};

}  // namespace

PaceClock& PaceClock::system() {
  static SystemClock clock;
  return clock;
}

bool pauseFor(PaceClock& clock, std::chrono::nanoseconds span) {
  // Bounded by the span: each slice but the last is a whole kPaceSlice.
  while (span > std::chrono::nanoseconds::zero()) {
    if (clock.stopRequested()) {
      return false;
    }
    const std::chrono::nanoseconds slice =
        std::min<std::chrono::nanoseconds>(span, std::chrono::nanoseconds(kPaceSlice));
    clock.sleepFor(slice);
    span -= slice;
  }
  return !clock.stopRequested();
}

RateLimiter::RateLimiter(std::uint64_t ratePerSecond, PaceClock& clock)
    : rate_(static_cast<double>(ratePerSecond)),
      clock_(clock),
      tokens_(rate_),
      updated_(rate_ > 0 ? clock.now() : std::chrono::nanoseconds::zero()) {}

std::chrono::nanoseconds RateLimiter::reserve(std::uint64_t units) {
  if (rate_ <= 0) {
    return std::chrono::nanoseconds::zero();
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::chrono::nanoseconds now = clock_.now();
  if (now > updated_) {
    const double seconds = std::chrono::duration<double>(now - updated_).count();
    // What gathers while nobody sends is capped: an idle minute must not
    // let a minute's worth out at once.
    tokens_ = std::min(rate_, tokens_ + seconds * rate_);
    updated_ = now;
  }
  tokens_ -= static_cast<double>(units);
  if (tokens_ >= 0) {
    return std::chrono::nanoseconds::zero();
  }
  return std::chrono::nanoseconds(std::llround(-tokens_ / rate_ * 1e9));
}

bool RateLimiter::take(std::uint64_t units) {
  return pauseFor(clock_, reserve(units));
}

}  // namespace ostrel::utils
