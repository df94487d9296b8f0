#ifndef LODEMIG_UTILS_TLS_SERVER_H_
#define LODEMIG_UTILS_TLS_SERVER_H_

#include <openssl/types.h>

#include <cstddef>
#include <string>
#include <utility>

#include "utils/tcp_server.h"

namespace ostrel::utils {

// The certificate and private key of a TLS server, loaded once and shared by
// all its connections: TLS 1.2 at least, compression never. Once load() has
// returned, any number of threads may start sessions with it at once. Not
// copyable; it must outlive every ServerConnection that started TLS with it.
class TlsServerContext {
 public:
  TlsServerContext() = default;
  ~TlsServerContext();
  TlsServerContext(const TlsServerContext&) = delete;
  TlsServerContext& operator=(const TlsServerContext&) = delete;

  // Loads the certificate chain (PEM, the server's own certificate first)
  // and its private key (PEM). Returns "" or a one-line reason, such as
  // "cannot use TLS certificate /x.pem: No such file or directory". A failed
  // load leaves the context unloaded.
  [[nodiscard]] std::string load(const std::string& certificateFile, const std::string& keyFile);
  bool loaded() const { return context_ != nullptr; }

 private:
  friend class ServerConnection;
  SSL_CTX* context_ = nullptr;
};

// One accepted connection as a server sees it: plain TCP, then TLS over the
// same socket from startTls() on. Owns the socket and the TLS session; the
// plain path costs one test over TcpConnection's calls. Movable, not
// copyable; nothing here throws.
//
// Threads: as TcpConnection. One thread reads, writes and starts TLS; another
// may call shutdownBoth() at any time (it touches only the socket), so that
// a blocked receive, send or handshake returns.
class ServerConnection {
 public:
  ServerConnection() = default;
  explicit ServerConnection(TcpConnection connection) : tcp_(std::move(connection)) {}
  ~ServerConnection() { close(); }
  ServerConnection(ServerConnection&& other) noexcept
      : tcp_(std::move(other.tcp_)), session_(std::exchange(other.session_, nullptr)) {}
  ServerConnection& operator=(ServerConnection&& other) noexcept;
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  bool valid() const { return tcp_.valid(); }
  bool usesTls() const { return session_ != nullptr; }

  // As TcpConnection::receive, with the decrypted bytes once TLS is on. The
  // time-out bounds the wait for the socket only when OpenSSL holds no input
  // already; a record once begun is read to its end. With TLS, kError comes
  // with errno EPROTO for a protocol failure.
  [[nodiscard]] long receive(char* buffer, std::size_t size, int timeoutMs = -1) {
    return session_ == nullptr ? tcp_.receive(buffer, size, timeoutMs)
                               : receiveTls(buffer, size, timeoutMs);
  }
  // As TcpConnection::sendAll, encrypted once TLS is on; never raises SIGPIPE.
  [[nodiscard]] bool sendAll(const char* data, std::size_t size) {
    return session_ == nullptr ? tcp_.sendAll(data, size) : sendAllTls(data, size);
  }
  [[nodiscard]] bool sendAll(const std::string& data) { return sendAll(data.data(), data.size()); }

  // Runs the server side of the TLS handshake on the socket, waiting as long
  // as the peer takes (or until shutdownBoth()); from then on receive() and
  // sendAll() go through TLS. Bytes the caller received before are its own
  // affair. False when TLS is already on, the context is not loaded or the
  // handshake fails; the connection is then of no further use.
  [[nodiscard]] bool startTls(const TlsServerContext& context);
  // Tells the peer that the TLS session ends (close_notify) and drops the
  // session; later sends and receives go to the bare socket. Nothing for a
  // plain connection. May wait for the peer to take the bytes.
  void endTls();

  void shutdownBoth() { tcp_.shutdownBoth(); }
  // Drops the TLS session without a word to the peer, then closes the socket.
  void close();

 private:
  long receiveTls(char* buffer, std::size_t size, int timeoutMs);
  bool sendAllTls(const char* data, std::size_t size);
  void freeSession();

  TcpConnection tcp_;
  SSL* session_ = nullptr;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_TLS_SERVER_H_
