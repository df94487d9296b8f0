#include "utils/tcp_buffer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "utils/sigpipe_guard.h"
#include "utils/sockets.h"

namespace ostrel::utils {
namespace {

constexpr std::size_t kLargestTransfer = INT_MAX;

std::size_t areaSize(std::uint64_t requested) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(requested, 1, kLargestTransfer));
}

}  // namespace

tcpbuffer::tcpbuffer(const InetSocketAddress& remote, const InetSocketAddress& local,
                     std::uint64_t readSize, std::uint32_t writeSize)
    : remote_(remote),
      local_(local),
      readSize_(areaSize(readSize)),
      writeSize_(areaSize(writeSize)),
      storage_(std::make_unique<char[]>(writeSize_ + readSize_)) {
  tcpbuffer::setbuf(storage_.get(), static_cast<std::streamsize>(writeSize_ + readSize_));
}

tcpbuffer::~tcpbuffer() {
  if (socket_ >= 0) {
    tcpbuffer::close();
  }
}

const InetSocketAddress& tcpbuffer::localAddress() {
  return local_;
}

bool tcpbuffer::startTls() {
  return false;
}

void tcpbuffer::stopTls() {}

long tcpbuffer::sendRaw(const char* bytes, std::size_t count) {
  const std::size_t size = std::min(count, kLargestTransfer);
  ssize_t sent;
  do {
    // MSG_NOSIGNAL: a peer that has gone away must give EPIPE, not a signal
    // that ends the whole migration.
    sent = ::send(socket_, bytes, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<long>(sent);
}

long tcpbuffer::sendGathered(const char* first, std::size_t firstCount, const char* second,
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
    sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<long>(sent);
}

long tcpbuffer::recvRaw(char* bytes, std::size_t count) {
  const std::size_t size = std::min(count, kLargestTransfer);
  ssize_t received;
  do {
    received = ::recv(socket_, bytes, size, 0);
  } while (received < 0 && errno == EINTR);
  return static_cast<long>(received);
}

bool tcpbuffer::createAndBind() {
  if (bound_) {
    return true;
  }
  if (socket_ >= 0) {
    closeSocket();
  }
  // Bytes left from an earlier connection belong to none of the next one.
  setp(writeArea_, writeArea_ + writeSize_);
  setg(readArea_, readArea_, readArea_);
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    return false;
  }
  applyReceiveTimeout();
  local_ = InetSocketAddress();
  const sockaddr_in& form = local_.sockaddr();
  if (::bind(socket_, reinterpret_cast<const ::sockaddr*>(&form), sizeof form) != 0) {
    std::perror("");
    closeSocket();
    return false;
  }
  bound_ = true;
  return true;
}

bool tcpbuffer::connectSocket() {
  if (socket_ < 0) {
    return false;
  }
  // Linux takes 0.0.0.0 as this host; here it stands for a host that could
  // not be resolved, so the attempt has to fail.
  if (remote_.address() == 0) {
    closeSocket();
    errno = EADDRNOTAVAIL;
    return false;
  }
  const sockaddr_in& form = remote_.sockaddr();
  if (::connect(socket_, reinterpret_cast<const ::sockaddr*>(&form), sizeof form) != 0) {
    closeSocket();
    return false;
  }
  // A command is written as full 4096-byte areas and a short tail; with
  // Nagle's algorithm the tail would wait for the peer's delayed ACK, tens of
  // milliseconds per message. Failing to set it only costs speed.
  int noDelay = 1;
  (void)::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  connected_ = true;
  return true;
}

bool tcpbuffer::refreshLocalAddress() {
  sockaddr_in form{};
  socklen_t length = sizeof form;
  if (socket_ < 0 || ::getsockname(socket_, reinterpret_cast<::sockaddr*>(&form), &length) != 0) {
    return false;
  }
  local_ = InetSocketAddress(Inet4Address(ntohl(form.sin_addr.s_addr)), ntohs(form.sin_port));
  return true;
}

bool tcpbuffer::close() {
  bound_ = false;
  if (connected_) {
    connected_ = false;
    sync();
  }
  if (socket_ < 0) {
    return false;
  }
  ::shutdown(socket_, SHUT_WR);
  const int result = ::close(socket_);
  // The descriptor is released even when close reports an error.
  socket_ = -1;
  receiveTimeoutSet_ = false;
  return result == 0;
}

void tcpbuffer::closeSocket() {
  ::close(socket_);
  socket_ = -1;
  bound_ = false;
  connected_ = false;
  receiveTimeoutSet_ = false;
}

void tcpbuffer::setTimeout(unsigned seconds, unsigned microseconds) {
  timeoutSeconds_ = seconds;
  timeoutMicroseconds_ = microseconds;
  applyReceiveTimeout();
}

// The socket's receive time-out is the read time-out: a receive that waits
// longer fails with EAGAIN, which ends the read like the peer's close. It
// also bounds each socket read inside a TLS read and the handshake. A wait
// for readiness before every receive would cost a system call per response.
void tcpbuffer::applyReceiveTimeout() {
  if (socket_ < 0) {
    return;
  }
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeoutSeconds_ + timeoutMicroseconds_ / 1000000);
  limit.tv_usec = static_cast<suseconds_t>(timeoutMicroseconds_ % 1000000);
  // Failing leaves reads bounded by a readiness wait in underflow.
  receiveTimeoutSet_ = ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

std::streambuf* tcpbuffer::setbuf(char_type* area, std::streamsize size) {
  // Areas smaller than the sizes chosen at construction, or a switch while
  // bytes wait to be sent, would lose data.
  if (area == nullptr || size < 0 || static_cast<std::size_t>(size) < writeSize_ + readSize_ ||
      pptr() != pbase()) {
    return nullptr;
  }
  writeArea_ = area;
  readArea_ = area + writeSize_;
  setp(writeArea_, writeArea_ + writeSize_);
  setg(readArea_, readArea_, readArea_);
  return this;
}

std::size_t tcpbuffer::sendBufferedAnd(const char* bytes, std::size_t count, bool* failed) {
  const char* buffered = pbase();
  std::size_t bufferedLeft = static_cast<std::size_t>(pptr() - pbase());
  std::size_t sent = 0;
  *failed = socket_ < 0;
  while (!*failed && (bufferedLeft > 0 || sent < count)) {
    const char* next = bytes == nullptr ? nullptr : bytes + sent;
    const long result = sendGathered(buffered, bufferedLeft, next, count - sent);
    if (result <= 0) {
      *failed = true;
      break;
    }
    const auto moved = static_cast<std::size_t>(result);
    const std::size_t fromBuffer = std::min(moved, bufferedLeft);
    buffered += fromBuffer;
    bufferedLeft -= fromBuffer;
    sent += moved - fromBuffer;
  }
  // Keep what has not gone so that nothing is sent twice.
  std::memmove(writeArea_, buffered, bufferedLeft);
  setp(writeArea_, writeArea_ + writeSize_);
  pbump(static_cast<int>(bufferedLeft));
  return sent;
}

std::uint64_t tcpbuffer::sendFileRange(int fd, std::uint64_t offset, std::uint64_t count) {
  bool failed = false;
  sendBufferedAnd(nullptr, 0, &failed);
  if (failed) {
    return kFlushFailed;
  }
  std::uint64_t sent = 0;
  SigpipeGuard guard;
  while (sent < count && offset + sent <= static_cast<std::uint64_t>(INT64_MAX)) {
    off_t position = static_cast<off_t>(offset + sent);
    const ssize_t moved = ::sendfile(
        socket_, fd, &position,
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

bool tcpbuffer::flushWith(const char* bytes, std::size_t count) {
  bool failed = false;
  sendBufferedAnd(bytes, count, &failed);
  return !failed;
}

int tcpbuffer::sync() {
  if (pptr() == pbase()) {
    return socket_ < 0 ? -1 : 0;
  }
  bool failed = false;
  sendBufferedAnd(nullptr, 0, &failed);
  return failed ? -1 : 0;
}

tcpbuffer::int_type tcpbuffer::overflow(int_type c) {
  if (sync() != 0) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize tcpbuffer::xsputn(const char_type* bytes, std::streamsize count) {
  if (count <= 0) {
    return 0;
  }
  const auto size = static_cast<std::size_t>(count);
  const auto room = static_cast<std::size_t>(epptr() - pptr());
  if (size <= room) {
    std::memcpy(pptr(), bytes, size);
    pbump(static_cast<int>(size));
    return count;
  }
  // Sent area by area, the stream would carry exactly these bytes before the
  // remainder is buffered; one gathered send spares the copies and calls.
  const std::size_t whole = room + (size - room) / writeSize_ * writeSize_;
  bool failed = false;
  const std::size_t sent = sendBufferedAnd(bytes, whole, &failed);
  if (failed) {
    return static_cast<std::streamsize>(sent);
  }
  const std::size_t rest = size - whole;
  std::memcpy(pptr(), bytes + whole, rest);
  pbump(static_cast<int>(rest));
  return count;
}

tcpbuffer::int_type tcpbuffer::underflow() {
  if (socket_ < 0) {
    return traits_type::eof();
  }
  if (gptr() < egptr()) {
    return traits_type::to_int_type(*gptr());
  }
  // A command must be on its way before its answer is awaited.
  pubsync();
  if (gatherBytes_ > 1 && !hasBufferedInput()) {
    waitForGatheredInput();
  }
  gatherBytes_ = 0;
  const std::uint64_t microseconds =
      static_cast<std::uint64_t>(timeoutSeconds_) * 1000000u + timeoutMicroseconds_;
  if (!receiveTimeoutSet_ && microseconds != 0 && !hasBufferedInput()) {
    // 0xFFFFFFFF means no limit to waitForSocket; a longer limit is cut just below it.
    const std::uint64_t milliseconds = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(timeoutSeconds_) * 1000u + timeoutMicroseconds_ / 1000u,
        0xFFFFFFFEu);
    if (waitForSocket(socket_, true, static_cast<unsigned>(milliseconds)) <= 0) {
      return traits_type::eof();
    }
  }
  const long received = recvRaw(readArea_, readSize_);
  if (received <= 0) {
    return traits_type::eof();
  }
  setg(readArea_, readArea_, readArea_ + received);
  return traits_type::to_int_type(*gptr());
}

void tcpbuffer::waitForGatheredInput() {
  // The socket counts as readable only once the low-water mark is queued;
  // the mark goes back to one byte right after, whatever the wait gave.
  const int bytes = static_cast<int>(std::min<std::size_t>(gatherBytes_, readSize_));
  if (::setsockopt(socket_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) != 0) {
    return;
  }
  pollfd ready{socket_, POLLIN, 0};
  ::poll(&ready, 1, gatherWaitMs_);
  const int one = 1;
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
}

std::streamsize tcpbuffer::xsgetn(char_type* bytes, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    std::streamsize available = egptr() - gptr();
    if (available == 0) {
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) {
        break;
      }
      available = egptr() - gptr();
    }
    const std::streamsize chunk = std::min(available, count - done);
    std::memcpy(bytes + done, gptr(), static_cast<std::size_t>(chunk));
    gbump(static_cast<int>(chunk));
    done += chunk;
  }
  return done;
}

const InetSocketAddress& basic_tcpclientbuffer::localAddress() {
  refreshLocalAddress();
  return tcpbuffer::localAddress();
}

bool basic_tcpclientbuffer::connect(const SSL_METHOD* /*method*/) {
  return connectSocket();
}

}  // namespace ostrel::utils

namespace ostrel::ssl {
namespace {

using utils::SigpipeGuard;

utils::VMutex& contextMutex() {
  static utils::VMutex mutex;
  return mutex;
}

bool isIpAddress(const std::string& host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

SslContext::~SslContext() {
  SSL_CTX_free(context_);
}

SSL_CTX* SslContext::get() {
  if (!tried_) {
    tried_ = true;
    startTlsLibrary();
    std::lock_guard<utils::VMutex> lock(contextMutex());
    context_ = SSL_CTX_new(TLS_method());
    if (context_ == nullptr) {
      ERR_clear_error();
    }
  }
  return context_;
}

basic_sslbuffer::basic_sslbuffer(const utils::InetSocketAddress& remote,
                                 const utils::InetSocketAddress& local, std::uint64_t readSize,
                                 std::uint32_t writeSize, bool useTls)
    : tcpbuffer(remote, local, readSize, writeSize), useTls_(useTls) {
  if (SSL_CTX* context = ownContext_.get()) {
    if (SSL_CTX_set_cipher_list(context, "DEFAULT:!LOW:!SSLv2:!EXPORT:!RC4:@STRENGTH") != 1) {
      ERR_clear_error();
    }
    SSL_CTX_set_options(context, SSL_OP_ALL | SSL_OP_NO_COMPRESSION);
  }
}

basic_sslbuffer::basic_sslbuffer(const utils::InetSocketAddress& remote,
                                 const utils::InetSocketAddress& local, std::uint64_t readSize,
                                 std::uint32_t writeSize, bool useTls,
                                 std::shared_ptr<const ClientTlsContext> context,
                                 std::string serverName)
    : tcpbuffer(remote, local, readSize, writeSize),
      sharedContext_(std::move(context)),
      serverName_(std::move(serverName)),
      useTls_(useTls) {}

SSL_CTX* basic_sslbuffer::context() {
  return sharedContext_ ? sharedContext_->get() : ownContext_.get();
}

basic_sslbuffer::~basic_sslbuffer() {
  if (socket() >= 0) {
    basic_sslbuffer::close();
  }
  endSession(false);
}

bool basic_sslbuffer::startTls() {
  return handshake(nullptr);
}

bool basic_sslbuffer::connect(const SSL_METHOD* method) {
  return handshake(method);
}

bool basic_sslbuffer::handshake(const SSL_METHOD* method) {
  failure_.clear();
  SSL_CTX* tlsContext = context();
  if (tlsContext == nullptr || !isConnected()) {
    failure_ = "no TLS context";
    return false;
  }
  endSession(false);
  connection_ = SSL_new(tlsContext);
  if (connection_ == nullptr) {
    failure_ = takeTlsErrorText();
    return false;
  }
  bool ready = SSL_set_fd(connection_, socket()) == 1 && prepareSession();
  if (ready && method != nullptr) {
    ready = SSL_set_ssl_method(connection_, method) == 1;
  }
  if (!ready) {
    failure_ = takeTlsErrorText();
    endSession(false);
    return false;
  }
  ERR_clear_error();
  errno = 0;
  int result = 0;
  int connectErrno = 0;
  {
    SigpipeGuard guard;
    result = SSL_connect(connection_);
    connectErrno = errno;
  }
  if (result < 1) {
    noteFailure(result, connectErrno);
    endSession(false);
    return false;
  }
  useTls_ = true;
  return true;
}

bool basic_sslbuffer::prepareSession() {
  if (serverName_.empty()) {
    return true;
  }
  const bool ip = isIpAddress(serverName_);
  // Server names in the handshake are host names only.
  if (!ip && SSL_set_tlsext_host_name(connection_, serverName_.c_str()) != 1) {
    return false;
  }
  if (!sharedContext_ || !sharedContext_->verifies()) {
    return true;
  }
  X509_VERIFY_PARAM* checks = SSL_get0_param(connection_);
  return ip ? X509_VERIFY_PARAM_set1_ip_asc(checks, serverName_.c_str()) == 1
            : SSL_set1_host(connection_, serverName_.c_str()) == 1;
}

void basic_sslbuffer::noteFailure(int result, int savedErrno) {
  const long verdict = SSL_get_verify_result(connection_);
  if (verdict != X509_V_OK) {
    ERR_clear_error();
    failure_ = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict);
    return;
  }
  const int kind = SSL_get_error(connection_, result);
  failure_ = takeTlsErrorText();
  if (!failure_.empty()) {
    return;
  }
  if (kind == SSL_ERROR_SYSCALL && (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)) {
    failure_ = "no answer to the TLS handshake within the time-out";
  } else if (kind == SSL_ERROR_SYSCALL && savedErrno != 0) {
    failure_ = std::strerror(savedErrno);
  } else {
    failure_ = "the server closed the connection during the TLS handshake";
  }
}

void basic_sslbuffer::endSession(bool notifyPeer) {
  if (connection_ == nullptr) {
    return;
  }
  if (notifyPeer && SSL_is_init_finished(connection_)) {
    ERR_clear_error();
    SigpipeGuard guard;
    SSL_shutdown(connection_);
  }
  SSL_free(connection_);
  connection_ = nullptr;
  ERR_clear_error();
}

long basic_sslbuffer::sendRaw(const char* bytes, std::size_t count) {
  if (!useTls_) {
    return tcpbuffer::sendRaw(bytes, count);
  }
  if (connection_ == nullptr) {
    return -1;
  }
  ERR_clear_error();
  SigpipeGuard guard;
  return SSL_write(connection_, bytes, static_cast<int>(std::min(count, utils::kLargestTransfer)));
}

std::uint64_t basic_sslbuffer::sendFileRange(int fd, std::uint64_t offset, std::uint64_t count) {
  return useTls_ ? 0 : tcpbuffer::sendFileRange(fd, offset, count);
}

long basic_sslbuffer::sendGathered(const char* first, std::size_t firstCount, const char* second,
                                   std::size_t secondCount) {
  if (!useTls_) {
    return tcpbuffer::sendGathered(first, firstCount, second, secondCount);
  }
  return firstCount > 0 ? sendRaw(first, firstCount) : sendRaw(second, secondCount);
}

long basic_sslbuffer::recvRaw(char* bytes, std::size_t count) {
  if (!useTls_) {
    return tcpbuffer::recvRaw(bytes, count);
  }
  if (connection_ == nullptr) {
    return -1;
  }
  ERR_clear_error();
  SigpipeGuard guard;
  return SSL_read(connection_, bytes, static_cast<int>(std::min(count, utils::kLargestTransfer)));
}

bool basic_sslbuffer::hasBufferedInput() const {
  return useTls_ && connection_ != nullptr && SSL_pending(connection_) > 0;
}

bool basic_sslbuffer::close() {
  // Pending bytes go out inside the session, before the peer is told it ends.
  if (isConnected()) {
    pubsync();
  }
  endSession(true);
  return tcpbuffer::close();
}

const utils::InetSocketAddress& basic_sslclientbuffer::localAddress() {
  refreshLocalAddress();
  return tcpbuffer::localAddress();
}

bool basic_sslclientbuffer::connect(const SSL_METHOD* method) {
  if (!connectSocket()) {
    return false;
  }
  if (!refreshLocalAddress()) {
    close();
    return false;
  }
  if (!usesTls()) {
    return true;
  }
  return handshake(method);
}

}  // namespace ostrel::ssl
