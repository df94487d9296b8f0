#ifndef LODEMIG_UTILS_TCP_STREAM_H_
#define LODEMIG_UTILS_TCP_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "utils/inet_address.h"
#include "utils/socket_layer.h"
#include "utils/tls_context.h"

namespace ostrel::utils {

class tcpbuffer;

// A standard iostream over one TCP (optionally TLS) client connection with a
// read time-out. Failures never throw: connect, bind and handshake failures
// set the fail state; a read time-out, the peer's close and a receive error
// end the read with end-of-file; a send error makes flush set the bad state.
// Writing to a closed peer gives an error, never SIGPIPE.
class basic_tcpclientiostream : public std::iostream {
 public:
  // Plain TCP. Read and write areas of the given sizes (the read size comes
  // as two 32-bit halves); `unused` is kept for the constructor's shape. In
  // every constructor `local` is unused: the socket binds to 0.0.0.0 port 0.
  basic_tcpclientiostream(const InetSocketAddress& remote, const InetSocketAddress& local,
                          std::uint32_t readSizeLow, std::uint32_t readSizeHigh,
                          std::uint32_t writeSize, std::uint32_t unused = 0);
  // TLS client (no certificate verification; compression never enabled).
  // With `useTls` false it talks plain TCP until TLS is started.
  basic_tcpclientiostream(const InetSSLSocketAddress& remote, const InetSocketAddress& local,
                          std::uint32_t readSizeLow, std::uint32_t readSizeHigh,
                          std::uint32_t writeSize, std::uint32_t unused, bool useTls);
  // TLS client with a run's shared context, which decides whether the
  // server's certificate is checked; `serverName` is sent in the handshake
  // and is the name (or IP address) the certificate must be for. With
  // `useTls` false it talks plain TCP until startTls().
  basic_tcpclientiostream(const InetSocketAddress& remote, const InetSocketAddress& local,
                          std::uint32_t readSize, std::uint32_t writeSize, bool useTls,
                          std::shared_ptr<const ssl::ClientTlsContext> context,
                          const std::string& serverName);
  // Destroys the owned buffer, which flushes and closes an open connection.
  ~basic_tcpclientiostream() override;

  // Clears the state, creates and binds the socket when needed, connects (and
  // runs the TLS handshake). A failure sets the fail state.
  void open();
  // Closes the connection; never throws. Closing a never-opened stream sets
  // the fail state.
  void close();
  // write(bytes, count) then flush(), in one send where the socket takes it
  // all: the whole areas of a large write do not go ahead of the rest. A
  // stream that is not good only gets the fail state; a send error sets the
  // bad state.
  basic_tcpclientiostream& writeAndFlush(const char* bytes, std::size_t count);
  // Flushes, then has the system send up to `count` bytes of the open file
  // `fd` from `offset` straight from the file (see tcpbuffer::sendFileRange).
  // Returns the count of the file's bytes sent; when it is short, the caller
  // sends the rest with write(). A failed flush sets the bad state (0).
  std::uint64_t sendFileRange(int fd, std::uint64_t offset, std::uint64_t count);
  // Read time-out in seconds (0: wait without limit; the default is 30). A
  // read that times out ends with end-of-file, as a peer's close does.
  void setTimeout(unsigned seconds);
  bool isOpened() const { return opened_; }

  // Runs the TLS handshake on the open plain connection (after a STARTTLS
  // the server accepted). False, with the fail state, when it fails or the
  // stream has no TLS.
  bool startTls();
  // Why the last handshake failed, in the library's words; "" when it did
  // not fail or the stream has no TLS.
  std::string tlsFailure() const;
  // Switches raw deflate on both ways (after the server accepted COMPRESS
  // DEFLATE; see tcpbuffer::startCompression). False, with the fail state,
  // when it cannot start. File ranges then go through the stream's writes.
  bool startCompression();
  bool compressing() const;
  // Why the compressed input or output failed; "" when it did not.
  std::string compressionFailure() const;
  // Bytes received and not read yet.
  std::streamsize bufferedInput() { return rdbuf()->in_avail(); }

  // From startDeadline() to endDeadline(), reads fail (end-of-file, as a
  // time-out) once the read time-out has passed since the start, however
  // slowly the bytes come: for a whole answer rather than each wait.
  void startDeadline();
  void endDeadline();
  // The errno of the last failed connect (EADDRNOTAVAIL for a host that
  // could not be resolved); 0 after one that succeeded.
  int connectError() const;
  // How the last read that got no bytes ended, and its errno when it failed.
  SocketLayer::ReceiveEnd receiveEnd() const;
  int receiveError() const;

 private:
  std::unique_ptr<tcpbuffer> buffer_;
  bool opened_ = false;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_TCP_STREAM_H_
