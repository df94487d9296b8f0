#include "tests/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>

#include "utils/sigpipe_guard.h"
#include "utils/sockets.h"

namespace lodemig::testing {

TlsClient::~TlsClient() {
  SSL_free(session_);
  SSL_CTX_free(context_);
}

bool TlsClient::handshake(int socket, const std::string& caFile, const std::string& host) {
  socket_ = socket;
  // Bounds each socket read of the handshake and of every later read.
  const timeval limit{kWaitMs / 1000, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  context_ = SSL_CTX_new(TLS_client_method());
  if (context_ != nullptr) {
    // A server that closes without close_notify has still closed.
    SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  }
  session_ = context_ != nullptr ? SSL_new(context_) : nullptr;
  bool ready = session_ != nullptr && SSL_set_fd(session_, socket) == 1;
  if (ready && !caFile.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(session_);
    ready = SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr) == 1 &&
            (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1 ||
             X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1);
    SSL_set_verify(session_, SSL_VERIFY_PEER, nullptr);
  }
  if (ready) {
    ostrel::utils::SigpipeGuard guard;
    ready = SSL_connect(session_) == 1;
  }
  if (!ready) {
    const long verified = session_ != nullptr ? SSL_get_verify_result(session_) : X509_V_OK;
    const unsigned long first = ERR_get_error();
    const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
    error_ = verified != X509_V_OK ? X509_verify_cert_error_string(verified)
                                   : (reason != nullptr ? reason : "handshake failed");
  }
  ERR_clear_error();
  return ready;
}

long TlsClient::receive(char* buffer, std::size_t size, int timeoutMs) {
  if (session_ == nullptr) {
    return -1;
  }
  if (SSL_has_pending(session_) == 0) {
    const int ready =
        ostrel::utils::waitForSocket(socket_, true, static_cast<unsigned>(std::max(timeoutMs, 0)));
    if (ready <= 0) {
      return ready == 0 ? -2 : -1;
    }
  }
  const int count =
      SSL_read(session_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  const int error = count > 0 ? SSL_ERROR_NONE : SSL_get_error(session_, count);
  ERR_clear_error();
  if (count > 0) {
    return count;
  }
  return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

bool TlsClient::sendAll(const char* data, std::size_t size) {
  if (session_ == nullptr) {
    return false;
  }
  ostrel::utils::SigpipeGuard guard;
  const bool sent =
      size == 0 ||
      SSL_write(session_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX))) ==
          static_cast<int>(size);
  ERR_clear_error();
  return sent;
}

}  // namespace lodemig::testing
