#ifndef LODEMIG_MIGRATION_THROTTLE_H_
#define LODEMIG_MIGRATION_THROTTLE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "utils/rate_limiter.h"

namespace lodemig {

// Whether a refused command's answer, as the client keeps it ("NO
// [UNAVAILABLE] Try later"), is the server asking the run to slow down:
// the response code UNAVAILABLE or LIMIT, in any letter case.
bool asksToSlowDown(const std::string& cause);
// Whether the reason a connection was lost, as the client keeps it, is a
// BYE that says the server is overloaded ("... ended the connection: * BYE
// Too many connections"): words of load, in any letter case.
bool byeSaysOverloaded(const std::string& cause);

// How fast a run may go: the limits the command line set and where the
// server's requests to slow down start from.
struct ThrottleSettings {
  std::uint64_t maxBytesPerSecond = 0;     // 0: no limit
  std::uint64_t maxMessagesPerSecond = 0;  // 0: no limit
  // Appends outstanding on a connection and accounts migrated at once; the
  // largest: no bound until the server asks to slow down.
  std::size_t window = kUnbounded;
  std::size_t connections = kUnbounded;
  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);
  // The first pause after a request to slow down; later ones double it, up
  // to kMaxPauseUnits of it.
  std::chrono::milliseconds pauseUnit{1000};
};

// What slows a run down, shared by all its jobs: the byte and append rates
// the command line allows (token buckets, see RateLimiter), and the server's
// requests to slow down. Each such request that is not an echo of one
// already answered halves the window and the connections at once (never
// below 1, and never grown again in the run) and pauses every job's next
// append; the pauses grow 1, 2, 4 ... units, at most kMaxPauseUnits, and
// start over once the server has taken kQuietAppends appends since the last.
// Thread-safe; the clock must outlive the object. Without limits and
// without requests it never waits and never reads the clock.
class Throttle {
 public:
  static constexpr int kMaxPauseUnits = 30;
  // A message refused this often for the server's load is refused for good.
  static constexpr int kMaxBackOffsPerMessage = 5;
  static constexpr std::uint64_t kQuietAppends = 20;

  explicit Throttle(const ThrottleSettings& settings = ThrottleSettings(),
                    ostrel::utils::PaceClock& clock = ostrel::utils::PaceClock::system());
  Throttle(const Throttle&) = delete;
  Throttle& operator=(const Throttle&) = delete;

  // Waits while the run pauses and until one more append is allowed. False
  // when a stop request ended the wait.
  bool beforeAppend();
  // Counts an append the server took.
  void noteAccepted() { accepted_.fetch_add(1, std::memory_order_relaxed); }
  // Counts `bytes` sent, waiting until the byte rate allows them. False when
  // a stop request ended the wait.
  bool afterAppend(std::uint64_t bytes);

  // The window and the connections at once now allowed.
  std::size_t window() const;
  std::size_t connections() const;
  // Counts the requests to slow down taken so far: an append written in
  // one epoch that is refused after a later one began is an echo of it.
  std::uint64_t epoch() const;

  struct BackOff {
    bool slowed = false;  // a new request: the figures below were set by it
    std::size_t window = 1;
    std::size_t connections = 1;
    std::chrono::milliseconds pause{0};
  };
  // The server refused an append written in epoch `writtenIn`, on a
  // connection with a window of `inUse`, for its load.
  BackOff backOff(std::uint64_t writtenIn, std::size_t inUse);

 private:
  ostrel::utils::PaceClock& clock_;
  ostrel::utils::RateLimiter bytes_;
  ostrel::utils::RateLimiter messages_;
  const std::chrono::milliseconds pauseUnit_;

  mutable std::mutex mutex_;  // guards everything below
  std::size_t window_;
  std::size_t connections_;
  std::uint64_t epoch_ = 0;
  int streak_ = 0;  // back-offs since the server last took kQuietAppends
  // Appends taken since the last back-off; counted without the lock.
  std::atomic<std::uint64_t> accepted_{0};
  std::chrono::nanoseconds pausedUntil_{0};
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_THROTTLE_H_
