#ifndef LODEMIG_UTILS_TCP_BUFFER_H_
#define LODEMIG_UTILS_TCP_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "utils/connection_layer.h"
#include "utils/deflate_layer.h"
#include "utils/inet_address.h"
#include "utils/socket_layer.h"
#include "utils/tls_layer.h"

namespace ostrel::utils {

// The stream buffer of one IPv4 TCP client connection. It owns the
// connection's chain of layers (the socket at the bottom, then TLS and any
// other layer switched on) and talks only to the chain's top. One allocation
// holds the write area followed by the read area.
//
// Writes gather in the write area and are sent when it is full or on sync. A
// write larger than the free part of the area does not go out area by area:
// the buffered bytes, the caller's bytes that complete the area and as many
// further whole areas' worth of the caller's bytes as there are leave in one
// send (one gathered send on the socket; two sends through a layer that
// changes the bytes), and only the remainder, shorter than an area, stays
// buffered. The peer thus sees the same bytes at the same points as if every
// area had been sent on its own, in fewer calls. The socket's own shortcuts
// (gathered sends, file ranges) are used only while every layer above it
// passes bytes through unchanged.
//
// A read that finds the read area empty first flushes, then receives what
// has arrived, at most one read area, waiting only while nothing has and no
// longer than the read time-out. Never throws:
// failures come back as end-of-file from underflow/overflow, -1 from sync, a
// short count from xsputn, and false from the connection operations. Writing
// to a peer that has closed gives an error, never SIGPIPE. Not copyable; used
// by one thread at a time.
class tcpbuffer : public std::streambuf {
 public:
  // When a connection with TLS starts it.
  enum class TlsStart { kAtConnect, kOnRequest };

  // A plain connection to `remote` with areas of the given sizes (each at
  // least 1 byte and at most 2^31-1); startTls() fails.
  tcpbuffer(const InetSocketAddress& remote, std::uint64_t readSize, std::uint32_t writeSize);
  // A connection that runs TLS made from `tls` at connect or from startTls().
  tcpbuffer(const InetSocketAddress& remote, std::uint64_t readSize, std::uint32_t writeSize,
            std::unique_ptr<ssl::TlsClientConfig> tls, TlsStart start);
  // Closes a connection that is still open (flushing while connected).
  ~tcpbuffer() override;
  tcpbuffer(const tcpbuffer&) = delete;
  tcpbuffer& operator=(const tcpbuffer&) = delete;

  // Empties both areas, creates a new socket and binds it to 0.0.0.0 port 0.
  // Does nothing when a socket is open. A bind failure is reported on stderr.
  bool createAndBind();
  // Connects the bound socket to the remote address, then runs the TLS
  // handshake when TLS starts at connect. On failure of the TCP connect the
  // socket is closed; a failed handshake leaves it open, below a TLS layer
  // that refuses all traffic.
  bool connect();
  // Flushes through the chain while connected, closes the layers top-down
  // (TLS says goodbye) and drops them, then shuts down the sending direction
  // and closes the socket. False when no socket was open or closing failed.
  bool close();

  // Switches TLS on over the connected socket (after a STARTTLS the server
  // accepted): bytes still in either area stay as they are. False when this
  // connection has no TLS, a layer is already above the socket, or the
  // handshake fails; in the last case the failed TLS layer stays on the
  // chain, so nothing more goes out in plain text.
  bool startTls();
  // Why the last handshake failed, in the library's words; "" after success
  // or when none was tried.
  const std::string& tlsFailure() const { return tlsFailure_; }

  // Switches raw deflate on over the chain's top (after the server accepted
  // COMPRESS DEFLATE): buffered writes go out first as they are, and bytes
  // already received beyond what was read are taken as compressed. False
  // when zlib cannot start; the layer then stays and refuses all traffic.
  bool startCompression();
  // True while a deflate layer is on the chain.
  bool compressing() const { return deflate_ != nullptr; }
  // Why the deflate layer failed ("" when it did not or there is none).
  std::string compressionFailure() const;

  // Puts `layer`, built over top(), on top of the chain and owns it until
  // close(). Bytes still in either area stay as they are: what was written
  // before goes out through the new layer at the next flush.
  void pushLayer(std::unique_ptr<ConnectionLayer> layer);
  // The layer the buffer sends through and receives from.
  ConnectionLayer& top() { return layers_.empty() ? socket_ : *layers_.back(); }

  // Sends the buffered bytes and then `count` bytes of `bytes`, all now: what
  // a write followed by a sync would send, in one call where the socket takes
  // it all. False on a send error; the buffered bytes that did not go then
  // stay buffered, the caller's never.
  bool flushWith(const char* bytes, std::size_t count);

  static constexpr std::uint64_t kFlushFailed = UINT64_MAX;
  // Sends the buffered bytes, then up to `count` bytes of the open file `fd`
  // from `offset`, which the system copies from the file to the socket
  // without passing them through this process. Returns the count of the
  // file's bytes sent: short when the file ends or fails first, or the
  // socket fails, and 0, with nothing flushed, when a layer above the socket
  // changes the bytes; the caller then sends the rest itself. kFlushFailed
  // when the buffered bytes could not be sent (they then stay buffered).
  std::uint64_t sendFileRange(int fd, std::uint64_t offset, std::uint64_t count);

  // Read time-out; 0 seconds and 0 microseconds wait without limit.
  void setTimeout(unsigned seconds, unsigned microseconds) {
    socket_.setReadTimeout(seconds, microseconds);
  }
  void setTimeout(unsigned seconds) { setTimeout(seconds, socket_.timeoutMicroseconds()); }

  // While started, a read fails once the read time-out has passed since the
  // start, however the bytes trickle in (see SocketLayer::startDeadline).
  void startDeadline() { socket_.startDeadline(); }
  void endDeadline() { socket_.endDeadline(); }
  // Why the last connect or the last receive failed.
  int connectError() const { return socket_.connectError(); }
  SocketLayer::ReceiveEnd receiveEnd() const { return socket_.receiveEnd(); }
  int receiveError() const { return socket_.receiveError(); }

  bool isConnected() const { return socket_.isConnected(); }
  // The socket descriptor, -1 when none.
  int socket() const { return socket_.fd(); }

 protected:
  int_type overflow(int_type c) override;
  int_type underflow() override;
  std::streambuf* setbuf(char_type* area, std::streamsize size) override;
  int sync() override;
  std::streamsize xsputn(const char_type* bytes, std::streamsize count) override;
  std::streamsize xsgetn(char_type* bytes, std::streamsize count) override;

 private:
  // True when bytes handed to the socket directly reach the peer as they
  // would through the chain's top.
  bool socketIsReachable() const;
  bool inputHeldAbove() const;
  // Sends `first`'s bytes, or when there are none `second`'s, through the
  // chain; both in one gathered send where the socket is reachable.
  long sendTwo(const char* first, std::size_t firstCount, const char* second,
               std::size_t secondCount);
  // Sends the buffered bytes and then `count` of the caller's; returns how
  // many of the caller's went. On failure the buffered bytes that did not go
  // stay buffered.
  std::size_t sendBufferedAnd(const char* bytes, std::size_t count, bool* failed);
  void closeLayers();

  InetSocketAddress remote_;
  std::size_t readSize_;
  std::size_t writeSize_;
  std::unique_ptr<char[]> storage_;
  char* writeArea_ = nullptr;
  char* readArea_ = nullptr;
  std::unique_ptr<ssl::TlsClientConfig> tls_;
  TlsStart tlsStart_ = TlsStart::kOnRequest;
  std::string tlsFailure_;
  SocketLayer socket_;
  // The layers above the socket, bottom first; declared after it so that
  // they are gone before it.
  std::vector<std::unique_ptr<ConnectionLayer>> layers_;
  // The deflate layer among layers_, null when none.
  DeflateLayer* deflate_ = nullptr;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_TCP_BUFFER_H_
