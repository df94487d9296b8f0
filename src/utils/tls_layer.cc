#include "utils/tls_layer.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "utils/sigpipe_guard.h"
#include "utils/sockets.h"

namespace ostrel::ssl {
namespace {

using utils::SigpipeGuard;

constexpr std::size_t kLargestTransfer = INT_MAX;

utils::VMutex& contextMutex() {
  static utils::VMutex mutex;
  return mutex;
}

// The session reads and writes through the socket layer rather than the
// descriptor, so that the layer's deadline bounds a whole handshake or read
// however slowly a peer trickles its records in, and so that the layer knows
// how the last receive ended. No retry flags are set: a receive that ran out
// of time is a failure, not a read to try again.
int bioWrite(BIO* bio, const char* bytes, int count) {
  auto* socket = static_cast<utils::SocketLayer*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (count <= 0) {
    return 0;
  }
  const long sent = socket->send(bytes, static_cast<std::size_t>(count));
  return sent > 0 ? static_cast<int>(sent) : -1;
}

int bioRead(BIO* bio, char* bytes, int count) {
  auto* socket = static_cast<utils::SocketLayer*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (count <= 0) {
    return 0;
  }
  const long received = socket->receive(bytes, static_cast<std::size_t>(count));
  return received >= 0 ? static_cast<int>(received) : -1;
}

long bioControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  // Nothing is buffered here: a flush has nothing to do, and every other
  // question (pending bytes, kernel TLS, ...) is answered "no".
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

struct BioMethodFree {
  void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

// Made once for the process; null when the library could not make it.
const BIO_METHOD* socketLayerMethod() {
  static const std::unique_ptr<BIO_METHOD, BioMethodFree> method = [] {
    BIO_METHOD* made =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lodemig socket layer");
    if (made != nullptr &&
        (BIO_meth_set_write(made, bioWrite) != 1 || BIO_meth_set_read(made, bioRead) != 1 ||
         BIO_meth_set_ctrl(made, bioControl) != 1 || BIO_meth_set_create(made, bioCreate) != 1)) {
      BIO_meth_free(made);
      made = nullptr;
    }
    return std::unique_ptr<BIO_METHOD, BioMethodFree>(made);
  }();
  return method.get();
}

bool isIpAddress(const std::string& host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

SslContext::~SslContext() {
  SSL_CTX_free(context_);
}

SSL_CTX* SslContext::get() {
  if (!tried_) {
    tried_ = true;
    startTlsLibrary();
    std::lock_guard<utils::VMutex> lock(contextMutex());
    context_ = SSL_CTX_new(TLS_method());
    if (context_ == nullptr) {
      ERR_clear_error();
    }
  }
  return context_;
}

TlsClientConfig::TlsClientConfig() {
  if (SSL_CTX* context = ownContext_.get()) {
    if (SSL_CTX_set_cipher_list(context, "DEFAULT:!LOW:!SSLv2:!EXPORT:!RC4:@STRENGTH") != 1) {
      ERR_clear_error();
    }
    SSL_CTX_set_options(context, SSL_OP_ALL | SSL_OP_NO_COMPRESSION);
  }
}

TlsClientConfig::TlsClientConfig(std::shared_ptr<const ClientTlsContext> context,
                                 std::string serverName)
    : sharedContext_(std::move(context)), serverName_(std::move(serverName)) {}

SSL_CTX* TlsClientConfig::context() {
  return sharedContext_ ? sharedContext_->get() : ownContext_.get();
}

TlsLayer::~TlsLayer() {
  endSession(false);
}

bool TlsLayer::handshake(TlsClientConfig& config) {
  failure_.clear();
  SSL_CTX* tlsContext = config.context();
  if (tlsContext == nullptr || !socket_.isConnected()) {
    failure_ = "no TLS context";
    return false;
  }
  endSession(false);
  session_ = SSL_new(tlsContext);
  if (session_ == nullptr) {
    failure_ = takeTlsErrorText();
    return false;
  }
  if (!attachSocket() || !prepareSession(config)) {
    failure_ = takeTlsErrorText();
    endSession(false);
    return false;
  }
  ERR_clear_error();
  errno = 0;
  int result = 0;
  int connectErrno = 0;
  {
    SigpipeGuard guard;
    // The whole handshake, not each of its reads, must end within the time-out.
    socket_.startDeadline();
    result = SSL_connect(session_);
    connectErrno = errno;
    socket_.endDeadline();
  }
  if (result < 1) {
    noteFailure(result, connectErrno);
    endSession(false);
    return false;
  }
  return true;
}

bool TlsLayer::attachSocket() {
  const BIO_METHOD* method = socketLayerMethod();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    return false;
  }
  BIO_set_data(bio, &socket_);
  // The session owns the BIO from here on, for reading and writing.
  SSL_set_bio(session_, bio, bio);
  return true;
}

bool TlsLayer::prepareSession(const TlsClientConfig& config) {
  const std::string& name = config.serverName();
  if (name.empty()) {
    return true;
  }
  const bool ip = isIpAddress(name);
  // Server names in the handshake are host names only.
  if (!ip && SSL_set_tlsext_host_name(session_, name.c_str()) != 1) {
    return false;
  }
  if (!config.checksName()) {
    return true;
  }
  X509_VERIFY_PARAM* checks = SSL_get0_param(session_);
  return ip ? X509_VERIFY_PARAM_set1_ip_asc(checks, name.c_str()) == 1
            : SSL_set1_host(session_, name.c_str()) == 1;
}

void TlsLayer::noteFailure(int result, int savedErrno) {
  const long verdict = SSL_get_verify_result(session_);
  if (verdict != X509_V_OK) {
    ERR_clear_error();
    failure_ = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict);
    return;
  }
  const int kind = SSL_get_error(session_, result);
  const utils::SocketLayer::ReceiveEnd end = socket_.receiveEnd();
  // The socket knows best why the handshake stopped: the library words a
  // silent or slow peer as an error of its own, or not at all.
  if (end == utils::SocketLayer::ReceiveEnd::kTimedOut) {
    ERR_clear_error();
    failure_ = "no answer to the TLS handshake within the time-out";
    return;
  }
  if (end == utils::SocketLayer::ReceiveEnd::kClosed) {
    ERR_clear_error();
    failure_ = "the server closed the connection during the TLS handshake";
    return;
  }
  failure_ = takeTlsErrorText();
  if (!failure_.empty()) {
    return;
  }
  if (kind == SSL_ERROR_SYSCALL && (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)) {
    failure_ = "no answer to the TLS handshake within the time-out";
  } else if (kind == SSL_ERROR_SYSCALL && savedErrno != 0) {
    failure_ = std::strerror(savedErrno);
  } else {
    failure_ = "the server closed the connection during the TLS handshake";
  }
}

void TlsLayer::endSession(bool notifyPeer) {
  if (session_ == nullptr) {
    return;
  }
  if (notifyPeer && SSL_is_init_finished(session_)) {
    ERR_clear_error();
    SigpipeGuard guard;
    SSL_shutdown(session_);
  }
  SSL_free(session_);
  session_ = nullptr;
  ERR_clear_error();
}

long TlsLayer::send(const char* bytes, std::size_t count) {
  if (session_ == nullptr) {
    return -1;
  }
  ERR_clear_error();
  SigpipeGuard guard;
  return SSL_write(session_, bytes, static_cast<int>(std::min(count, kLargestTransfer)));
}

long TlsLayer::receive(char* bytes, std::size_t count) {
  if (session_ == nullptr) {
    return -1;
  }
  ERR_clear_error();
  SigpipeGuard guard;
  return SSL_read(session_, bytes, static_cast<int>(std::min(count, kLargestTransfer)));
}

bool TlsLayer::hasPendingInput() const {
  return session_ != nullptr && SSL_pending(session_) > 0;
}

bool TlsLayer::close() {
  const bool established = session_ != nullptr;
  endSession(true);
  return established;
}

}  // namespace ostrel::ssl
