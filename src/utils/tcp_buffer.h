#ifndef LODEMIG_UTILS_TCP_BUFFER_H_
#define LODEMIG_UTILS_TCP_BUFFER_H_

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

#include "utils/inet_address.h"
#include "utils/tls_context.h"

namespace ostrel::utils {

// The stream buffer of one IPv4 TCP client socket, which it owns. One
// allocation holds the write area followed by the read area.
//
// Writes gather in the write area and are sent when it is full or on sync. A
// write larger than the free part of the area does not go out area by area:
// the buffered bytes, the caller's bytes that complete the area and as many
// further whole areas' worth of the caller's bytes as there are leave in one
// send (two TLS writes), and only the remainder, shorter than an area, stays
// buffered. The peer thus sees the same bytes at the same points as if every
// area had been sent on its own, in fewer calls.
//
// A read that finds the read area empty first flushes, then receives at most
// one read area, waiting no longer than the read time-out (the socket's own
// receive time-out; a wait for readiness only where that could not be set).
// Never throws: failures come back as end-of-file from underflow/overflow, -1
// from sync, a short count from xsputn, and false from the connection
// operations. Writing to a peer that has closed gives an error, never
// SIGPIPE. Not copyable; used by one thread at a time.
class tcpbuffer : public std::streambuf {
 public:
  // Areas of the given sizes (each at least 1 byte and at most 2^31-1). The
  // local address given here is replaced by 0.0.0.0 port 0 when binding.
  tcpbuffer(const InetSocketAddress& remote, const InetSocketAddress& local, std::uint64_t readSize,
            std::uint32_t writeSize);
  // Closes a socket that is still open (flushing while connected).
  ~tcpbuffer() override;
  tcpbuffer(const tcpbuffer&) = delete;
  tcpbuffer& operator=(const tcpbuffer&) = delete;

  // The local address: as stored here; client buffers refresh it from the socket.
  virtual const InetSocketAddress& localAddress();
  // Starts TLS on the connected socket; the plain buffer has none (false).
  virtual bool startTls();
  // Stops using TLS for later sends and receives; nothing in the plain buffer.
  virtual void stopTls();
  // Connects the created and bound socket to the remote address (and runs the
  // TLS handshake where there is one). On failure of the TCP connect the
  // socket is closed. `method` may be null (the library's default).
  virtual bool connect(const SSL_METHOD* method) = 0;
  // Moves up to min(count, 2^31-1) bytes; returns the count moved, 0 at an
  // orderly end, negative on error.
  virtual long sendRaw(const char* bytes, std::size_t count);
  virtual long recvRaw(char* bytes, std::size_t count);
  // Sends `firstCount` bytes of `first` followed by `secondCount` bytes of
  // `second`, at most 2^31-1 in all; returns the count moved (first's bytes
  // count first; it may be short), or 0 or less on error. The plain buffer
  // does it in one gathered send.
  virtual long sendGathered(const char* first, std::size_t firstCount, const char* second,
                            std::size_t secondCount);

  // Sends the buffered bytes and then `count` bytes of `bytes`, all now: what
  // a write followed by a sync would send, in one call where the socket takes
  // it all. False on a send error; the buffered bytes that did not go then
  // stay buffered, the caller's never.
  bool flushWith(const char* bytes, std::size_t count);

  static constexpr std::uint64_t kFlushFailed = UINT64_MAX;
  // Sends the buffered bytes, then up to `count` bytes of the open file `fd`
  // from `offset`, which the system copies from the file to the socket
  // without passing them through this process. Returns the count of the
  // file's bytes sent: short when the file ends or fails first, when the
  // socket fails, or (0) when the bytes cannot be sent this way (TLS); the
  // caller then sends the rest itself. kFlushFailed when the buffered bytes
  // could not be sent (they then stay buffered).
  virtual std::uint64_t sendFileRange(int fd, std::uint64_t offset, std::uint64_t count);

  // Empties both areas, creates a new socket and binds it to 0.0.0.0 port 0.
  // Does nothing when already bound. A bind failure is reported on stderr.
  bool createAndBind();
  // Flushes while connected, then shuts down the sending direction and closes
  // the socket. False when no socket was open or closing failed.
  virtual bool close();

  // Asks the next refill that finds nothing buffered to wait, at most
  // `waitMs` milliseconds, until `bytes` have arrived, so that several
  // answers coming one after the other are taken with one wake-up instead
  // of one each. Fewer bytes are taken as they are once the wait is over.
  void gatherInput(std::size_t bytes, int waitMs) {
    gatherBytes_ = bytes;
    gatherWaitMs_ = waitMs;
  }

  // Read time-out; 0 seconds and 0 microseconds wait without limit.
  void setTimeout(unsigned seconds, unsigned microseconds);
  void setTimeout(unsigned seconds) { setTimeout(seconds, timeoutMicroseconds_); }
  unsigned timeoutSeconds() const { return timeoutSeconds_; }

  bool isBound() const { return bound_; }
  bool isConnected() const { return connected_; }
  // The socket descriptor, -1 when none.
  int socket() const { return socket_; }
  const InetSocketAddress& remoteAddress() const { return remote_; }

 protected:
  // True when input is already waiting above the socket (decrypted TLS bytes),
  // so that a read must not wait for the socket to become readable.
  virtual bool hasBufferedInput() const { return false; }
  // The TCP connect shared by the client buffers.
  bool connectSocket();
  // Reads the local address back from the socket; false when that fails.
  bool refreshLocalAddress();

  int_type overflow(int_type c) override;
  int_type underflow() override;
  std::streambuf* setbuf(char_type* area, std::streamsize size) override;
  int sync() override;
  std::streamsize xsputn(const char_type* bytes, std::streamsize count) override;
  std::streamsize xsgetn(char_type* bytes, std::streamsize count) override;

 private:
  void closeSocket();
  void applyReceiveTimeout();
  // Waits, at most gatherWaitMs_, until gatherBytes_ can be read.
  void waitForGatheredInput();
  // Sends the buffered bytes and then `count` of the caller's; returns how
  // many of the caller's went. On failure the buffered bytes that did not go
  // stay buffered.
  std::size_t sendBufferedAnd(const char* bytes, std::size_t count, bool* failed);

  InetSocketAddress remote_;
  InetSocketAddress local_;
  std::size_t readSize_;
  std::size_t writeSize_;
  std::unique_ptr<char[]> storage_;
  char* writeArea_ = nullptr;
  char* readArea_ = nullptr;
  unsigned timeoutSeconds_ = 30;
  unsigned timeoutMicroseconds_ = 0;
  bool connected_ = false;
  bool bound_ = false;
  // True while the socket's own receive time-out follows the read time-out.
  bool receiveTimeoutSet_ = false;
  int socket_ = -1;
  std::size_t gatherBytes_ = 0;
  int gatherWaitMs_ = 0;
};

// A plain TCP client.
class basic_tcpclientbuffer : public tcpbuffer {
 public:
  using tcpbuffer::tcpbuffer;
  const InetSocketAddress& localAddress() override;
  // The TCP connect; `method` is ignored.
  bool connect(const SSL_METHOD* method) override;
};

}  // namespace ostrel::utils

namespace ostrel::ssl {

// One TLS client context, created on first use (the process-wide library
// start-up comes first). Creation is serialised across threads. Not copyable.
class SslContext {
 public:
  SslContext() = default;
  ~SslContext();
  SslContext(const SslContext&) = delete;
  SslContext& operator=(const SslContext&) = delete;
  // The context, or null when it could not be created.
  SSL_CTX* get();

 private:
  SSL_CTX* context_ = nullptr;
  bool tried_ = false;
};

// Adds TLS to the TCP buffer. Owns the TLS connection object, and either
// shares a run's ClientTlsContext or owns a context of its own, which accepts
// the server's certificate as presented. Compression is never enabled. The
// socket's receive time-out follows the read time-out, which also bounds the
// handshake.
class basic_sslbuffer : public utils::tcpbuffer {
 public:
  // `useTls` chooses TLS for the connection to come.
  basic_sslbuffer(const utils::InetSocketAddress& remote, const utils::InetSocketAddress& local,
                  std::uint64_t readSize, std::uint32_t writeSize, bool useTls);
  // With the shared `context`: the server name goes out in the handshake
  // (SNI) and, when the context verifies, the certificate must be for
  // `serverName` (a host name or an IP address).
  basic_sslbuffer(const utils::InetSocketAddress& remote, const utils::InetSocketAddress& local,
                  std::uint64_t readSize, std::uint32_t writeSize, bool useTls,
                  std::shared_ptr<const ClientTlsContext> context, std::string serverName);
  // Flushes through TLS, says goodbye to the peer without waiting for its
  // answer, frees the connection object and closes the socket.
  ~basic_sslbuffer() override;

  // Runs the handshake on the connected socket.
  bool startTls() override;
  void stopTls() override { useTls_ = false; }
  // The handshake on the connected socket; success turns TLS on.
  bool connect(const SSL_METHOD* method) override;
  // Through TLS while it is on. With TLS wanted but no session, they fail
  // rather than send or accept plain text.
  long sendRaw(const char* bytes, std::size_t count) override;
  long recvRaw(char* bytes, std::size_t count) override;
  // Through TLS: one write of `first` when there is any left, else one of
  // `second` (records do not gather across two buffers).
  long sendGathered(const char* first, std::size_t firstCount, const char* second,
                    std::size_t secondCount) override;
  // Nothing while TLS is on: the bytes must go through the session.
  std::uint64_t sendFileRange(int fd, std::uint64_t offset, std::uint64_t count) override;
  // As the plain close, after flushing through TLS and ending the session.
  bool close() override;
  bool usesTls() const { return useTls_; }
  // Why the last handshake failed, in the library's words; "" after success.
  const std::string& tlsFailure() const { return failure_; }

 protected:
  bool handshake(const SSL_METHOD* method);
  bool hasBufferedInput() const override;

 private:
  void endSession(bool notifyPeer);
  SSL_CTX* context();
  // Sets the server name and the names the certificate must hold.
  bool prepareSession();
  // Records why SSL_connect gave `result`, errno being `savedErrno`.
  void noteFailure(int result, int savedErrno);

  SslContext ownContext_;
  std::shared_ptr<const ClientTlsContext> sharedContext_;
  std::string serverName_;
  std::string failure_;
  SSL* connection_ = nullptr;
  bool useTls_;
};

// A TLS client: TCP connect, then the handshake when TLS is wanted.
class basic_sslclientbuffer : public basic_sslbuffer {
 public:
  using basic_sslbuffer::basic_sslbuffer;
  const utils::InetSocketAddress& localAddress() override;
  bool connect(const SSL_METHOD* method) override;
};

}  // namespace ostrel::ssl

#endif  // LODEMIG_UTILS_TCP_BUFFER_H_
