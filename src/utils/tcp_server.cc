#include "utils/tcp_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::utils {

namespace {

// Turns a numeric address and a port into a socket address, without any
// name lookup. False when `address` is not a numeric address.
bool resolve(const std::string& address, std::uint16_t port, sockaddr_storage* out,
             socklen_t* length, int* family) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  std::memcpy(out, found->ai_addr, found->ai_addrlen);
  *length = found->ai_addrlen;
  *family = found->ai_family;
  ::freeaddrinfo(found);
  return true;
}

int pollOne(int socket, short events, int timeoutMs) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = events;
  int ready;
  do {
    ready = ::poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready;
}

void closeDescriptor(int* descriptor) {
  if (*descriptor >= 0) {
    ::close(*descriptor);
    *descriptor = -1;
  }
}

}  // namespace

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : socket_(other.socket_) {
  other.socket_ = -1;
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
  if (this != &other) {
    close();
    socket_ = other.socket_;
    other.socket_ = -1;
  }
  return *this;
}

TcpConnection TcpConnection::connectTo(const std::string& address, std::uint16_t port, int* error) {
  sockaddr_storage remote{};
  socklen_t length = 0;
  int family = 0;
  if (!resolve(address, port, &remote, &length, &family)) {
    if (error != nullptr) {
      *error = EINVAL;
    }
    return TcpConnection();
  }
  TcpConnection connection(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!connection.valid()) {
    if (error != nullptr) {
      *error = errno;
    }
    return connection;
  }
  int result;
  do {
    result = ::connect(connection.socket_, reinterpret_cast<const sockaddr*>(&remote), length);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    if (error != nullptr) {
      *error = errno;
    }
    return TcpConnection();
  }
  return connection;
}

long TcpConnection::receive(char* buffer, std::size_t size, int timeoutMs) {
  if (socket_ < 0) {
    errno = EBADF;
    return kError;
  }
  if (timeoutMs >= 0) {
    const int ready = pollOne(socket_, POLLIN, timeoutMs);
    if (ready == 0) {
      return kTimedOut;
    }
    if (ready < 0) {
      return kError;
    }
  }
  ssize_t count;
  do {
    count = ::recv(socket_, buffer, size, 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    // A reset by the peer is an end like any other for the reader.
    return errno == ECONNRESET ? kClosed : kError;
  }
  return static_cast<long>(count);
}

bool TcpConnection::sendAll(const char* data, std::size_t size) {
  if (socket_ < 0) {
    return false;
  }
  while (size > 0) {
    const ssize_t sent = ::send(socket_, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

void TcpConnection::shutdownBoth() {
  if (socket_ >= 0) {
    ::shutdown(socket_, SHUT_RDWR);
  }
}

void TcpConnection::shutdownWrite() {
  if (socket_ >= 0) {
    ::shutdown(socket_, SHUT_WR);
  }
}

void TcpConnection::close() {
  closeDescriptor(&socket_);
}

TcpListener::~TcpListener() {
  close();
}

int TcpListener::open(const std::string& address, std::uint16_t port, int backlog) {
  if (socket_ >= 0) {
    return EALREADY;
  }
  sockaddr_storage local{};
  socklen_t length = 0;
  int family = 0;
  if (!resolve(address, port, &local, &length, &family)) {
    return EINVAL;
  }
  socket_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    return errno;
  }
  // A restarted server must be able to take its port back while old
  // connections linger in TIME_WAIT.
  const int on = 1;
  ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int pipeEnds[2];
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), length) < 0 ||
      ::listen(socket_, backlog) < 0 || ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) < 0) {
    const int error = errno;
    close();
    return error;
  }
  wakeRead_ = pipeEnds[0];
  wakeWrite_ = pipeEnds[1];
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &boundLength) < 0) {
    const int error = errno;
    close();
    return error;
  }
  port_ =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  return 0;
}

TcpConnection TcpListener::accept(int timeoutMs, int* error) {
  if (error != nullptr) {
    *error = 0;
  }
  if (socket_ < 0) {
    if (error != nullptr) {
      *error = EBADF;
    }
    return TcpConnection();
  }
  pollfd entries[2] = {};
  entries[0].fd = socket_;
  entries[0].events = POLLIN;
  entries[1].fd = wakeRead_;
  entries[1].events = POLLIN;
  int ready;
  do {
    ready = ::poll(entries, 2, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    if (error != nullptr) {
      *error = errno;
    }
    return TcpConnection();
  }
  // The wake byte is left in the pipe, so every later accept returns at once.
  if (ready == 0 || (entries[1].revents & POLLIN) != 0) {
    return TcpConnection();
  }
  int accepted;
  do {
    accepted = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
  } while (accepted < 0 && errno == EINTR);
  if (accepted < 0) {
    if (error != nullptr) {
      *error = errno;
    }
    return TcpConnection();
  }
  // Responses go out as one write each; waiting for more data would only
  // delay every small answer by a round trip.
  const int on = 1;
  ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return TcpConnection(accepted);
}

void TcpListener::wake() {
  if (wakeWrite_ >= 0) {
    const char byte = 1;
    // Only write() is used here: it is safe in a signal handler.
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  }
}

bool TcpListener::woken() const {
  return wakeRead_ >= 0 && pollOne(wakeRead_, POLLIN, 0) > 0;
}

void TcpListener::close() {
  closeDescriptor(&socket_);
  closeDescriptor(&wakeRead_);
  closeDescriptor(&wakeWrite_);
  port_ = 0;
}

StopSignals::StopSignals() {
  sigemptyset(&stopSet_);
  sigaddset(&stopSet_, SIGINT);
  sigaddset(&stopSet_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSet_, &previous_);
}

StopSignals::~StopSignals() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignals::wait() {
  int signal = 0;
  return sigwait(&stopSet_, &signal) == 0 ? signal : -1;
}

}  // namespace ostrel::utils
