#ifndef LODEMIG_BENCH_DELAY_RELAY_H_
#define LODEMIG_BENCH_DELAY_RELAY_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/unique_fd.h"

namespace lodemig::bench {

// A link of `bitsPerSecond` each way (0: unlimited): the time the bytes read
// at `now` have all gone onto it, their sender being busy until `*wireFree`,
// which moves on to that time. Chunks thus leave in order, each after the
// ones before it, no faster than the link carries them.
std::chrono::steady_clock::time_point linkDeparture(
    std::chrono::steady_clock::time_point now, std::size_t bytes, std::uint64_t bitsPerSecond,
    std::chrono::steady_clock::time_point* wireFree);

// A TCP relay on 127.0.0.1 that holds every chunk it forwards for `delay`
// in each direction before passing it on, and with `bitsPerSecond` also
// limits each direction's bandwidth (see linkDeparture): what a long or
// narrow network does to round trips and transfers, in one box. Every connection to
// port() gets its own connection to `targetPort` and its own thread; the
// destructor stops accepting, ends every connection and joins every thread.
// Throws std::runtime_error when it cannot listen.
class DelayRelay {
 public:
  DelayRelay(int targetPort, std::chrono::microseconds delay, std::uint64_t bitsPerSecond = 0);
  ~DelayRelay();
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  int port() const { return port_; }

  // What the relay saw of its clients' waits, over every connection so far.
  // A turn is a chunk from the client that comes after bytes of the server
  // were passed on to it since the client's chunk before: the client waited
  // for the server (a greeting counts; an answer nothing follows does not).
  // Chunks a client writes back to back arrive before any answer can, the
  // answer being held for the delay, so they are one turn.
  struct Turns {
    std::uint64_t total = 0;
    // Up to and with the chunk that holds a connection's first "APPEND".
    std::uint64_t beforeAppend = 0;
    std::uint64_t connections = 0;
  };
  Turns turns() const;

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void acceptLoop();
  void relay(UniqueFd client, Connection& connection);
  // Takes a chunk from the client into the counts: a turn when the server's
  // bytes passed before it (and clears that), `turns` being the
  // connection's.
  void countTurn(bool& serverPassed, const std::string& chunk, std::uint64_t& turns,
                 bool& appended);

  const int targetPort_;
  const std::chrono::microseconds delay_;
  const std::uint64_t bitsPerSecond_;
  int port_ = 0;  // set by the listener's initializer, so declared before it
  UniqueFd listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> turns_{0};
  std::atomic<std::uint64_t> turnsBeforeAppend_{0};
  std::atomic<std::uint64_t> connectionCount_{0};
  std::mutex mutex_;  // guards connections_
  std::vector<std::unique_ptr<Connection>> connections_;
  std::thread acceptor_;
};

// Seconds of one round trip through a DelayRelay of `delay` to an echoing
// peer: a short line out and a short answer back, one at a time,
// `iterations` times; the mean.
double measureRelayRoundTrip(std::chrono::microseconds delay, int iterations);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_DELAY_RELAY_H_
