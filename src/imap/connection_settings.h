#ifndef LODEMIG_IMAP_CONNECTION_SETTINGS_H_
#define LODEMIG_IMAP_CONNECTION_SETTINGS_H_

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "utils/tls_context.h"

namespace lodemig {

// How the connection is protected.
enum class TlsMode : int {
  None,      // plain TCP
  Implicit,  // TLS from the first byte
  StartTls,  // plain, then STARTTLS after the greeting and TLS before the login
};

// Something said once per run however many connections meet it: shared by
// every connection of the run, from any thread.
class RunOnce {
 public:
  // True for the first caller only.
  bool first() { return !done_.exchange(true); }

 private:
  std::atomic<bool> done_{false};
};

// Where the target server is and how to talk to it: what a migration's
// command line says about the connection. A plain value; the gateway copies
// what it needs at every connect, so the settings may change or go between
// connections.
struct ConnectionSettings {
  std::string host;
  int port = 143;
  // Used by the administrator login (X-MASTERAUTH), and with a standard IMAP
  // server as the administrator's password when logging in for an account.
  std::string masterPassword;
  // Appends in flight at once on a connection (1 to kMaxCommandsInFlight).
  // Above 1 each append still leaves as soon as it is written; a read takes
  // every answer that has arrived at once.
  std::size_t appendWindow = 1;
  // Messages one APPEND carries where the server announces MULTIAPPEND (1:
  // one each); the window then counts commands of that many.
  std::size_t multiAppend = 1;
  // A standard IMAP server, without the private extensions.
  bool standardServer = false;
  // With a standard IMAP server: the administrator who logs in on each
  // account's behalf, and the LOGIN name pattern used instead of
  // AUTHENTICATE PLAIN when not empty ("USER*ADMIN").
  std::string admin;
  std::string loginForm;
  unsigned timeoutSeconds = 180;  // read time-out of every wait for the server
  TlsMode tls = TlsMode::None;
  // The run's one TLS context, shared by every connection; without one a
  // TLS connection accepts any certificate.
  std::shared_ptr<const ostrel::ssl::ClientTlsContext> tlsContext;
  // After each login, COMPRESS DEFLATE when the server offers it.
  bool compress = false;
  // Taken by the first connection that finds compression not offered, so
  // that the log says so once; shared by the run's connections.
  std::shared_ptr<RunOnce> compressionNotice = std::make_shared<RunOnce>();
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_CONNECTION_SETTINGS_H_
