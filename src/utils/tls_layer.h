#ifndef LODEMIG_UTILS_TLS_LAYER_H_
#define LODEMIG_UTILS_TLS_LAYER_H_

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "utils/connection_layer.h"
#include "utils/socket_layer.h"
#include "utils/tls_context.h"

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

// What the TLS sessions of one client connection are made from: either a
// run's shared ClientTlsContext with the server's name, or a context of its
// own that accepts the server's certificate as presented and sends no name.
// Compression is never enabled. Lives as long as the connection's buffer.
class TlsClientConfig {
 public:
  // A context of its own, made now.
  TlsClientConfig();
  // With the shared `context`: `serverName` goes out in the handshake (SNI)
  // and, when the context verifies, the certificate must be for it (a host
  // name or an IP address).
  TlsClientConfig(std::shared_ptr<const ClientTlsContext> context, std::string serverName);
  TlsClientConfig(const TlsClientConfig&) = delete;
  TlsClientConfig& operator=(const TlsClientConfig&) = delete;

  // The context, or null when it could not be created.
  SSL_CTX* context();
  // "" when no name is sent or checked.
  const std::string& serverName() const { return serverName_; }
  // True when the certificate must be for serverName().
  bool checksName() const { return sharedContext_ && sharedContext_->verifies(); }

 private:
  SslContext ownContext_;
  std::shared_ptr<const ClientTlsContext> sharedContext_;
  std::string serverName_;
};

// TLS right above a connection's socket, which must outlive the layer (the
// session reads and writes the descriptor itself). Owns the session. Until a
// handshake succeeds, and after one failed, every send and receive fails:
// nothing goes out or comes in as plain text once TLS was asked for. The
// session reads and writes through the socket layer: the handshake as a
// whole must end within the socket's read time-out, and every read is
// bounded as the socket's receives are.
class TlsLayer final : public utils::ConnectionLayer {
 public:
  explicit TlsLayer(utils::SocketLayer& socket) : socket_(socket) {}
  // Frees the session without telling the peer (close() does that).
  ~TlsLayer() override;

  // Runs the client handshake over the connected socket with `config`.
  // False when it fails; failure() then says why, in the library's words, as
  // "certificate verify failed: ..." or, for a peer that did not complete it
  // within the time-out, "no answer to the TLS handshake within the time-out".
  bool handshake(TlsClientConfig& config);
  // Why the last handshake failed; "" after success.
  const std::string& failure() const { return failure_; }

  long send(const char* bytes, std::size_t count) override;
  long receive(char* bytes, std::size_t count) override;
  bool hasPendingInput() const override;
  bool passesThrough() const override { return false; }
  // Says goodbye to the peer without waiting for its answer and frees the
  // session; false when there was no established session.
  bool close() override;

 private:
  void endSession(bool notifyPeer);
  // Makes the session read and write through socket_; false when the
  // library cannot.
  bool attachSocket();
  // Sets the server name and the names the certificate must hold.
  bool prepareSession(const TlsClientConfig& config);
  // Records why SSL_connect gave `result`, errno being `savedErrno`.
  void noteFailure(int result, int savedErrno);

  utils::SocketLayer& socket_;
  SSL* session_ = nullptr;
  std::string failure_;
};

}  // namespace ostrel::ssl

#endif  // LODEMIG_UTILS_TLS_LAYER_H_
