#include "bench/floors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "bench/unique_fd.h"

namespace lodemig::bench {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Every read on these sockets gives up after a few seconds, so a floor can
// never hang the benchmark.
void prepare(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// A connected pair of loopback TCP sockets.
std::pair<UniqueFd, UniqueFd> loopbackPair() {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) {
    fail("socket");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("loopback listener");
  }
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (client.get() < 0 ||
      ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fail("loopback connect");
  }
  UniqueFd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (server.get() < 0) {
    fail("loopback accept");
  }
  prepare(client.get());
  prepare(server.get());
  return {std::move(client), std::move(server)};
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Answers every line it receives with one short line, until the peer closes.
void echoPeer(int fd) {
  static const char kAnswer[] = "a1 OK NOOP completed\r\n";
  char buffer[4096];
  while (true) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return;
    }
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n' && !writeAll(fd, kAnswer, sizeof kAnswer - 1)) {
        return;
      }
    }
  }
}

void oneRoundTrip(int fd) {
  static const char kRequest[] = "a1 NOOP\r\n";
  if (!writeAll(fd, kRequest, sizeof kRequest - 1)) {
    fail("round trip send");
  }
  char buffer[256];
  // The answer is a single short line; stop at its line feed.
  while (true) {
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      fail("round trip receive");
    }
    if (std::memchr(buffer, '\n', static_cast<size_t>(got)) != nullptr) {
      return;
    }
  }
}

}  // namespace

double measureRoundTrip(int iterations) {
  if (iterations <= 0) {
    throw std::invalid_argument("round trip iterations must be positive");
  }
  auto [client, server] = loopbackPair();
  std::thread peer(echoPeer, server.get());
  double seconds = 0;
  try {
    for (int i = 0; i < 200; ++i) {
      oneRoundTrip(client.get());
    }
    Clock::time_point start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
      oneRoundTrip(client.get());
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count() / iterations;
  } catch (...) {
    ::shutdown(client.get(), SHUT_RDWR);
    peer.join();
    throw;
  }
  ::shutdown(client.get(), SHUT_RDWR);
  peer.join();
  return seconds;
}

double measureSocketPush(uint64_t bytes) {
  auto [client, server] = loopbackPair();
  std::atomic<uint64_t> received{0};
  Clock::time_point finished;
  std::thread sink([&, fd = server.get()] {
    std::vector<char> buffer(1 << 18);
    uint64_t total = 0;
    while (true) {
      ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      total += static_cast<uint64_t>(got);
    }
    finished = Clock::now();
    received = total;
  });
  std::vector<char> chunk(1 << 16, 'x');
  Clock::time_point start = Clock::now();
  uint64_t left = bytes;
  bool ok = true;
  while (ok && left > 0) {
    size_t size = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    ok = writeAll(client.get(), chunk.data(), size);
    left -= size;
  }
  ::shutdown(client.get(), SHUT_WR);
  sink.join();
  if (!ok || received != bytes) {
    throw std::runtime_error("loopback push lost bytes");
  }
  return std::chrono::duration<double>(finished - start).count();
}

double measureFileRead(const std::vector<std::string>& paths, uint64_t* bytesRead) {
  std::vector<char> buffer(1 << 16);
  uint64_t total = 0;
  Clock::time_point start = Clock::now();
  for (const std::string& path : paths) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
      fail("cannot open " + path);
    }
    while (true) {
      ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        fail("cannot read " + path);
      }
      if (got == 0) {
        break;
      }
      total += static_cast<uint64_t>(got);
    }
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (bytesRead != nullptr) {
    *bytesRead = total;
  }
  return seconds;
}

namespace {

double threadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

double measureSyncCpu(const std::string& directory, int syncs) {
  const std::string path = directory + "/sync-floor";
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    fail("cannot create " + path);
  }
  // About the length of a journal's folder count record.
  std::string line(80, 'x');
  line += '\n';
  const double start = threadCpuSeconds();
  for (int i = 0; i < syncs; ++i) {
    if (::write(file.get(), line.data(), line.size()) < 0 || ::fdatasync(file.get()) != 0) {
      fail("cannot write " + path);
    }
  }
  const double seconds = threadCpuSeconds() - start;
  ::unlink(path.c_str());
  return seconds;
}

}  // namespace lodemig::bench
