#ifndef LODEMIG_UTILS_TCP_SERVER_H_
#define LODEMIG_UTILS_TCP_SERVER_H_

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel::utils {

// One connected TCP socket, owned: the destructor closes it. Movable, not
// copyable. Nothing here throws; failures come back as return values.
//
// Threads: one thread reads and writes; another may call shutdownBoth() at any
// time to make that thread's blocked receive or send return, as long as the
// object is not being closed or destroyed at the same moment (the owner of a
// set of connections guards close() and shutdownBoth() with one lock).
class TcpConnection {
 public:
  // receive() results besides a byte count.
  static constexpr long kClosed = 0;     // the peer closed, or shutdownBoth() was called
  static constexpr long kError = -1;     // errno tells why
  static constexpr long kTimedOut = -2;  // nothing arrived in time

  TcpConnection() = default;
  // Takes ownership of an open socket descriptor.
  explicit TcpConnection(int socket) : socket_(socket) {}
  ~TcpConnection() { close(); }
  TcpConnection(TcpConnection&& other) noexcept;
  TcpConnection& operator=(TcpConnection&& other) noexcept;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Connects to `address` (numeric IPv4 or IPv6 text) and `port`. The result
  // is invalid on failure; *error (when given) then holds the errno value.
  [[nodiscard]] static TcpConnection connectTo(const std::string& address, std::uint16_t port,
                                               int* error = nullptr);

  bool valid() const { return socket_ >= 0; }
  int socket() const { return socket_; }

  // Reads at most `size` bytes, waiting at most `timeoutMs` milliseconds
  // (negative: no limit). Returns the count read (> 0), kClosed, kError or
  // kTimedOut. Interrupted calls are retried.
  [[nodiscard]] long receive(char* buffer, std::size_t size, int timeoutMs = -1);
  // Writes all `size` bytes (one send call when the socket takes them all).
  // False when the connection failed; never raises SIGPIPE.
  [[nodiscard]] bool sendAll(const char* data, std::size_t size);
  [[nodiscard]] bool sendAll(const std::string& data) { return sendAll(data.data(), data.size()); }

  // Ends both directions so that a blocked receive or send returns; the
  // socket stays open until close().
  void shutdownBoth();
  // Sends the end of stream to the peer; reading stays possible.
  void shutdownWrite();
  void close();

 private:
  int socket_ = -1;
};

// A listening TCP socket with a wake-up channel, so that a thread waiting in
// accept() can be told to stop. Not copyable; the destructor closes both.
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds to `address` (numeric IPv4 or IPv6 text) and `port` (0: any free
  // port) and listens. Returns 0,
  // or an errno value (EINVAL for an address that cannot be used; EALREADY
  // when already open).
  [[nodiscard]] int open(const std::string& address, std::uint16_t port, int backlog = 128);
  bool isOpen() const { return socket_ >= 0; }
  // The port actually bound; 0 when not open.
  std::uint16_t port() const { return port_; }

  // Waits for the next connection, at most `timeoutMs` milliseconds
  // (negative: no limit). Returns an invalid connection on time-out, on error
  // (*error gets errno when given, else 0) and once wake() was called.
  [[nodiscard]] TcpConnection accept(int timeoutMs = -1, int* error = nullptr);
  // Makes the current and every later accept() return at once. Safe to call
  // from any thread and from a signal handler.
  void wake();
  bool woken() const;
  void close();

 private:
  int socket_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::uint16_t port_ = 0;
};

// Turns SIGINT and SIGTERM from process-killing signals into events that one
// thread waits for. The constructor blocks both in the calling thread, and so
// in every thread started afterwards: construct it before starting threads.
// The destructor restores the previous signal mask.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits until SIGINT or SIGTERM arrives; returns its number (-1 on error).
  int wait();

 private:
  sigset_t stopSet_;
  sigset_t previous_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_TCP_SERVER_H_
