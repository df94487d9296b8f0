#ifndef LODEMIG_TESTS_TLS_CLIENT_H_
#define LODEMIG_TESTS_TLS_CLIENT_H_

#include <openssl/types.h>

#include <cstddef>
#include <string>

namespace lodemig::testing {

// The client side of a TLS session over a connected socket that the caller
// owns and keeps open while this object lives, for tests that talk to a TLS
// server by hand. Each read waits at most a few seconds; SIGPIPE is never
// raised. Not copyable.
class TlsClient {
 public:
  static constexpr int kWaitMs = 5000;

  TlsClient() = default;
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Runs the handshake on `socket`. With a `caFile`, the server's chain must
  // verify against it and its certificate must name `host` (an IP address or
  // a DNS name); without, any certificate is taken. False when it fails;
  // error() then says why.
  bool handshake(int socket, const std::string& caFile = "", const std::string& host = "");
  const std::string& error() const { return error_; }

  // TcpConnection::receive's results: a count, 0 at the end, -1 on an error,
  // -2 when nothing came within `timeoutMs`.
  long receive(char* buffer, std::size_t size, int timeoutMs);
  bool sendAll(const char* data, std::size_t size);

 private:
  SSL_CTX* context_ = nullptr;
  SSL* session_ = nullptr;
  int socket_ = -1;
  std::string error_;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_TLS_CLIENT_H_
