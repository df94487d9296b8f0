#include "utils/tls_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "utils/sigpipe_guard.h"

namespace ostrel::utils {

namespace {

// The reason of the first error OpenSSL queued (the cause; later entries
// only say which call gave up), then the queue emptied. A file that cannot
// be opened comes as the system's error, which OpenSSL keeps no text for.
std::string takeErrorReason() {
  const unsigned long first = ERR_get_error();
  ERR_clear_error();
  if (first != 0 && ERR_SYSTEM_ERROR(first)) {
    return std::system_category().message(ERR_GET_REASON(first));
  }
  const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
  return reason != nullptr ? reason : "unknown reason";
}

}  // namespace

TlsServerContext::~TlsServerContext() {
  SSL_CTX_free(context_);
}

std::string TlsServerContext::load(const std::string& certificateFile, const std::string& keyFile) {
  SSL_CTX_free(context_);
  context_ = nullptr;
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    return "cannot set up TLS: " + takeErrorReason();
  }
  // Compressed TLS leaks secrets through record sizes. A peer that closes
  // without close_notify simply ends the connection: IMAP commands carry
  // their own ends, so a cut cannot pass for a shorter command.
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  std::string error;
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    error = "cannot set up TLS: " + takeErrorReason();
  } else if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
    error = "cannot use TLS certificate " + certificateFile + ": " + takeErrorReason();
  } else if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
             SSL_CTX_check_private_key(context) != 1) {
    error = "cannot use TLS key " + keyFile + ": " + takeErrorReason();
  }
  if (!error.empty()) {
    SSL_CTX_free(context);
    return error;
  }
  context_ = context;
  return "";
}

ServerConnection& ServerConnection::operator=(ServerConnection&& other) noexcept {
  if (this != &other) {
    close();
    tcp_ = std::move(other.tcp_);
    session_ = std::exchange(other.session_, nullptr);
  }
  return *this;
}

bool ServerConnection::startTls(const TlsServerContext& context) {
  if (session_ != nullptr || context.context_ == nullptr || !tcp_.valid()) {
    return false;
  }
  ERR_clear_error();
  session_ = SSL_new(context.context_);
  bool done = session_ != nullptr && SSL_set_fd(session_, tcp_.socket()) == 1;
  if (done) {
    SigpipeGuard guard;
    done = SSL_accept(session_) == 1;
  }
  if (!done) {
    freeSession();
  }
  ERR_clear_error();
  return done;
}

long ServerConnection::receiveTls(char* buffer, std::size_t size, int timeoutMs) {
  // Decrypted bytes, or a record read only in part, wait inside OpenSSL
  // where poll cannot see them.
  if (timeoutMs >= 0 && SSL_has_pending(session_) == 0) {
    pollfd entry{};
    entry.fd = tcp_.socket();
    entry.events = POLLIN;
    int ready;
    do {
      ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      return TcpConnection::kTimedOut;
    }
    if (ready < 0) {
      return TcpConnection::kError;
    }
  }
  ERR_clear_error();
  const int count =
      SSL_read(session_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (count > 0) {
    return count;
  }
  const int error = SSL_get_error(session_, count);
  const int savedErrno = errno;
  ERR_clear_error();
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) {
    // After a fatal error the session must not send its close_notify.
    SSL_set_quiet_shutdown(session_, 1);
  }
  if (error == SSL_ERROR_ZERO_RETURN ||
      (error == SSL_ERROR_SYSCALL && (savedErrno == 0 || savedErrno == ECONNRESET))) {
    return TcpConnection::kClosed;
  }
  errno = error == SSL_ERROR_SYSCALL ? savedErrno : EPROTO;
  return TcpConnection::kError;
}

bool ServerConnection::sendAllTls(const char* data, std::size_t size) {
  ERR_clear_error();
  SigpipeGuard guard;
  while (size > 0) {
    const int sent =
        SSL_write(session_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (sent <= 0) {
      SSL_set_quiet_shutdown(session_, 1);
      ERR_clear_error();
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

void ServerConnection::endTls() {
  if (session_ != nullptr) {
    ERR_clear_error();
    SigpipeGuard guard;
    SSL_shutdown(session_);
  }
  freeSession();
}

void ServerConnection::freeSession() {
  if (session_ == nullptr) {
    return;
  }
  SSL_free(session_);
  session_ = nullptr;
  ERR_clear_error();
}

void ServerConnection::close() {
  freeSession();
  tcp_.close();
}

}  // namespace ostrel::utils
