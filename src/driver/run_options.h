#ifndef LODEMIG_DRIVER_RUN_OPTIONS_H_
#define LODEMIG_DRIVER_RUN_OPTIONS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/pending_commands.h"
#include "migration/migration_settings.h"

namespace lodemig {

// The run configuration, filled from the command line by parseCommandLine.
// Texts are taken verbatim (no trimming, no case folding).
struct RunOptions {
  static constexpr int kDefaultPort = 143;
  static constexpr int kDefaultTimeoutSeconds = 180;
  static constexpr int kMaxTimeoutSeconds = 86400;

  std::string storePath;         // -path; required
  std::string domainMask;        // -domain; empty means every domain
  std::string userMask;          // -user; empty means every account
  std::string masterPassword;    // -password; required with -migrate
  std::string setPassword;       // -setPass
  std::string forceSetPassword;  // -forceSetPass
  std::string server;            // -server; required with -migrate
  int port = kDefaultPort;       // -port
  std::string primaryDomain;     // -primaryDomain; empty: the local host's name
  bool migrate = false;          // -migrate
  bool force = false;            // -force
  bool quiet = false;            // -quiet
  bool help = false;             // -help, -?
  bool version = false;          // -version
  bool fixCrLf = true;           // cleared by -disableCrLfFixing
  // -timeout: how long to wait for the server before giving up on it; 0 when
  // the value given is not a whole number of seconds from 1 to kMaxTimeoutSeconds.
  int timeoutSeconds = kDefaultTimeoutSeconds;
  std::string journalPath;  // -journal; empty: none
  bool retarget = false;    // -retarget: the journal's server under another address
  bool delta = false;       // -delta: bring the target up to the store as it is now
  bool live = false;        // -live: the source server may be running
  bool expunge = false;     // -expunge: a delta removes what the store no longer holds
  static constexpr int kMaxRetries = 100;
  // -retry: new connections per account after a lost one; -1 when the value
  // given is not a whole number from 0 to kMaxRetries.
  int retries = 0;
  std::string reportPath;  // -report; empty: none
  std::string eventsPath;  // -events; empty: none
  bool check = false;      // -check: a pre-flight that writes nothing
  bool verify = false;     // -verify: an audit that writes nothing
  static constexpr int kMaxWindow = static_cast<int>(kMaxCommandsInFlight);
  static constexpr int kMaxJobs = 32;
  // -jobs: accounts migrated at the same time; -1 when the value given is
  // not a whole number from 1 to kMaxJobs.
  int jobs = 1;
  // The window of a standard IMAP server when -window is not given; the
  // private target keeps one command at a time.
  static constexpr int kDefaultImapWindow = 8;
  // -window: appends outstanding on the connection at once; 0 when not
  // given (the target type's default applies), -1 when the value given is
  // not a whole number from 1 to kMaxWindow.
  int window = 0;
  static constexpr int kMaxMultiAppend = 1000;
  // Messages per APPEND with a standard server unless -multiAppend says.
  static constexpr int kDefaultStandardMultiAppend = 32;
  // -multiAppend: messages per APPEND where the server offers MULTIAPPEND;
  // 0 when not given (1 for the private target, kDefaultStandardMultiAppend
  // for a standard one), -1 when the value given is not a whole number from
  // 1 to kMaxMultiAppend.
  int multiAppend = 0;
  // -shard K/N: only the accounts of shard K of N; shards 0: every account,
  // -1 when the value given is not K/N with 1 <= K <= N.
  int shard = 0;
  int shards = 0;
  static constexpr int kDefaultTlsPort = 993;
  bool portGiven = false;  // -port was given (or -server HOST:PORT)
  // A port that is not a whole number from 1 to 65535 was given.
  bool portRefused = false;
  // -server named a port and -port another.
  bool serverPortClash = false;
  // The first argument that is neither an option nor an option's value.
  std::string unknownArgument;
  bool tls = false;          // -tls: TLS from the first byte
  bool starttls = false;     // -starttls: STARTTLS before the login
  bool compress = false;     // -compress: COMPRESS DEFLATE after the login when offered
  std::string caFile;        // -caFile: trusted instead of the system's store
  bool insecure = false;     // -insecure: no certificate checks
  std::string passwordFile;  // -passwordFile: the master password's file
  // -targetType: "torvane" (the default) or "imap", a standard IMAP server;
  // empty for any other value given.
  std::string targetType = "torvane";
  std::string admin;      // -admin: who logs in for each account (imap)
  std::string loginForm;  // -loginForm: LOGIN name pattern (imap)
  // -nonMailFolders: "skip" (the default) or "create"; empty for any other value.
  std::string nonMailFolders = "skip";
  std::string folderMapPath;  // -folderMap: store name TAB target name lines
  // -unlistedFolders: "skip" (the default) or "migrate"; empty for any other value.
  std::string unlistedFolders = "skip";
  // -maxRate (bytes a second) and -maxMessagesPerSecond; 0: no limit, -1
  // when the value given is refused (see driver/rate_options.h).
  std::int64_t maxRate = 0;
  std::int64_t maxMessagesPerSecond = 0;
  // -metricsFile: the Prometheus text file rewritten as the run goes; empty:
  // none.
  std::string metricsPath;
  std::string htmlReportPath;    // -htmlReport: the page written at the end; empty: none
  std::string mergeReportsPath;  // -mergeReports: the merge mode's output (driver/merge_reports.h)
  std::string usersFile;         // -usersFile: the accounts, one user@domain a line
  std::string failedFile;        // -failedFile: receives the accounts that failed
  // -davServer, -davLoginForm, -davExport (driver/dav_options.h), and
  // whether each was given: an empty value given is refused.
  std::string davServer;
  std::string davLoginForm;
  std::string davExport;
  bool davServerGiven = false;
  bool davLoginFormGiven = false;
  bool davExportGiven = false;
};

// Fills a RunOptions from argv[1..argc-1]. Option names match without regard
// to ASCII letter case; a value option takes the next argument whatever it
// looks like, and is only a value option when one follows. The first unknown
// argument is kept for the checks to refuse. Never fails and never prints.
RunOptions parseCommandLine(int argc, const char* const* argv);

// The options of argv[1..argc-1] as given, for the events file: each
// option's name without its dash and its value (a flag's is empty), in the
// order given; an option given twice once, with its last value. The values
// of -password, -setPass and -forceSetPass read "(hidden)".
std::vector<std::pair<std::string, std::string>> givenOptions(int argc, const char* const* argv);

// The one place the command line becomes the run's settings: empty masks
// become "*", an empty primary domain this machine's name, and the preset
// passwords are dropped unless a user mask names the accounts they are for.
MigrationSettings migrationSettingsFrom(const RunOptions& options);
// The appends in flight the run keeps: -window as given, else the target
// type's default.
int windowOf(const RunOptions& options);
ConnectionSettings connectionSettingsFrom(const RunOptions& options);

// Writes the usage text to `out` and flushes it once at the end.
void printUsage(std::ostream& out);

// The program version, "major.minor.patch-tag-build" (for example
// "1.0.0-R1-1"), as the build sets it. The text is a string literal.
const char* versionString();

// The banner's first line, without its line end: what -version prints.
std::string versionLine();

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_RUN_OPTIONS_H_
