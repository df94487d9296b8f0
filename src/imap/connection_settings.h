#ifndef LODEMIG_IMAP_CONNECTION_SETTINGS_H_
#define LODEMIG_IMAP_CONNECTION_SETTINGS_H_

#include <string>

namespace lodemig {

// Where the target server is and how to talk to it: what a migration's
// command line says about the connection. A plain value; the gateway copies
// what it needs at every connect, so the settings may change or go between
// connections.
struct ConnectionSettings {
  std::string host;
  int port = 143;
  // Used by the administrator login (X-MASTERAUTH) only.
  std::string masterPassword;
  unsigned timeoutSeconds = 180;  // read time-out of every wait for the server
  bool tls = false;               // TLS on the connection; off by default
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_CONNECTION_SETTINGS_H_
