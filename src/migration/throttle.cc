#include "migration/throttle.h"

#include <algorithm>

#include "utils/ascii.h"

namespace lodemig {

bool asksToSlowDown(const std::string& cause) {
  // The code stands right after the status word: "NO [UNAVAILABLE] ...".
  const std::size_t open = cause.find('[');
  if (open == std::string::npos || cause.find_first_not_of(' ', cause.find(' ')) != open) {
    return false;
  }
  const std::size_t close = cause.find_first_of(" ]", open);
  if (close == std::string::npos) {
    return false;
  }
  const std::string code = cause.substr(open + 1, close - open - 1);
  return ostrel::utils::equalsIgnoreCase(code.c_str(), "UNAVAILABLE") ||
         ostrel::utils::equalsIgnoreCase(code.c_str(), "LIMIT");
}

bool byeSaysOverloaded(const std::string& cause) {
  std::string lower;
  for (const char c : cause) {
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  const std::size_t bye = lower.find("* bye ");
  if (bye == std::string::npos) {
    return false;
  }
  for (const char* word : {"overload", "too many", "busy", "try again", "capacity"}) {
    if (lower.find(word, bye) != std::string::npos) {
      return true;
    }
  }
  return false;
}

Throttle::Throttle(const ThrottleSettings& settings, ostrel::utils::PaceClock& clock)
    : clock_(clock),
      bytes_(settings.maxBytesPerSecond, clock),
      messages_(settings.maxMessagesPerSecond, clock),
      pauseUnit_(settings.pauseUnit),
      window_(std::max<std::size_t>(settings.window, 1)),
      connections_(std::max<std::size_t>(settings.connections, 1)) {}

bool Throttle::beforeAppend() {
  std::chrono::nanoseconds paused{0};
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Read only once the server has asked for a pause.
    if (epoch_ > 0) {
      paused = pausedUntil_ - clock_.now();
    }
  }
  return ostrel::utils::pauseFor(clock_, paused) && messages_.take(1);
}

bool Throttle::afterAppend(std::uint64_t bytes) {
  return bytes_.take(bytes);
}

std::size_t Throttle::window() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return window_;
}

std::size_t Throttle::connections() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::uint64_t Throttle::epoch() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return epoch_;
}

Throttle::BackOff Throttle::backOff(std::uint64_t writtenIn, std::size_t inUse) {
  const std::lock_guard<std::mutex> lock(mutex_);
  BackOff result;
  result.window = window_;
  result.connections = connections_;
  if (writtenIn < epoch_) {
    // Written before the last slow-down began: the server refuses what was
    // already on its way, which asks for nothing new.
    return result;
  }
  const std::chrono::nanoseconds now = clock_.now();
  // A server that took a good many appends since the last pause asks anew:
  // the pauses start over.
  if (accepted_.exchange(0, std::memory_order_relaxed) >= kQuietAppends) {
    streak_ = 0;
  }
  ++epoch_;
  window_ = std::max<std::size_t>(std::min(window_, inUse) / 2, 1);
  connections_ = std::max<std::size_t>(connections_ / 2, 1);
  result.slowed = true;
  result.window = window_;
  result.connections = connections_;
  result.pause = pauseUnit_ * std::min(kMaxPauseUnits, 1 << std::min(streak_, 5));
  ++streak_;
  pausedUntil_ = now + result.pause;
  return result;
}

}  // namespace lodemig
