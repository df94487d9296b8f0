#ifndef LODEMIG_DRIVER_RUN_SETUP_H_
#define LODEMIG_DRIVER_RUN_SETUP_H_

#include <ctime>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "imap/connection_settings.h"
#include "migration/migration_settings.h"

namespace lodemig {

// Lines about how safely the run reaches the target, said once at its start.
struct SafetyWarnings {
  std::vector<std::string> printed;  // on the console and in the log
  std::vector<std::string> logged;   // in the log only
};

// The master password read from a password file: `password` is its first
// line without the line end ("\n" or "\r\n"). `refusal` is the argument
// error's whole text when the file cannot be read or that line is empty
// (`password` is then empty); `warning` a line for SafetyWarnings::printed
// when the file's group or others may read it, else empty.
struct PasswordFileContent {
  std::string password;
  std::string refusal;
  std::string warning;
};
PasswordFileContent readPasswordFile(const std::string& path);

// A refusal of the run's TLS set-up: its whole text and the exit status
// that goes with it.
struct TlsRefusal {
  std::string text;  // empty when the set-up succeeded
  int exitStatus = 0;
};

// Gives `connection` the run's one TLS context when it asks for TLS, adding
// the warnings the options call for: passwords sent unencrypted by a
// migration to a host other than loopback (printed), certificates not
// checked with -insecure (logged). A CA file that cannot be used is an
// argument error, any other failure to set TLS up a failure of the run.
TlsRefusal setUpTls(const RunOptions& options, ConnectionSettings& connection,
                    SafetyWarnings& warnings);

// The path of the run's files without their extension, in the current
// directory: "./lodemig_<start>", and with -shard "_shard-K-of-N" after it.
std::string runFileStem(const MigrationSettings& settings, std::time_t start);

// The store as the journal names it: an absolute path where it can be made
// one, so that the same store given another way is still the same store.
std::string journalStoreFor(const MigrationSettings& settings);
// The target as the journal names it: "host:port".
std::string journalTargetFor(const ConnectionSettings& connection);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_RUN_SETUP_H_
