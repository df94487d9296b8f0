#ifndef LODEMIG_UTILS_SOCKET_LAYER_H_
#define LODEMIG_UTILS_SOCKET_LAYER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "utils/connection_layer.h"
#include "utils/inet_address.h"

namespace ostrel::utils {

// The bottom of a client connection: one IPv4 TCP socket, which it owns.
// Besides moving bytes it offers what only the socket can do: one gathered
// send of two buffers and sending a file's bytes without copying them
// through this process. Those skip every layer above, so callers use them
// only while every layer above passes bytes through unchanged.
//
// The read time-out is the socket's own receive time-out, so that a receive
// (also one inside a TLS read or handshake) that waits longer fails. While a
// deadline is started, every receive also fails once the read time-out has
// passed since the start, however the bytes trickle in, so that a whole
// answer or handshake is bounded, not only each wait. A receive that fails
// says why in receiveEnd(). Sends to a peer that has closed fail with EPIPE,
// never SIGPIPE. Not copyable.
class SocketLayer final : public ConnectionLayer {
 public:
  SocketLayer() = default;
  // Closes a socket still open, without shutting it down first.
  ~SocketLayer() override;

  // Creates a socket bound to 0.0.0.0 port 0; true at once when one is
  // open. A bind failure is reported on stderr.
  bool createAndBind();
  // Connects the bound socket to `remote`, waiting at most the read time-out
  // (ETIMEDOUT after it); a failure closes the socket and leaves its errno in
  // connectError(). 0.0.0.0 stands for an address that could not be resolved
  // and fails (EADDRNOTAVAIL).
  bool connect(const InetSocketAddress& remote);
  int connectError() const { return connectError_; }

  // How the last receive ended short of bytes.
  enum class ReceiveEnd { kNone, kTimedOut, kClosed, kFailed };
  ReceiveEnd receiveEnd() const { return receiveEnd_; }
  // The errno of a kFailed receive.
  int receiveError() const { return receiveError_; }

  // Receives from now on fail (as timed out) once the read time-out has
  // passed; a read time-out of 0 sets no deadline. Until endDeadline().
  void startDeadline();
  void endDeadline() { deadlineSet_ = false; }

  long send(const char* bytes, std::size_t count) override;
  long receive(char* bytes, std::size_t count) override;
  bool hasPendingInput() const override { return false; }
  bool passesThrough() const override { return true; }
  // Shuts down the sending direction and closes the socket. False when none
  // was open or closing reported an error (the descriptor is gone anyway).
  bool close() override;

  // Sends `firstCount` bytes of `first`, then `secondCount` of `second`, at
  // most 2^31-1 in all, in one system call; returns the count moved (first's
  // bytes count first; it may be short), 0 or less on error.
  long sendGathered(const char* first, std::size_t firstCount, const char* second,
                    std::size_t secondCount);
  // Sends up to `count` bytes of the open file `fd` from `offset`, which the
  // system copies from the file to the socket. Returns the count sent: short
  // when the file ends or fails, or the socket fails, first.
  std::uint64_t sendFile(int fd, std::uint64_t offset, std::uint64_t count);
  // When the receive time-out could not be set on the socket, waits for it
  // to become readable for at most the read time-out; false when it did not.
  // True at once otherwise.
  bool waitUntilReadable() const;

  // Read time-out; 0 seconds and 0 microseconds wait without limit. Kept
  // for sockets created later.
  void setReadTimeout(unsigned seconds, unsigned microseconds);
  unsigned timeoutMicroseconds() const { return timeoutMicroseconds_; }

  bool isOpen() const { return fd_ >= 0; }
  bool isConnected() const { return connected_; }
  // The descriptor, -1 when none.
  int fd() const { return fd_; }

 private:
  void closeAtOnce();
  void applyReadTimeout();
  // connect() bounded by the read time-out; returns its errno, 0 when made.
  int connectWithin(const sockaddr_in& form);
  // recv() bounded by the deadline.
  long receiveBefore(char* bytes, std::size_t size);
  void noteReceive(long received, int error);

  int fd_ = -1;
  bool connected_ = false;
  unsigned timeoutSeconds_ = 30;
  unsigned timeoutMicroseconds_ = 0;
  // True while the socket's own receive time-out follows the read time-out.
  bool receiveTimeoutSet_ = false;
  bool deadlineSet_ = false;
  std::chrono::steady_clock::time_point deadline_;
  int connectError_ = 0;
  ReceiveEnd receiveEnd_ = ReceiveEnd::kNone;
  int receiveError_ = 0;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_SOCKET_LAYER_H_
