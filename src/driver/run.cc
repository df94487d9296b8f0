#include "driver/run.h"

#include <cstdio>
#include <exception>
#include <iostream>

#include "driver/run_options.h"
#include "migration/migrator.h"
#include "utils/output_file.h"
#include "utils/ql_exception.h"
#include "utils/sockets.h"

namespace lodemig {
namespace {

constexpr const char kMissingArguments[] =
    "Argument error: missing required command line arguments, for help use \"-help\"\n";

// The first check that fails ends the run before anything else is done.
bool argumentsAllowRun(const RunOptions& options) {
  if (options.storePath.empty() ||
      (options.migrate && (options.server.empty() || options.masterPassword.empty()))) {
    std::cout << kMissingArguments << std::flush;
    return false;
  }
  if (!options.userMask.empty() && options.domainMask.empty()) {
    std::cout << "Argument error: unknown domain for user <" << options.userMask << ">\n"
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

void printBanner(Migrator& migrator, const RunOptions& options) {
  migrator.print("\n");
  migrator.print("Brenhart Quillon Pro to Torvane migration tool ");
  migrator.print(versionString());
  migrator.print("\n");
  migrator.print("\n");
  migrator.print("Quillon path: \"");
  migrator.print(options.storePath);
  migrator.print("\"\n");
}

void printRunHeader(Migrator& migrator, const RunOptions& options, std::time_t start,
                    const std::string& domainMask, const std::string& userMask,
                    bool primaryDomainGiven) {
  migrator.print("Torvane hostname: ");
  migrator.print(options.server);
  migrator.print(":");
  migrator.print(static_cast<std::int64_t>(options.port));
  migrator.print("\n");
  migrator.print("Start time: ");
  migrator.print(ctimeText(start));
  migrator.print("Info: domains to migrate (mask): ");
  migrator.print(domainMask);
  migrator.print("\n");
  migrator.print("Info: users to migrate (mask): ");
  migrator.print(userMask);
  migrator.print("\n");
  migrator.print(primaryDomainGiven
                     ? "Info: primary domain: "
                     : "Info: primary domain is not specified, the hostname is used instead: ");
  migrator.print(options.primaryDomain);
  migrator.print("\n");
}

// A failure that ends the run: reported on the console and in the log.
void reportRunFailure(Migrator& migrator, const char* text) {
  migrator.markFailed();
  migrator.print("\nError: ");
  migrator.print(text);
}

// A failure shown on the console only, as the engine has logged its details.
void reportConsoleFailure(Migrator& migrator, bool quiet, const char* text) {
  migrator.markFailed();
  if (!quiet) {
    std::cout << "\nError: " << text << "\n" << std::flush;
  }
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
  if (!argumentsAllowRun(options)) {
    return kExitArgumentError;
  }
  bool primaryDomainGiven = true;
  if (options.primaryDomain.empty()) {
    options.primaryDomain = ostrel::utils::localHostName();
    primaryDomainGiven = false;
  }

  if (ostrel::utils::socketsStartup() != 0) {
    std::cout << "Error: socket initialization failed" << std::flush;
    return kExitFailed;
  }

  const std::time_t start = std::time(nullptr);
  const std::string stem = "./lodemig_" + startTimestamp(start);
  ostrel::utils::OutputFile logFile;
  std::ostream* log = &logFile;
  if (!logFile.open(stem + ".log", 0600)) {
    // Every message still reaches the terminal, once.
    log = &std::cerr;
    options.quiet = true;
  }

  // A preset password only ever applies to the accounts a user mask names.
  if (options.userMask.empty()) {
    options.setPassword.clear();
    options.forceSetPassword.clear();
  }

  bool succeeded;
  {
    Migrator migrator(*log);
    if (log == &logFile) {
      migrator.watchLogFile(logFile);
    }
    // Each account's line is on disk before its folders are copied.
    migrator.writePasswordsTo(stem + ".pass");
    migrator.configure(options.storePath, options.server, options.port, options.masterPassword,
                       options.migrate, options.force, options.setPassword,
                       options.forceSetPassword, options.quiet, options.fixCrLf);
    migrator.gateway().setTimeoutSeconds(static_cast<unsigned>(options.timeoutSeconds));
    printBanner(migrator, options);

    const std::string domainMask = options.domainMask.empty() ? "*" : options.domainMask;
    const std::string userMask = options.userMask.empty() ? "*" : options.userMask;
    if (!options.migrate) {
      try {
        migrator.migrateAll(domainMask, userMask, options.primaryDomain);
      } catch (const QLException& error) {
        reportConsoleFailure(migrator, options.quiet, error.what());
      } catch (const std::exception& error) {
        reportRunFailure(migrator, error.what());
      }
      migrator.print("\n");
    } else {
      printRunHeader(migrator, options, start, domainMask, userMask, primaryDomainGiven);
      try {
        migrator.migrateAll(domainMask, userMask, options.primaryDomain);
      } catch (const QLNetworkException& error) {
        reportRunFailure(migrator, error.what());
      } catch (const QLException& error) {
        reportConsoleFailure(migrator, options.quiet, error.what());
      } catch (const std::exception& error) {
        // Unexpected, but the passwords set so far must still be written.
        reportRunFailure(migrator, error.what());
      }
      migrator.print("\n");
      migrator.print("Finish time: ");
      migrator.print(ctimeText(std::time(nullptr)));
      migrator.print("\n");
      migrator.print("Result: migration ");
      migrator.print(migrator.succeeded() ? "successful\n" : "failed\n");
      ostrel::utils::socketsCleanup();
    }
    migrator.closePasswordFile();
    succeeded = migrator.succeeded();
  }
  const bool logWasGood = logFile.good();
  if (logFile.isOpen() && !logFile.close() && logWasGood) {
    // Only the last bytes could not be written; earlier failures were said.
    std::cerr << "Error: " << logFile.failureText() << "\n" << std::flush;
    succeeded = false;
  }
  return succeeded ? kExitSucceeded : kExitFailed;
}

}  // namespace lodemig
