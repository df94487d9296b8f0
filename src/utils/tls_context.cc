#include "utils/tls_context.h"

#include <openssl/err.h>

#include <cstring>
#include <mutex>

namespace ostrel::ssl {

void startTlsLibrary() {
  static std::once_flag started;
  std::call_once(started, [] {
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
      return;
    }
    // OpenSSL seeds its random generator by itself. No compression method is
    // registered: compressed TLS leaks secrets through record sizes, so the
    // contexts keep compression switched off.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  });
}

std::string takeTlsErrorText() {
  // The first error is the cause; the later ones are the layers it went up.
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) {
    return std::string();
  }
  if (ERR_SYSTEM_ERROR(code)) {
    return std::strerror(static_cast<int>(ERR_GET_REASON(code)));
  }
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) {
    return reason;
  }
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::shared_ptr<ClientTlsContext> ClientTlsContext::create(const TlsPolicy& policy,
                                                           std::string* error) {
  startTlsLibrary();
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    *error = takeTlsErrorText();
    return nullptr;
  }
  bool ready = SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
               SSL_CTX_set_cipher_list(context, "DEFAULT:!LOW:!SSLv2:!EXPORT:!RC4:@STRENGTH") == 1;
  SSL_CTX_set_options(context, SSL_OP_ALL | SSL_OP_NO_COMPRESSION);
  if (ready && policy.verify) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    ready = policy.caFile.empty()
                ? SSL_CTX_set_default_verify_paths(context) == 1
                : SSL_CTX_load_verify_locations(context, policy.caFile.c_str(), nullptr) == 1;
  }
  if (!ready) {
    *error = takeTlsErrorText();
    if (error->empty()) {
      *error = "the TLS context cannot be set up";
    }
    SSL_CTX_free(context);
    return nullptr;
  }
  return std::shared_ptr<ClientTlsContext>(new ClientTlsContext(context, policy.verify));
}

ClientTlsContext::~ClientTlsContext() {
  SSL_CTX_free(context_);
}

}  // namespace ostrel::ssl
