#include "bench/delay_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>

namespace lodemig::bench {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting thread looks at the stop flag.
constexpr int kStopCheckMs = 50;
constexpr size_t kChunk = 64 * 1024;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("delay relay: " + what + ": " + std::strerror(errno));
}

void noDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

UniqueFd listenOnLoopback(int* port) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener.get() < 0 ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 64) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("listen");
  }
  *port = ntohs(address.sin_port);
  return listener;
}

UniqueFd connectToLoopback(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd.get() < 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  noDelay(fd.get());
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    at += static_cast<size_t>(sent);
  }
  return true;
}

// One direction of a relayed connection: what was read, each chunk with the
// time it may leave.
struct Direction {
  int from = -1;
  int to = -1;
  bool ended = false;          // `from` said end of stream (or failed)
  bool shutDown = false;       // and `to` was told, once the queue was empty
  bool passed = false;         // bytes went to `to` since the other direction's last chunk
  Clock::time_point wireFree;  // the link is busy until then
  std::deque<std::pair<Clock::time_point, std::string>> queue;
};

// Sends the chunks whose time has come; false when `to` fails.
bool sendDue(Direction& direction, Clock::time_point now) {
  while (!direction.queue.empty() && direction.queue.front().first <= now) {
    if (!sendAll(direction.to, direction.queue.front().second)) {
      return false;
    }
    direction.queue.pop_front();
    direction.passed = true;
  }
  if (direction.ended && direction.queue.empty() && !direction.shutDown) {
    ::shutdown(direction.to, SHUT_WR);
    direction.shutDown = true;
  }
  return true;
}

// Milliseconds until the first chunk of either direction is due, rounded up,
// at most kStopCheckMs.
int waitMs(const Direction* directions, Clock::time_point now) {
  int wait = kStopCheckMs;
  for (int i = 0; i < 2; ++i) {
    if (!directions[i].queue.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          directions[i].queue.front().first - now);
      wait =
          std::min<int>(wait, static_cast<int>(std::max<int64_t>(0, (left.count() + 999) / 1000)));
    }
  }
  return wait;
}

}  // namespace

Clock::time_point linkDeparture(Clock::time_point now, std::size_t bytes,
                                std::uint64_t bitsPerSecond, Clock::time_point* wireFree) {
  if (bitsPerSecond == 0) {
    return now;
  }
  const auto sending = std::chrono::nanoseconds(static_cast<std::int64_t>(
      static_cast<double>(bytes) * 8e9 / static_cast<double>(bitsPerSecond)));
  *wireFree = std::max(now, *wireFree) + std::chrono::duration_cast<Clock::duration>(sending);
  return *wireFree;
}

DelayRelay::DelayRelay(int targetPort, std::chrono::microseconds delay, std::uint64_t bitsPerSecond)
    : targetPort_(targetPort),
      delay_(delay),
      bitsPerSecond_(bitsPerSecond),
      listener_(listenOnLoopback(&port_)) {
  acceptor_ = std::thread([this] { acceptLoop(); });
}

DelayRelay::~DelayRelay() {
  stopping_ = true;
  acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& connection : connections_) {
    connection->thread.join();
  }
}

void DelayRelay::acceptLoop() {
  while (!stopping_) {
    pollfd wait{listener_.get(), POLLIN, 0};
    if (::poll(&wait, 1, kStopCheckMs) <= 0) {
      continue;
    }
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid()) {
      continue;
    }
    noDelay(client.get());
    std::lock_guard<std::mutex> lock(mutex_);
    // Threads of connections that ended are joined as new ones come, so that
    // a run of thousands of accounts does not keep thousands of them.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    connections_.push_back(std::make_unique<Connection>());
    Connection& connection = *connections_.back();
    connection.thread = std::thread([this, &connection, fd = std::move(client)]() mutable {
      relay(std::move(fd), connection);
    });
  }
}

void DelayRelay::relay(UniqueFd client, Connection& connection) {
  UniqueFd target = connectToLoopback(targetPort_);
  Direction directions[2];
  directions[0].from = client.get();
  directions[0].to = target.get();
  directions[1].from = target.get();
  directions[1].to = client.get();
  std::string buffer(kChunk, '\0');
  bool failed = !target.valid();
  ++connectionCount_;
  std::uint64_t turns = 0;
  bool appended = false;
  while (!failed && !stopping_ && !(directions[0].shutDown && directions[1].shutDown)) {
    pollfd waits[2];
    for (int i = 0; i < 2; ++i) {
      waits[i] = {directions[i].from, static_cast<short>(directions[i].ended ? 0 : POLLIN), 0};
    }
    if (::poll(waits, 2, waitMs(directions, Clock::now())) < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2 && !failed; ++i) {
      Direction& direction = directions[i];
      if (direction.ended || (waits[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      const ssize_t got = ::recv(direction.from, buffer.data(), buffer.size(), 0);
      if (got > 0) {
        const Clock::time_point sent = linkDeparture(Clock::now(), static_cast<size_t>(got),
                                                     bitsPerSecond_, &direction.wireFree);
        direction.queue.emplace_back(sent + delay_, buffer.substr(0, static_cast<size_t>(got)));
        if (i == 0) {
          countTurn(directions[1].passed, direction.queue.back().second, turns, appended);
        }
      } else if (got == 0 || errno != EINTR) {
        direction.ended = true;
      }
    }
    const Clock::time_point now = Clock::now();
    for (Direction& direction : directions) {
      failed = failed || !sendDue(direction, now);
    }
  }
  connection.done = true;
}

void DelayRelay::countTurn(bool& serverPassed, const std::string& chunk, std::uint64_t& turns,
                           bool& appended) {
  if (serverPassed) {
    ++turns;
    ++turns_;
    serverPassed = false;
  }
  if (!appended && chunk.find("APPEND") != std::string::npos) {
    appended = true;
    turnsBeforeAppend_ += turns;
  }
}

DelayRelay::Turns DelayRelay::turns() const {
  Turns turns;
  turns.total = turns_;
  turns.beforeAppend = turnsBeforeAppend_;
  turns.connections = connectionCount_;
  return turns;
}

double measureRelayRoundTrip(std::chrono::microseconds delay, int iterations) {
  int echoPort = 0;
  UniqueFd listener = listenOnLoopback(&echoPort);
  std::thread echo([&] {
    pollfd wait{listener.get(), POLLIN, 0};
    if (::poll(&wait, 1, 5000) <= 0) {
      return;
    }
    UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    noDelay(peer.get());
    char byte[256];
    for (;;) {
      const ssize_t got = ::recv(peer.get(), byte, sizeof byte, 0);
      if (got <= 0 || !sendAll(peer.get(), std::string(byte, static_cast<size_t>(got)))) {
        return;
      }
    }
  });
  double seconds = -1;
  {
    DelayRelay relay(echoPort, delay);
    UniqueFd client = connectToLoopback(relay.port());
    timeval timeout{5, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const Clock::time_point start = Clock::now();
    int done = 0;
    char answer[64];
    for (; done < iterations; ++done) {
      if (!sendAll(client.get(), "a1 NOOP\r\n") ||
          ::recv(client.get(), answer, sizeof answer, 0) <= 0) {
        break;
      }
    }
    if (done == iterations) {
      seconds = std::chrono::duration<double>(Clock::now() - start).count() / iterations;
    }
    client.reset();
  }
  echo.join();
  if (seconds < 0) {
    throw std::runtime_error("delay relay: the round trip through it failed");
  }
  return seconds;
}

}  // namespace lodemig::bench
