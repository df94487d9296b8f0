#include "utils/sockets.h"

#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace ostrel::utils {
namespace {

VMutex& startupMutex() {
  // Built on first use, so that it exists even when start-up is called from
  // another object's constructor before main.
  static VMutex mutex;
  return mutex;
}

bool started = false;

// The longest wait that one poll call can express; longer limited waits are
// cut to it (about 24 days).
constexpr unsigned kLongestPoll = INT_MAX;

}  // namespace

int socketsStartup() {
  startupMutex().lock();
  int result = 0;
  if (!started) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGPIPE, &ignore, nullptr) == 0) {
      started = true;
    } else {
      result = errno;
    }
  }
  startupMutex().unlock();
  return result;
}

int socketsCleanup() {
  startupMutex().lock();
  // SIGPIPE stays ignored: a stream closed after clean-up must still not be
  // able to kill the process.
  started = false;
  startupMutex().unlock();
  return 0;
}

int waitForSocket(int socket, bool forReading, unsigned milliseconds) {
  if (socket < 0) {
    errno = EBADF;
    return -1;
  }
  const bool unlimited = milliseconds == 0xFFFFFFFFu;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(unlimited ? 0 : milliseconds);
  pollfd entry{};
  entry.fd = socket;
  entry.events = forReading ? POLLIN : POLLOUT;
  for (;;) {
    int timeout = -1;
    if (!unlimited) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      timeout = left.count() <= 0 ? 0
                : static_cast<unsigned long long>(left.count()) > kLongestPoll
                    ? static_cast<int>(kLongestPoll)
                    : static_cast<int>(left.count());
    }
    entry.revents = 0;
    int result = ::poll(&entry, 1, timeout);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result < 0) {
      return -1;
    }
    if (result == 0) {
      // A wait longer than one poll can express goes on until its end.
      if (!unlimited && std::chrono::steady_clock::now() < deadline) {
        continue;
      }
      return 0;
    }
    if ((entry.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
    // A hang-up or an error also means the next read or write will not block:
    // it reports the end or the error to the caller.
    return 1;
  }
}

std::string localHostName() {
  constexpr std::size_t kCapacity = 1023;
  char name[kCapacity + 1];
  if (::gethostname(name, sizeof name) != 0) {
    return "unspecified.host";
  }
  name[kCapacity] = '\0';
  if (name[0] == '\0') {
    return "unspecified.host";
  }
  std::string result = name;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
    if (found != nullptr && found->ai_canonname != nullptr && found->ai_canonname[0] != '\0') {
      result = found->ai_canonname;
    }
    ::freeaddrinfo(found);
  }
  if (result.size() > kCapacity) {
    result.resize(kCapacity);
  }
  return result;
}

}  // namespace ostrel::utils
