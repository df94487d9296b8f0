#include "utils/socket_layer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "utils/sigpipe_guard.h"
#include "utils/sockets.h"

namespace ostrel::utils {
namespace {

constexpr std::size_t kLargestTransfer = INT_MAX;

}  // namespace

SocketLayer::~SocketLayer() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool SocketLayer::createAndBind() {
  if (fd_ >= 0) {
    return true;
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    return false;
  }
  applyReadTimeout();
  const InetSocketAddress any;
  const sockaddr_in& form = any.sockaddr();
  if (::bind(fd_, reinterpret_cast<const ::sockaddr*>(&form), sizeof form) != 0) {
    std::perror("");
    closeAtOnce();
    return false;
  }
  return true;
}

bool SocketLayer::connect(const InetSocketAddress& remote) {
  if (fd_ < 0) {
    return false;
  }
  // Linux takes 0.0.0.0 as this host; here it stands for a host that could
  // not be resolved, so the attempt has to fail.
  if (remote.address() == 0) {
    closeAtOnce();
    connectError_ = errno = EADDRNOTAVAIL;
    return false;
  }
  connectError_ = connectWithin(remote.sockaddr());
  if (connectError_ != 0) {
    closeAtOnce();
    errno = connectError_;
    return false;
  }
  // A command is written as full 4096-byte areas and a short tail; with
  // Nagle's algorithm the tail would wait for the peer's delayed ACK, tens of
  // milliseconds per message. Failing to set it only costs speed.
  int noDelay = 1;
  (void)::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  connected_ = true;
  return true;
}

int SocketLayer::connectWithin(const sockaddr_in& form) {
  const auto* address = reinterpret_cast<const ::sockaddr*>(&form);
  const std::uint64_t microseconds =
      static_cast<std::uint64_t>(timeoutSeconds_) * 1000000u + timeoutMicroseconds_;
  if (microseconds == 0) {
    return ::connect(fd_, address, sizeof form) == 0 ? 0 : errno;
  }
  // A host that drops our packets would otherwise hold the connect for the
  // kernel's own limit, minutes, whatever -timeout says: the connect is
  // made without blocking and waited for up to the read time-out.
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return errno;
  }
  int error = ::connect(fd_, address, sizeof form) == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    error = ETIMEDOUT;
    // Each pass waits at most until the deadline; a signal only repeats it.
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
      const long long waitMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      pollfd writable{fd_, POLLOUT, 0};
      const int ready =
          ::poll(&writable, 1, static_cast<int>(std::min<long long>(waitMs, INT_MAX)));
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready < 0) {
        error = errno;
      } else if (ready > 0) {
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
          error = errno;
        }
      }
      if (ready != 0) {
        break;
      }
    }
  }
  if (::fcntl(fd_, F_SETFL, flags) != 0 && error == 0) {
    error = errno;
  }
  return error;
}

long SocketLayer::send(const char* bytes, std::size_t count) {
  const std::size_t size = std::min(count, kLargestTransfer);
  ssize_t sent;
  do {
    // MSG_NOSIGNAL: a peer that has gone away must give EPIPE, not a signal
    // that ends the whole migration.
    sent = ::send(fd_, bytes, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<long>(sent);
}

long SocketLayer::receive(char* bytes, std::size_t count) {
  const std::size_t size = std::min(count, kLargestTransfer);
  if (deadlineSet_) {
    return receiveBefore(bytes, size);
  }
  ssize_t received;
  do {
    received = ::recv(fd_, bytes, size, 0);
  } while (received < 0 && errno == EINTR);
  noteReceive(static_cast<long>(received), errno);
  return static_cast<long>(received);
}

long SocketLayer::receiveBefore(char* bytes, std::size_t size) {
  // Bytes already queued are taken without a wait; only an empty socket
  // costs the poll. Each pass either returns or waits until the socket is
  // readable or the deadline has passed, which bounds the loop.
  for (;;) {
    const ssize_t received = ::recv(fd_, bytes, size, MSG_DONTWAIT);
    const int error = errno;
    if (received >= 0 || (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)) {
      noteReceive(static_cast<long>(received), error);
      errno = error;
      return static_cast<long>(received);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    // Rounded up, so that a wait never ends a little before the deadline.
    const long long waitMs = left.count() + 1;
    pollfd ready{fd_, POLLIN, 0};
    if (left.count() < 0 ||
        (::poll(&ready, 1, static_cast<int>(std::min<long long>(waitMs, INT_MAX))) == 0 &&
         std::chrono::steady_clock::now() >= deadline_)) {
      noteReceive(-1, EAGAIN);
      errno = EAGAIN;
      return -1;
    }
  }
}

void SocketLayer::noteReceive(long received, int error) {
  if (received > 0) {
    receiveEnd_ = ReceiveEnd::kNone;
  } else if (received == 0) {
    receiveEnd_ = ReceiveEnd::kClosed;
  } else if (error == EAGAIN || error == EWOULDBLOCK) {
    receiveEnd_ = ReceiveEnd::kTimedOut;
  } else {
    receiveEnd_ = ReceiveEnd::kFailed;
    receiveError_ = error;
  }
}

void SocketLayer::startDeadline() {
  const std::uint64_t microseconds =
      static_cast<std::uint64_t>(timeoutSeconds_) * 1000000u + timeoutMicroseconds_;
  deadlineSet_ = microseconds > 0;
  receiveEnd_ = ReceiveEnd::kNone;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
}

bool SocketLayer::close() {
  connected_ = false;
  if (fd_ < 0) {
    return false;
  }
  ::shutdown(fd_, SHUT_WR);
  const int result = ::close(fd_);
  // The descriptor is released even when close reports an error.
  fd_ = -1;
  receiveTimeoutSet_ = false;
  return result == 0;
}

void SocketLayer::closeAtOnce() {
  ::close(fd_);
  fd_ = -1;
  connected_ = false;
  receiveTimeoutSet_ = false;
}

long SocketLayer::sendGathered(const char* first, std::size_t firstCount, const char* second,
                               std::size_t secondCount) {
  firstCount = std::min(firstCount, kLargestTransfer);
  secondCount = std::min(secondCount, kLargestTransfer - firstCount);
  iovec parts[2] = {{const_cast<char*>(first), firstCount},
                    {const_cast<char*>(second), secondCount}};
  msghdr message{};
  message.msg_iov = firstCount > 0 ? parts : parts + 1;
  message.msg_iovlen = firstCount > 0 ? 2 : 1;
  ssize_t sent;
  do {
    sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<long>(sent);
}

std::uint64_t SocketLayer::sendFile(int fd, std::uint64_t offset, std::uint64_t count) {
  std::uint64_t sent = 0;
  SigpipeGuard guard;
  while (sent < count && offset + sent <= static_cast<std::uint64_t>(INT64_MAX)) {
    off_t position = static_cast<off_t>(offset + sent);
    const ssize_t moved = ::sendfile(
        fd_, fd, &position,
        static_cast<std::size_t>(std::min<std::uint64_t>(count - sent, kLargestTransfer)));
    if (moved < 0 && errno == EINTR) {
      continue;
    }
    // The end of the file, a read error, a file the system cannot copy this
    // way or a socket error: the caller sends the rest itself, which names
    // the fault on the side that has it.
    if (moved <= 0) {
      break;
    }
    sent += static_cast<std::uint64_t>(moved);
  }
  return sent;
}

bool SocketLayer::waitUntilReadable() const {
  const std::uint64_t microseconds =
      static_cast<std::uint64_t>(timeoutSeconds_) * 1000000u + timeoutMicroseconds_;
  if (receiveTimeoutSet_ || microseconds == 0) {
    return true;
  }
  // 0xFFFFFFFF means no limit to waitForSocket; a longer limit is cut just below it.
  const std::uint64_t milliseconds = std::min<std::uint64_t>(
      static_cast<std::uint64_t>(timeoutSeconds_) * 1000u + timeoutMicroseconds_ / 1000u,
      0xFFFFFFFEu);
  return waitForSocket(fd_, true, static_cast<unsigned>(milliseconds)) > 0;
}

void SocketLayer::setReadTimeout(unsigned seconds, unsigned microseconds) {
  timeoutSeconds_ = seconds;
  timeoutMicroseconds_ = microseconds;
  applyReadTimeout();
}

// A receive that waits longer than the read time-out fails with EAGAIN,
// which ends the read like the peer's close. It also bounds each socket read
// inside a TLS read and the handshake. A wait for readiness before every
// receive would cost a system call per response.
void SocketLayer::applyReadTimeout() {
  if (fd_ < 0) {
    return;
  }
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeoutSeconds_ + timeoutMicroseconds_ / 1000000);
  limit.tv_usec = static_cast<suseconds_t>(timeoutMicroseconds_ % 1000000);
  // Failing leaves reads bounded by waitUntilReadable.
  receiveTimeoutSet_ = ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

}  // namespace ostrel::utils
