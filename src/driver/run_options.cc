#include "driver/run_options.h"

#include <cstdlib>

#include "driver/dav_options.h"
#include "driver/rate_options.h"
#include "driver/work_list_options.h"
#include "utils/ascii.h"
#include "utils/sockets.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

constexpr int kMaxPort = 65535;

// Digits only, at most `limit`; anything else gives `refused`.
int parseBounded(const char* text, int limit, int refused);

// A port is a whole number from 1 to 65535; anything else is refused.
void takePort(RunOptions& options, const char* text) {
  const int port = parseBounded(text, kMaxPort, 0);
  options.portRefused = options.portRefused || port == 0;
  options.port = port == 0 ? RunOptions::kDefaultPort : port;
  options.portGiven = true;
}

// "-server HOST:PORT" names the port too: taken as given when -port is not,
// refused when it is; never joined with another port.
void splitServerPort(RunOptions& options) {
  const std::size_t colon = options.server.find(':');
  if (colon == std::string::npos || options.server.find(':', colon + 1) != std::string::npos) {
    return;
  }
  const std::string port = options.server.substr(colon + 1);
  options.server.resize(colon);
  if (options.portGiven) {
    options.serverPortClash = true;
    return;
  }
  takePort(options, port.c_str());
}

// Digits only, at most `limit`; anything else gives `refused`.
int parseBounded(const char* text, int limit, int refused) {
  long value = 0;
  const char* digit = text;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + (*digit - '0');
    if (value > limit) {
      return refused;
    }
  }
  return *digit == '\0' && digit != text ? static_cast<int>(value) : refused;
}

// "K/N" with 1 <= K <= N into the options' shard and shards; shards -1 for
// anything else.
void parseShard(const char* text, RunOptions& options) {
  const std::string value = text;
  const std::size_t slash = value.find('/');
  constexpr int kMaxShards = 1000000;
  const int shard = slash == std::string::npos
                        ? -1
                        : parseBounded(value.substr(0, slash).c_str(), kMaxShards, -1);
  const int shards = slash == std::string::npos
                         ? -1
                         : parseBounded(value.substr(slash + 1).c_str(), kMaxShards, -1);
  if (shard < 1 || shards < shard) {
    options.shard = 0;
    options.shards = -1;
    return;
  }
  options.shard = shard;
  options.shards = shards;
}

// The value options naming the store and its accounts.
bool takeStoreValue(RunOptions& options, const char* name, const char* value) {
  if (equalsIgnoreCase(name, "-path")) {
    options.storePath = value;
  } else if (equalsIgnoreCase(name, "-domain")) {
    options.domainMask = value;
  } else if (equalsIgnoreCase(name, "-primarydomain")) {
    options.primaryDomain = value;
  } else if (equalsIgnoreCase(name, "-user")) {
    options.userMask = value;
  } else if (equalsIgnoreCase(name, "-unlistedfolders")) {
    options.unlistedFolders = equalsIgnoreCase(value, "skip")      ? "skip"
                              : equalsIgnoreCase(value, "migrate") ? "migrate"
                                                                   : "";
  } else if (equalsIgnoreCase(name, "-setpass")) {
    options.setPassword = value;
  } else if (equalsIgnoreCase(name, "-forcesetpass")) {
    options.forceSetPassword = value;
  } else {
    return false;
  }
  return true;
}

// The value options naming the target and how to reach it.
bool takeTargetValue(RunOptions& options, const char* name, const char* value) {
  if (equalsIgnoreCase(name, "-password")) {
    options.masterPassword = value;
  } else if (equalsIgnoreCase(name, "-server")) {
    options.server = value;
  } else if (equalsIgnoreCase(name, "-port")) {
    takePort(options, value);
  } else if (equalsIgnoreCase(name, "-cafile")) {
    options.caFile = value;
  } else if (equalsIgnoreCase(name, "-passwordfile")) {
    options.passwordFile = value;
  } else if (equalsIgnoreCase(name, "-targettype")) {
    options.targetType = equalsIgnoreCase(value, "torvane") ? "torvane"
                         : equalsIgnoreCase(value, "imap")  ? "imap"
                                                            : "";
  } else if (equalsIgnoreCase(name, "-admin")) {
    options.admin = value;
  } else if (equalsIgnoreCase(name, "-loginform")) {
    options.loginForm = value;
  } else if (equalsIgnoreCase(name, "-nonmailfolders")) {
    options.nonMailFolders = equalsIgnoreCase(value, "skip")     ? "skip"
                             : equalsIgnoreCase(value, "create") ? "create"
                                                                 : "";
  } else if (equalsIgnoreCase(name, "-foldermap")) {
    options.folderMapPath = value;
  } else {
    return false;
  }
  return true;
}

// The value options shaping the run: its files and its numbers.
bool takeRunValue(RunOptions& options, const char* name, const char* value) {
  if (equalsIgnoreCase(name, "-report")) {
    options.reportPath = value;
  } else if (equalsIgnoreCase(name, "-events")) {
    options.eventsPath = value;
  } else if (equalsIgnoreCase(name, "-journal")) {
    options.journalPath = value;
  } else if (equalsIgnoreCase(name, "-timeout")) {
    options.timeoutSeconds = parseBounded(value, RunOptions::kMaxTimeoutSeconds, 0);
  } else if (equalsIgnoreCase(name, "-retry")) {
    options.retries = parseBounded(value, RunOptions::kMaxRetries, -1);
  } else if (equalsIgnoreCase(name, "-window")) {
    options.window = parseBounded(value, RunOptions::kMaxWindow, -1);
    options.window = options.window == 0 ? -1 : options.window;
  } else if (equalsIgnoreCase(name, "-multiappend")) {
    options.multiAppend = parseBounded(value, RunOptions::kMaxMultiAppend, -1);
    options.multiAppend = options.multiAppend == 0 ? -1 : options.multiAppend;
  } else if (equalsIgnoreCase(name, "-jobs")) {
    options.jobs = parseBounded(value, RunOptions::kMaxJobs, -1);
    options.jobs = options.jobs == 0 ? -1 : options.jobs;
  } else if (equalsIgnoreCase(name, "-shard")) {
    parseShard(value, options);
  } else if (equalsIgnoreCase(name, "-metricsfile")) {
    options.metricsPath = value;
  } else if (equalsIgnoreCase(name, "-htmlreport")) {
    options.htmlReportPath = value;
  } else if (equalsIgnoreCase(name, "-mergereports")) {
    options.mergeReportsPath = value;
  } else {
    return false;
  }
  return true;
}

// Every option name is distinct, so the order of the groups does not matter.
bool takeValue(RunOptions& options, const char* name, const char* value) {
  return takeStoreValue(options, name, value) || takeTargetValue(options, name, value) ||
         takeRunValue(options, name, value) || takeRateValue(options, name, value) ||
         takeWorkListValue(options, name, value) || takeDavValue(options, name, value);
}

bool takeFlag(RunOptions& options, const char* name) {
  if (equalsIgnoreCase(name, "-migrate")) {
    options.migrate = true;
  } else if (equalsIgnoreCase(name, "-force")) {
    options.force = true;
  } else if (equalsIgnoreCase(name, "-quiet")) {
    options.quiet = true;
  } else if (equalsIgnoreCase(name, "-check")) {
    options.check = true;
  } else if (equalsIgnoreCase(name, "-verify")) {
    options.verify = true;
  } else if (equalsIgnoreCase(name, "-tls")) {
    options.tls = true;
  } else if (equalsIgnoreCase(name, "-starttls")) {
    options.starttls = true;
  } else if (equalsIgnoreCase(name, "-insecure")) {
    options.insecure = true;
  } else if (equalsIgnoreCase(name, "-retarget")) {
    options.retarget = true;
  } else if (equalsIgnoreCase(name, "-delta")) {
    options.delta = true;
  } else if (equalsIgnoreCase(name, "-live")) {
    options.live = true;
  } else if (equalsIgnoreCase(name, "-expunge")) {
    options.expunge = true;
  } else if (equalsIgnoreCase(name, "-compress")) {
    options.compress = true;
  } else if (equalsIgnoreCase(name, "-disableCrLfFixing")) {
    options.fixCrLf = false;
  } else if (equalsIgnoreCase(name, "-version") || equalsIgnoreCase(name, "--version")) {
    options.version = true;
  } else if (equalsIgnoreCase(name, "-help") || equalsIgnoreCase(name, "-?") ||
             equalsIgnoreCase(name, "--help") || equalsIgnoreCase(name, "-h")) {
    options.help = true;
  } else {
    return false;
  }
  return true;
}

// A value option given last, without its value: the checks say what is
// missing, not that the option is unknown.
bool isValueOption(const char* name) {
  RunOptions scratch;
  return takeValue(scratch, name, "");
}

}  // namespace

RunOptions parseCommandLine(int argc, const char* const* argv) {
  RunOptions options;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 < argc && takeValue(options, argv[i], argv[i + 1])) {
      ++i;
      continue;
    }
    if (!takeFlag(options, argv[i]) && !isValueOption(argv[i]) && options.unknownArgument.empty()) {
      options.unknownArgument = argv[i];
    }
  }
  splitServerPort(options);
  return options;
}

std::vector<std::pair<std::string, std::string>> givenOptions(int argc, const char* const* argv) {
  std::vector<std::pair<std::string, std::string>> given;
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    std::string value;
    // The same reading as parseCommandLine's, so that a secret taken as an
    // option's value is hidden however it looks.
    RunOptions scratch;
    if (i + 1 < argc && takeValue(scratch, name, argv[i + 1])) {
      const bool secret = equalsIgnoreCase(name, "-password") ||
                          equalsIgnoreCase(name, "-setpass") ||
                          equalsIgnoreCase(name, "-forcesetpass");
      value = secret ? "(hidden)" : argv[i + 1];
      ++i;
    }
    const std::string bare = name[0] == '-' ? name + 1 : name;
    auto same = given.begin();
    while (same != given.end() && !equalsIgnoreCase(same->first, bare)) {
      ++same;
    }
    if (same == given.end()) {
      given.emplace_back(bare, value);
    } else {
      same->second = value;
    }
  }
  return given;
}

MigrationSettings migrationSettingsFrom(const RunOptions& options) {
  MigrationSettings settings;
  settings.storePath = options.storePath;
  settings.migrate = options.migrate;
  settings.force = options.force;
  // A preset password only ever applies to the accounts a user mask names.
  if (!options.userMask.empty()) {
    settings.setPassword = options.setPassword;
    settings.forceSetPassword = options.forceSetPassword;
  }
  settings.domainMask = options.domainMask.empty() ? "*" : options.domainMask;
  settings.userMask = options.userMask.empty() ? "*" : options.userMask;
  settings.primaryDomain =
      options.primaryDomain.empty() ? ostrel::utils::localHostName() : options.primaryDomain;
  settings.quiet = options.quiet;
  settings.fixCrLf = options.fixCrLf;
  settings.journalPath = options.journalPath;
  settings.retarget = options.retarget;
  settings.delta = options.delta;
  // A delta pass is made while the source may still be running.
  settings.live = options.live || options.delta;
  settings.expunge = options.expunge;
  settings.retries = options.retries;
  settings.reportPath = options.reportPath;
  settings.check = options.check;
  settings.verify = options.verify;
  settings.jobs = options.jobs;
  settings.shard = options.shard;
  settings.shards = options.shards;
  settings.standardTarget = options.targetType == "imap";
  settings.createNonMailFolders = options.nonMailFolders == "create";
  settings.folderMapPath = options.folderMapPath;
  settings.migrateUnlisted = options.unlistedFolders == "migrate";
  settings.primaryDomainGiven = !options.primaryDomain.empty();
  settings.usersFilePath = options.usersFile;
  applyRateOptions(options, settings);
  applyDavOptions(options, settings);
  return settings;
}

int windowOf(const RunOptions& options) {
  if (options.window == 0) {
    return options.targetType == "imap" ? RunOptions::kDefaultImapWindow : 1;
  }
  return options.window > 1 ? options.window : 1;
}

ConnectionSettings connectionSettingsFrom(const RunOptions& options) {
  ConnectionSettings connection;
  connection.host = options.server;
  connection.port = options.tls && !options.portGiven ? RunOptions::kDefaultTlsPort : options.port;
  connection.tls = options.tls        ? TlsMode::Implicit
                   : options.starttls ? TlsMode::StartTls
                                      : TlsMode::None;
  connection.masterPassword = options.masterPassword;
  connection.timeoutSeconds = static_cast<unsigned>(options.timeoutSeconds);
  connection.standardServer = options.targetType == "imap";
  connection.appendWindow = static_cast<std::size_t>(windowOf(options));
  const int multiAppend = options.multiAppend > 0     ? options.multiAppend
                          : connection.standardServer ? RunOptions::kDefaultStandardMultiAppend
                                                      : 1;
  connection.multiAppend = static_cast<std::size_t>(multiAppend);
  connection.admin = options.admin;
  connection.loginForm = options.loginForm;
  connection.compress = options.compress;
  return connection;
}

namespace {

// The lines of the files that follow a run from outside its log.
void printFollowerUsage(std::ostream& out) {
  out << "       -events    file of JSON lines, one per event of the run (optional)\n";
  out << "       -metricsFile  Prometheus text file of the run's figures, for node exporter "
         "(optional)\n";
  out << "       -htmlReport  HTML page of the run's result, at its end (optional)\n";
  out << "       -mergeReports  OUT.csv IN.csv...: merge the CSV reports of shards and runs\n";
}

}  // namespace

void printUsage(std::ostream& out) {
  out << "\n";
  out << "Brenhart Quillon Pro to Torvane migration tool v" << versionString() << "\n";
  out << "Usage: lodemig -path PATH [options]\n";
  out << "       -path      path to Quillon store,\n";
  out << "                  typically \"/var/Quillon\", \"c:\\Quillon Files\", etc.\n";
  out << "       -migrate   required for migration, leave out to print info\n";
  out << "       -server    Torvane hostname (required for migration)\n";
  out << "       -port      IMAP port number (optional, default 143)\n";
  out << "       -password  Torvane master password (required for migration)\n";
  out << "       -domain    migrated/printed domain (required if user is specified)\n";
  out << "       -user      migrated user (optional)\n";
  out << "       -force     migrate users who already exist in Torvane (optional)\n";
  out << "       -setPass   password for migrated user (optional), see readme.html\n";
  out << "       -forceSetPass   password for migrated user (optional), see readme.html\n";
  out << "       -primaryDomain  the name of primary domain (optional but recommended)\n";
  out << "       -quiet     disable standard output (optional)\n";
  out << "       -timeout   seconds to wait for Torvane's answers (optional, default 180)\n";
  out << "       -journal   file that records progress, to resume an interrupted migration\n";
  out << "       -retry     new connections per account after a lost one (optional, default 0)\n";
  out << "       -report    CSV file with a row per folder, checked against Torvane (optional)\n";
  out << "       -check     pre-flight: what a migration would meet, writes nothing to Torvane\n";
  out << "       -verify    audit: compares the store with Torvane, writes nothing to Torvane\n";
  out << "       -window    appends in flight on the connection (optional, 1 to 64, default 1)\n";
  out << "                  (default 8 with -targetType imap)\n";
  out << "       -jobs      accounts migrated at the same time (optional, 1 to 32, default 1)\n";
  out << "       -shard     K/N: only the accounts of shard K of N (optional)\n";
  out << "       -tls       TLS from the first byte (optional, default port then 993)\n";
  out << "       -starttls  plain connection, then STARTTLS before the login (optional)\n";
  out << "       -caFile    trust the CA certificates of this file, not the system's (optional)\n";
  out << "       -insecure  TLS without certificate checks (optional, not recommended)\n";
  out << "       -passwordFile  file whose first line is the master password (optional)\n";
  out << "       -targetType  torvane or imap: any IMAP server, no accounts created (optional)\n";
  out << "       -admin     administrator who logs in for each account (required for imap)\n";
  out << "       -loginForm  LOGIN name pattern such as USER*ADMIN, for imap (optional)\n";
  out << "       -nonMailFolders  skip or create calendars, contacts... on imap (optional)\n";
  out << "       -folderMap  file of store name TAB target name lines, for imap (optional)\n";
  out << "       -retarget  resume a journal whose server is now named another way (optional)\n";
  out << "       -unlistedFolders  skip or migrate folders the folder list lacks (optional)\n";
  out << "       -live      copy while Quillon runs: changes are left for -delta (optional)\n";
  out << "       -delta     with -journal: send only what changed since the last pass (optional)\n";
  out << "       -expunge   with -delta: remove from Torvane what the store no longer has\n";
  printRateUsage(out);
  out << "       -compress  compress the connection when the server offers it (optional)\n";
  out << "       -multiAppend  messages per APPEND where the server offers MULTIAPPEND "
         "(optional)\n";
  printWorkListUsage(out);
  printFollowerUsage(out);
  printDavUsage(out);
  out << "       -version   print the version and exit (optional)\n";
  out << "       -help      print help and exit (optional)\n";
  out << "\n";
  out << "Notes: Quillon must be stopped before migration!\n";
  out << "       migration process is logged into lodemig_[datetime].log file\n";
  out << "\n";
  out << "For more details, see readme.html\n";
  out << "\n";
  out.flush();
}

const char* versionString() {
  // Set by the build from the project's version, so that the package, the
  // manual pages and the programs cannot disagree.
  return LODEMIG_VERSION;
}

std::string versionLine() {
  return std::string("Brenhart Quillon Pro to Torvane migration tool ") + versionString();
}

}  // namespace lodemig
