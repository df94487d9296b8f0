#include "driver/run.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "migration/journal.h"
#include "migration/migrator.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "utils/inet_address.h"
#include "utils/output_file.h"
#include "utils/ql_exception.h"
#include "utils/sockets.h"
#include "utils/stop_request.h"
#include "utils/tls_context.h"

namespace lodemig {
namespace {

constexpr const char kMissingArguments[] =
    "Argument error: missing required command line arguments, for help use \"-help\"\n";

// The first check that fails ends the run before anything else is done.
bool argumentsAllowRun(const RunOptions& options) {
  const bool target = options.migrate || options.check || options.verify;
  const bool passwordGiven = !options.masterPassword.empty() || !options.passwordFile.empty();
  if (options.storePath.empty() || (target && (options.server.empty() || !passwordGiven))) {
    std::cout << kMissingArguments << std::flush;
    return false;
  }
  if ((options.check || options.verify) && options.migrate) {
    std::cout << "Argument error: -check and -verify are runs of their own, without -migrate\n"
              << std::flush;
    return false;
  }
  if (options.check && options.verify) {
    std::cout << "Argument error: -check and -verify cannot be combined\n" << std::flush;
    return false;
  }
  if (!options.reportPath.empty() && !target) {
    std::cout << "Argument error: -report needs -migrate, -check or -verify\n" << std::flush;
    return false;
  }
  if (!options.userMask.empty() && options.domainMask.empty()) {
    std::cout << "Argument error: unknown domain for user <" << options.userMask << ">\n"
              << std::flush;
    return false;
  }
  if (options.retries < 0) {
    std::cout << "Argument error: -retry takes a number from 0 to " << RunOptions::kMaxRetries
              << "\n"
              << std::flush;
    return false;
  }
  if (options.window < 0) {
    std::cout << "Argument error: -window takes a number from 1 to " << RunOptions::kMaxWindow
              << "\n"
              << std::flush;
    return false;
  }
  if (options.jobs < 0) {
    std::cout << "Argument error: -jobs takes a number from 1 to " << RunOptions::kMaxJobs << "\n"
              << std::flush;
    return false;
  }
  if (options.shards < 0) {
    std::cout << "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n" << std::flush;
    return false;
  }
  if (!options.masterPassword.empty() && !options.passwordFile.empty()) {
    std::cout << "Argument error: -password and -passwordFile cannot be combined\n" << std::flush;
    return false;
  }
  if (options.tls && options.starttls) {
    std::cout << "Argument error: -tls and -starttls cannot be combined\n" << std::flush;
    return false;
  }
  if ((!options.caFile.empty() || options.insecure) && !options.tls && !options.starttls) {
    std::cout << "Argument error: -caFile and -insecure need -tls or -starttls\n" << std::flush;
    return false;
  }
  if (!options.caFile.empty() && options.insecure) {
    std::cout << "Argument error: -caFile and -insecure cannot be combined\n" << std::flush;
    return false;
  }
  if (options.targetType.empty()) {
    std::cout << "Argument error: -targetType takes torvane or imap\n" << std::flush;
    return false;
  }
  if (options.nonMailFolders.empty()) {
    std::cout << "Argument error: -nonMailFolders takes skip or create\n" << std::flush;
    return false;
  }
  const bool standard = options.targetType == "imap";
  if (!standard && (!options.admin.empty() || !options.loginForm.empty() ||
                    options.nonMailFolders != "skip" || !options.folderMapPath.empty())) {
    std::cout << "Argument error: -admin, -loginForm, -nonMailFolders and -folderMap need "
                 "-targetType imap\n"
              << std::flush;
    return false;
  }
  if (standard && target && options.admin.empty() &&
      (options.loginForm.empty() || options.loginForm.find("ADMIN") != std::string::npos)) {
    std::cout << "Argument error: -targetType imap needs -admin, the administrator who logs in "
                 "for each account\n"
              << std::flush;
    return false;
  }
  if (options.timeoutSeconds == 0) {
    std::cout << "Argument error: -timeout takes a number of seconds from 1 to "
              << RunOptions::kMaxTimeoutSeconds << "\n"
              << std::flush;
    return false;
  }
  return true;
}

void printBanner(Reporter& reporter, const MigrationSettings& settings) {
  reporter.print("\n");
  reporter.print(versionLine());
  reporter.print("\n");
  reporter.print("\n");
  reporter.print("Quillon path: \"");
  reporter.print(settings.storePath);
  reporter.print("\"\n");
}

// Lines about how safely the run reaches the target, said once at its start.
struct SafetyWarnings {
  std::vector<std::string> printed;  // on the console and in the log
  std::vector<std::string> logged;   // in the log only
};

void printRunHeader(Reporter& reporter, const MigrationSettings& settings,
                    const ConnectionSettings& connection, std::time_t start,
                    bool primaryDomainGiven, const SafetyWarnings& warnings) {
  reporter.print("Torvane hostname: ");
  reporter.print(connection.host);
  reporter.print(":");
  reporter.print(static_cast<std::int64_t>(connection.port));
  reporter.print("\n");
  reporter.print("Start time: ");
  reporter.print(ctimeText(start));
  reporter.print("Info: domains to migrate (mask): ");
  reporter.print(settings.domainMask);
  reporter.print("\n");
  reporter.print("Info: users to migrate (mask): ");
  reporter.print(settings.userMask);
  reporter.print("\n");
  reporter.print(primaryDomainGiven
                     ? "Info: primary domain: "
                     : "Info: primary domain is not specified, the hostname is used instead: ");
  reporter.print(settings.primaryDomain);
  reporter.print("\n");
  for (const std::string& line : warnings.printed) {
    reporter.print(line);
  }
  for (const std::string& line : warnings.logged) {
    reporter.log(line);
  }
}

// The master password from the first line of `options.passwordFile`, into
// `options`; an argument error's text when the file gives none.
std::string readPasswordFile(RunOptions& options, SafetyWarnings& warnings) {
  const std::string& path = options.passwordFile;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    return "Argument error: cannot read password file " + path + "\n";
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  if (line.empty()) {
    return "Argument error: password file " + path + " has no password on its first line\n";
  }
  options.masterPassword = line;
  std::error_code error;
  const auto permissions = std::filesystem::status(path, error).permissions();
  using std::filesystem::perms;
  if (!error && (permissions & (perms::group_read | perms::others_read)) != perms::none) {
    warnings.printed.push_back("Warning: password file " + path +
                               " can be read by other users: chmod 600 " + path + "\n");
  }
  return std::string();
}

// The run's one TLS context, when the connection asks for TLS; an error's
// text when it cannot be made, `*exitStatus` then saying whether it is an
// argument error (a CA file that cannot be used).
std::string makeTlsContext(const RunOptions& options, ConnectionSettings& connection,
                           SafetyWarnings& warnings, int* exitStatus) {
  const std::string server = connection.host + ":" + std::to_string(connection.port);
  if (connection.tls == TlsMode::None) {
    if (options.migrate && !ostrel::utils::isLoopbackHost(connection.host)) {
      warnings.printed.push_back("Warning: account passwords travel unencrypted to " + server +
                                 ", use -tls or -starttls\n");
    }
    return std::string();
  }
  ostrel::ssl::TlsPolicy policy;
  policy.verify = !options.insecure;
  policy.caFile = options.caFile;
  std::string error;
  connection.tlsContext = ostrel::ssl::ClientTlsContext::create(policy, &error);
  if (!connection.tlsContext) {
    *exitStatus = options.caFile.empty() ? kExitFailed : kExitArgumentError;
    return options.caFile.empty()
               ? "Error: TLS cannot be set up: " + error + "\n"
               : "Argument error: cannot use CA file " + options.caFile + ": " + error + "\n";
  }
  if (options.insecure) {
    warnings.logged.push_back("Warning: -insecure: the certificate of " + server +
                              " is not checked, anyone on the way may read the passwords\n");
  }
  return std::string();
}

void printRunFooter(Reporter& reporter, const MigrationSettings& settings, const Migrator& migrator,
                    bool withReport, std::time_t start) {
  const std::time_t end = std::time(nullptr);
  const bool succeeded = migrator.succeeded();
  reporter.print("\n");
  reporter.print("Finish time: ");
  reporter.print(ctimeText(end));
  reporter.print("\n");
  if (settings.check) {
    reporter.print(succeeded ? "Result: check passed\n" : "Result: check found problems\n");
    reporter.print(migrator.checkSummary());
  } else if (settings.verify) {
    reporter.print(succeeded ? "Result: verification successful\n"
                             : "Result: verification failed\n");
    reporter.print(verificationSummaryText(migrator.totals()));
  } else {
    reporter.print("Result: migration ");
    reporter.print(succeeded ? "successful\n" : "failed\n");
    if (withReport) {
      reporter.print(summaryText(migrator.totals(), start, end));
    }
  }
}

// Runs the walk, reporting a failure that escapes it: a target failure on the
// console and in the log, a store failure (whose details the engine has
// logged) on the console only.
void runWalk(Migrator& migrator, Reporter& reporter, const MigrationSettings& settings) {
  try {
    migrator.migrateAll();
  } catch (const QLNetworkException& error) {
    migrator.markFailed();
    reporter.print("\nError: ");
    reporter.print(error.what());
  } catch (const QLInterruptedException& error) {
    migrator.markFailed();
    reporter.print("\nInfo: ");
    reporter.print(error.what());
    reporter.print(settings.journalPath.empty()
                       ? ": without -journal a new run cannot tell what was sent\n"
                       : ": run the same command again, with the same -journal, to resume\n");
  } catch (const QLException& error) {
    migrator.markFailed();
    reporter.console("\nError: ");
    reporter.console(error.what());
    reporter.console("\n");
  } catch (const std::exception& error) {
    // Unexpected, but the passwords set so far are kept.
    migrator.markFailed();
    reporter.print("\nError: ");
    reporter.print(error.what());
  }
}

// The run proper, once the options allow it and the log is open; true when
// it succeeded.
bool runMigrator(const MigrationSettings& settings, const ConnectionSettings& connection,
                 Reporter& reporter, const std::string& stem, std::time_t start,
                 bool primaryDomainGiven, const SafetyWarnings& warnings, Journal* journal,
                 RunReport* report) {
  Migrator migrator(settings, connection, reporter);
  if (report != nullptr) {
    migrator.useReport(*report);
  }
  // Without a journal file, a retried account still needs to know what its
  // lost connection had sent: the same records, kept in memory.
  Journal memoryOnly;
  if (journal != nullptr) {
    migrator.useJournal(*journal);
  } else if (settings.migrate && settings.retries > 0) {
    migrator.useJournal(memoryOnly);
  }
  // Each account's line is on disk before its folders are copied. An audit
  // sets no password, so it leaves no password file behind.
  if (!settings.check && !settings.verify) {
    migrator.writePasswordsTo(stem + ".pass");
  }
  printBanner(reporter, settings);
  if (!settings.migrate && !settings.check && !settings.verify) {
    runWalk(migrator, reporter, settings);
    reporter.print("\n");
  } else {
    printRunHeader(reporter, settings, connection, start, primaryDomainGiven, warnings);
    // A stop signal now ends the run between two messages, with its report.
    ostrel::utils::watchStopSignals();
    runWalk(migrator, reporter, settings);
    if (report != nullptr && !report->close()) {
      reporter.print("Error: " + report->failureText() + "\n");
      migrator.markFailed();
    }
    printRunFooter(reporter, settings, migrator, report != nullptr, start);
    ostrel::utils::socketsCleanup();
  }
  migrator.closePasswordFile();
  if (journal != nullptr) {
    journal->close();
  }
  return migrator.succeeded();
}

// The journal's first line: the store as an absolute path, so that the same
// store given another way is still the same store.
std::string runHeader(const MigrationSettings& settings, const ConnectionSettings& connection) {
  std::error_code error;
  std::filesystem::path store = std::filesystem::weakly_canonical(settings.storePath, error);
  return journalHeader(error ? settings.storePath : store.string(), connection.host,
                       connection.port);
}

}  // namespace

std::string startTimestamp(std::time_t when) {
  std::tm local{};
  if (::localtime_r(&when, &local) == nullptr) {
    return "0000-00-00_00-00-00";
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

int runLodemig(int argc, const char* const* argv) {
  RunOptions options = parseCommandLine(argc, argv);
  if (options.help || argc < 2) {
    printUsage(std::cout);
    return kExitSucceeded;
  }
  if (options.version) {
    std::cout << versionLine() << "\n" << std::flush;
    return kExitSucceeded;
  }
  if (!argumentsAllowRun(options)) {
    return kExitArgumentError;
  }
  const bool target = options.migrate || options.check || options.verify;
  SafetyWarnings warnings;
  if (target && !options.passwordFile.empty()) {
    const std::string refusal = readPasswordFile(options, warnings);
    if (!refusal.empty()) {
      std::cout << refusal << std::flush;
      return kExitArgumentError;
    }
  }
  const bool primaryDomainGiven = !options.primaryDomain.empty();
  MigrationSettings settings = migrationSettingsFrom(options);
  ConnectionSettings connection = connectionSettingsFrom(options);
  if (!settings.folderMapPath.empty()) {
    std::string error;
    if (!readFolderMap(settings.folderMapPath, settings.folderMap, error)) {
      std::cout << "Argument error: " << error << "\n" << std::flush;
      return kExitArgumentError;
    }
  }
  if (target) {
    int exitStatus = kExitFailed;
    const std::string refusal = makeTlsContext(options, connection, warnings, &exitStatus);
    if (!refusal.empty()) {
      std::cout << refusal << std::flush;
      return exitStatus;
    }
  }

  // A journal that cannot be used is refused before anything is sent.
  Journal journal;
  const bool journaled = settings.migrate && !settings.journalPath.empty();
  if (journaled) {
    const std::string refusal = journal.open(settings.journalPath, runHeader(settings, connection));
    if (!refusal.empty()) {
      std::cout << refusal << std::flush;
      return kExitArgumentError;
    }
  }

  // So is a report that cannot be written.
  RunReport report;
  if (!settings.reportPath.empty() && !report.open(settings.reportPath)) {
    std::cout << "Argument error: cannot write report " << settings.reportPath << "\n"
              << std::flush;
    return kExitArgumentError;
  }

  if (ostrel::utils::socketsStartup() != 0) {
    std::cout << "Error: socket initialization failed" << std::flush;
    return kExitFailed;
  }

  const std::time_t start = std::time(nullptr);
  // Shards started together in one directory must not share their files.
  const std::string stem = "./lodemig_" + startTimestamp(start) +
                           (settings.shards > 0 ? "_shard-" + std::to_string(settings.shard) +
                                                      "-of-" + std::to_string(settings.shards)
                                                : std::string());
  ostrel::utils::OutputFile logFile;
  std::ostream* log = &logFile;
  if (!logFile.open(stem + ".log", 0600)) {
    // Every message still reaches the terminal, once.
    log = &std::cerr;
    settings.quiet = true;
  }
  Reporter reporter(*log, std::cout, std::cerr, settings.quiet);
  if (log == &logFile) {
    reporter.watchLogFile(logFile);
  }
  bool succeeded =
      runMigrator(settings, connection, reporter, stem, start, primaryDomainGiven, warnings,
                  journaled ? &journal : nullptr, settings.reportPath.empty() ? nullptr : &report);
  const bool logWasGood = logFile.good();
  if (logFile.isOpen() && !logFile.close() && logWasGood) {
    // Only the last bytes could not be written; earlier failures were said.
    std::cerr << "Error: " << logFile.failureText() << "\n" << std::flush;
    succeeded = false;
  }
  if (ostrel::utils::stopSignal() != 0) {
    // The shell's convention for a process ended by a signal.
    return 128 + ostrel::utils::stopSignal();
  }
  return succeeded ? kExitSucceeded : kExitFailed;
}

}  // namespace lodemig
