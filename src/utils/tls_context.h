#ifndef LODEMIG_UTILS_TLS_CONTEXT_H_
#define LODEMIG_UTILS_TLS_CONTEXT_H_

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace ostrel::ssl {

// Starts the TLS library once per process; later calls return at once.
// Safe from any thread.
void startTlsLibrary();

// How a client checks the server it talks to.
struct TlsPolicy {
  // False: the server's certificate is taken as presented (-insecure).
  bool verify = true;
  // Trusted instead of the system's trust store when not empty.
  std::string caFile;
};

// One client TLS context for every connection of a run: TLS 1.2 or newer,
// compression off and, unless the policy says otherwise, the peer's chain
// checked against the trust store. The host name is checked per connection
// (see TlsLayer). Immutable once made, so threads may share it.
class ClientTlsContext {
 public:
  // Null when the context cannot be made or the CA file cannot be used; then
  // `*error` says why, in the library's words.
  static std::shared_ptr<ClientTlsContext> create(const TlsPolicy& policy, std::string* error);
  ~ClientTlsContext();
  ClientTlsContext(const ClientTlsContext&) = delete;
  ClientTlsContext& operator=(const ClientTlsContext&) = delete;

  SSL_CTX* get() const { return context_; }
  bool verifies() const { return verify_; }

 private:
  ClientTlsContext(SSL_CTX* context, bool verify) : context_(context), verify_(verify) {}

  SSL_CTX* context_;
  bool verify_;
};

// The reason of the last failure in the thread's error queue, in the
// library's words ("" when the queue is empty); empties the queue.
std::string takeTlsErrorText();

}  // namespace ostrel::ssl

#endif  // LODEMIG_UTILS_TLS_CONTEXT_H_
