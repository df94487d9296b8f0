#include "driver/run.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dav/dav_client.h"
#include "driver/argument_checks.h"
#include "driver/merge_reports.h"
#include "driver/run_options.h"
#include "driver/run_setup.h"
#include "driver/run_text.h"
#include "migration/event_log.h"
#include "migration/failed_accounts.h"
#include "migration/folder_roles.h"
#include "migration/html_report_collector.h"
#include "migration/journal.h"
#include "migration/metrics_file.h"
#include "migration/migrator.h"
#include "migration/reporter.h"
#include "migration/run_metrics.h"
#include "migration/run_report.h"
#include "migration/run_watcher.h"
#include "migration/target_names.h"
#include "utils/output_file.h"
#include "utils/ql_exception.h"
#include "utils/sockets.h"
#include "utils/stop_request.h"

namespace lodemig {
namespace {

// What the run proper needs, gathered once the options allow a run. The
// Migrator keeps references to the settings, the connection, the journal and
// the report, so they live here for the whole run.
struct RunContext {
  MigrationSettings settings;
  ConnectionSettings connection;
  SafetyWarnings warnings;
  bool primaryDomainGiven = false;
  Journal journal;
  bool journaled = false;  // -journal with -migrate: `journal` is open
  RunReport report;        // open when settings.reportPath is not empty
  std::time_t start = 0;
  std::string stem;            // the log and password files' path without extension
  bool sourceChanged = false;  // folders were left pending for the next pass
  // Those who follow the run from outside its log; fixed before it starts.
  RunWatchers watchers;
  EventLog events;  // open when eventsPath is not empty
  std::string eventsPath;
  std::vector<std::pair<std::string, std::string>> givenOptions;  // for the run's start
  // How the run ended, for its watchers: the result line's verdict and the
  // totals, once the footer is written.
  std::string result;
  RunTotals totals;
  // -metricsFile: the counts, and the file and thread that write them. The
  // file goes first, so that its thread never outlives the counts.
  std::optional<RunMetrics> metrics;
  MetricsFile metricsFile;
  std::string htmlReportPath;  // -htmlReport; empty: none
  std::unique_ptr<HtmlReportCollector> htmlReport;
  std::string failedFilePath;  // -failedFile; empty: none
  FailedAccounts failedAccounts;

  bool reachesTarget() const { return settings.migrate || settings.check || settings.verify; }
  Journal* journalOrNull() { return journaled ? &journal : nullptr; }
  RunReport* reportOrNull() { return settings.reportPath.empty() ? nullptr : &report; }
};

// The run stops before it starts: `text` on the console, then `exitStatus`.
int refuse(const std::string& text, int exitStatus) {
  std::cout << text << std::flush;
  return exitStatus;
}

// The options become the run's settings, with what their files add: the
// master password, the folder map, the TLS context. The exit status when the
// run must stop here.
std::optional<int> settleOptions(RunOptions& options, RunContext& context) {
  const std::string error = argumentError(options);
  if (!error.empty()) {
    return refuse(error, kExitArgumentError);
  }
  const bool target = options.migrate || options.check || options.verify;
  if (target && !options.passwordFile.empty()) {
    const PasswordFileContent content = readPasswordFile(options.passwordFile);
    if (!content.refusal.empty()) {
      return refuse(content.refusal, kExitArgumentError);
    }
    options.masterPassword = content.password;
    if (!content.warning.empty()) {
      context.warnings.printed.push_back(content.warning);
    }
  }
  context.primaryDomainGiven = !options.primaryDomain.empty();
  context.eventsPath = options.eventsPath;
  context.htmlReportPath = options.htmlReportPath;
  context.settings = migrationSettingsFrom(options);
  context.connection = connectionSettingsFrom(options);
  MigrationSettings& settings = context.settings;
  std::string mapError;
  if (!settings.folderMapPath.empty() &&
      !readFolderMap(settings.folderMapPath, settings.folderMap, mapError)) {
    return refuse("Argument error: " + mapError + "\n", kExitArgumentError);
  }
  if (!settings.usersFilePath.empty() && !settings.users.read(settings.usersFilePath, mapError)) {
    return refuse("Argument error: " + mapError + "\n", kExitArgumentError);
  }
  context.failedFilePath = options.failedFile;
  if (target) {
    const TlsRefusal refusal = setUpTls(options, context.connection, context.warnings);
    if (!refusal.text.empty()) {
      return refuse(refusal.text, refusal.exitStatus);
    }
  }
  if (!settings.dav.url.empty()) {
    // Before any job's thread starts a session.
    initDavClients();
  }
  return std::nullopt;
}

// The events file, opened like the report and for the same reason before
// anything is sent; it then follows the run.
std::optional<int> openEventsFile(RunContext& context) {
  if (context.eventsPath.empty()) {
    return std::nullopt;
  }
  if (!context.events.open(context.eventsPath)) {
    return refuse("Argument error: cannot write events file " + context.eventsPath + ": " +
                      context.events.failureReason() + "\n",
                  kExitArgumentError);
  }
  context.watchers.add(context.events);
  return std::nullopt;
}

// A journal, a report or an events file that cannot be used is refused
// before anything is sent. The exit status when the run must stop here.
std::optional<int> openRunFiles(RunContext& context) {
  const MigrationSettings& settings = context.settings;
  context.journaled = settings.migrate && !settings.journalPath.empty();
  if (settings.check && settings.delta) {
    // The forecast of the next delta pass reads the journal, writing nothing.
    const std::string refusal =
        context.journal.openToRead(settings.journalPath, journalStoreFor(settings));
    if (!refusal.empty()) {
      return refuse(refusal, kExitArgumentError);
    }
    context.journaled = true;
  } else if (context.journaled) {
    const std::string refusal =
        context.journal.open(settings.journalPath, journalStoreFor(settings),
                             journalTargetFor(context.connection), settings.retarget);
    if (!refusal.empty()) {
      return refuse(refusal, kExitArgumentError);
    }
  }
  if (!settings.reportPath.empty() && !context.report.open(settings.reportPath)) {
    return refuse("Argument error: cannot write report " + settings.reportPath + ": " +
                      context.report.failureReason() + "\n",
                  kExitArgumentError);
  }
  // The page is written at the end; a path that cannot take it is refused
  // before anything is sent.
  if (!context.htmlReportPath.empty()) {
    const std::string failure = rewriteFile(context.htmlReportPath, std::string());
    if (!failure.empty()) {
      return refuse("Argument error: cannot write HTML report " + context.htmlReportPath + ": " +
                        failure + "\n",
                    kExitArgumentError);
    }
  }
  if (!context.failedFilePath.empty() && !context.failedAccounts.open(context.failedFilePath)) {
    return refuse("Argument error: cannot write failed accounts file " + context.failedFilePath +
                      ": " + context.failedAccounts.failureReason() + "\n",
                  kExitArgumentError);
  }
  return openEventsFile(context);
}

// Writes the -htmlReport page from what the run's collector gathered, with
// the result line of `footer`; false when the page cannot be written.
bool writeHtmlReport(RunContext& context, const RunTotals& totals, const std::string& footer,
                     Reporter& reporter) {
  if (!context.htmlReport) {
    return true;
  }
  HtmlReportContent content = context.htmlReport->finish(secondsNow());
  content.title = "lodemig report of " + context.settings.storePath;
  const std::size_t result = footer.find("Result: ");
  content.result = result == std::string::npos
                       ? std::string()
                       : footer.substr(result, footer.find('\n', result) - result);
  content.totals = totals;
  const std::string failure = rewriteFile(context.htmlReportPath, htmlReportPage(content));
  if (!failure.empty()) {
    reporter.print("Error: cannot write HTML report " + context.htmlReportPath + ": " + failure +
                   "\n");
  }
  return failure.empty();
}

// Runs the walk, reporting a failure that escapes it: a target failure on the
// console and in the log, a store failure (whose details the engine has
// logged) on the console only.
void runWalk(Migrator& migrator, Reporter& reporter, const MigrationSettings& settings) {
  try {
    migrator.migrateAll();
  } catch (const QLNetworkException& error) {
    if (error.mayPass()) {
      migrator.markFailedMayPass();
    } else {
      migrator.markFailed();
    }
    reporter.print("\nError: ");
    reporter.print(error.what());
    if (!error.cause().empty()) {
      reporter.print("\n" + causeLine(error.cause()));
    }
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

// Gives the Migrator the run's journal, report and password file.
// `memoryOnly` must outlive the Migrator.
void attachRunFiles(Migrator& migrator, RunContext& context, Journal& memoryOnly) {
  const MigrationSettings& settings = context.settings;
  if (!context.htmlReportPath.empty()) {
    context.htmlReport = std::make_unique<HtmlReportCollector>(static_cast<double>(context.start));
    context.watchers.add(*context.htmlReport);
  }
  // Without a file the report still counts, for the run's summary.
  migrator.useReport(context.report);
  // Without a journal file, a retried account still needs to know what its
  // lost connection had sent: the same records, kept in memory.
  if (Journal* journal = context.journalOrNull()) {
    migrator.useJournal(*journal);
  } else if (settings.migrate && settings.retries > 0) {
    migrator.useJournal(memoryOnly);
  }
  // Each account's line is on disk before its folders are copied. An audit
  // sets no password, so it leaves no password file behind.
  if (!settings.check && !settings.verify) {
    migrator.writePasswordsTo(context.stem + ".pass");
  }
  if (context.failedAccounts.isOpen()) {
    context.watchers.add(context.failedAccounts);
  }
  // Nobody following, the run does not even count its plan.
  if (!context.watchers.empty()) {
    migrator.useWatcher(context.watchers);
  }
}

// The failed-accounts file takes the accounts the run did not reach, and is
// closed; false, said on the console and in the log, when it failed.
bool closeFailedFile(Migrator& migrator, Reporter& reporter, RunContext& context) {
  FailedAccounts& failed = context.failedAccounts;
  if (!failed.isOpen()) {
    return true;
  }
  failed.addUnreached(migrator.selectedAccounts());
  if (failed.close()) {
    return true;
  }
  reporter.print("Error: " + failed.failureText() + "\n");
  migrator.markFailed();
  return false;
}

// What the run is, for its watchers' first event.
RunStartEvent runStartEvent(const RunContext& context) {
  const MigrationSettings& settings = context.settings;
  RunStartEvent event;
  event.time = context.start;
  event.mode = settings.migrate  ? "migrate"
               : settings.check  ? "check"
               : settings.verify ? "verify"
                                 : "print";
  event.jobs = settings.jobs;
  event.shard = settings.shard;
  event.shards = settings.shards;
  event.server = journalTargetFor(context.connection);
  event.store = settings.storePath;
  event.version = versionString();
  event.options = context.givenOptions;
  return event;
}

// An events file that could not be written fails the run, as the report
// does: said at once, and named in the footer. Its "cannot write file" text,
// or empty.
std::string eventsFailure(Migrator& migrator, Reporter& reporter, const RunContext& context) {
  if (!context.events.failed()) {
    return std::string();
  }
  reporter.print("Error: " + context.events.failureText() + "\n");
  migrator.markFailed();
  return context.events.failureText();
}

// A migration, check or verification: header, walk, footer.
void runAgainstTarget(Migrator& migrator, Reporter& reporter, RunContext& context) {
  const MigrationSettings& settings = context.settings;
  reporter.print(runHeaderText(settings, context.connection, context.start,
                               context.primaryDomainGiven, context.warnings.printed));
  for (const std::string& line : context.warnings.logged) {
    reporter.log(line);
  }
  if (context.journaled && !context.journal.importNote().empty()) {
    reporter.log(context.journal.importNote());
  }
  context.watchers.runStarted(runStartEvent(context));
  // A stop signal now ends the run between two messages, with its report.
  ostrel::utils::watchStopSignals();
  runWalk(migrator, reporter, settings);
  RunReport* report = context.reportOrNull();
  const bool reportWritten = report == nullptr || report->close();
  if (!reportWritten) {
    reporter.print("Error: " + report->failureText() + "\n");
    migrator.markFailed();
  }
  const std::string eventsFailed = eventsFailure(migrator, reporter, context);
  const bool failedFileWritten = closeFailedFile(migrator, reporter, context);
  RunOutcome outcome;
  outcome.end = std::time(nullptr);
  outcome.succeeded = migrator.succeeded();
  outcome.start = context.start;
  outcome.server = targetServerWord(context.connection);
  outcome.totals = migrator.totals();
  context.sourceChanged = outcome.totals.pending > 0;
  outcome.checkSummary = settings.check ? migrator.checkSummary() : std::string();
  // The figures above may all be fine: the files that failed the run say why.
  if (reporter.logFailed()) {
    outcome.failedFiles.push_back(reporter.logFailureText());
  }
  if (migrator.passwords().broken()) {
    outcome.failedFiles.push_back(migrator.passwords().failureText());
  }
  if (!reportWritten) {
    outcome.failedFiles.push_back(report->failureText());
  }
  if (!eventsFailed.empty()) {
    outcome.failedFiles.push_back(eventsFailed);
  }
  if (!failedFileWritten) {
    outcome.failedFiles.push_back(context.failedAccounts.failureText());
  }
  context.result = resultText(settings, outcome.succeeded);
  context.totals = outcome.totals;
  const std::string footer = runFooterText(settings, outcome);
  reporter.print(footer);
  if (!writeHtmlReport(context, outcome.totals, footer, reporter)) {
    migrator.markFailed();
  }
  ostrel::utils::socketsCleanup();
}

// The run proper, once the options allow it and the log is open; how it
// ended, but for the stop signal.
RunEnding runMigrator(RunContext& context, Reporter& reporter) {
  const MigrationSettings& settings = context.settings;
  Migrator migrator(settings, context.connection, reporter);
  Journal memoryOnly;
  attachRunFiles(migrator, context, memoryOnly);
  reporter.print(bannerText(settings.storePath));
  if (context.reachesTarget()) {
    runAgainstTarget(migrator, reporter, context);
  } else {
    runWalk(migrator, reporter, settings);
    reporter.print("\n");
  }
  migrator.closePasswordFile();
  if (Journal* journal = context.journalOrNull()) {
    journal->close();
  }
  RunEnding ending;
  ending.needsFix = migrator.needsFix();
  ending.mayPass = !migrator.succeeded();
  ending.pending = context.sourceChanged;
  return ending;
}

// Tells the run's watchers how it ended, with `exitStatus`, the status the
// process returns, and closes the events file. The exit status, failed when
// the events file could not take its last lines.
int endRun(RunContext& context, int exitStatus) {
  if (!context.reachesTarget()) {
    return exitStatus;  // nothing was started to be ended
  }
  RunEndEvent event;
  event.time = std::time(nullptr);
  event.result = context.result;
  event.exitStatus = exitStatus;
  event.totals = context.totals;
  context.watchers.runEnded(event);
  if (!context.eventsPath.empty() && !context.events.close() && exitStatus == kExitSucceeded) {
    // The footer is written: only standard error can still say it.
    std::cerr << "Error: " << context.events.failureText() << "\n" << std::flush;
    return kExitFailed;
  }
  return exitStatus;
}

// Opens the log, runs, and closes the log again; the run's exit status.
int runWithLog(RunContext& context) {
  ostrel::utils::OutputFile logFile;
  std::ostream* log = &logFile;
  if (!logFile.open(context.stem + ".log")) {
    // Every message still reaches the terminal, once.
    std::cerr << "Warning: " << logFile.failureText() << ", the log goes to standard error\n"
              << std::flush;
    log = &std::cerr;
    context.settings.quiet = true;
  }
  Reporter reporter(*log, std::cout, std::cerr, context.settings.quiet);
  if (log == &logFile) {
    reporter.watchLogFile(logFile);
  }
  RunEnding ending = runMigrator(context, reporter);
  const bool logWasGood = logFile.good();
  if (logFile.isOpen() && !logFile.close() && logWasGood) {
    // Only the last bytes could not be written; earlier failures were said.
    std::cerr << "Error: " << logFile.failureText() << "\n" << std::flush;
    ending.needsFix = true;
  }
  ending.stopSignal = ostrel::utils::stopSignal();
  return exitStatusFor(ending);
}

// The run's mode as its metrics name it.
const char* modeWord(const MigrationSettings& settings) {
  return settings.migrate  ? "migrate"
         : settings.check  ? "check"
         : settings.verify ? "verify"
                           : "print";
}

// Writes the first version of the -metricsFile and keeps it up to date from
// now on. The exit status when the file cannot be used: nothing has been
// sent yet.
std::optional<int> startMetrics(const RunOptions& options, RunContext& context) {
  if (options.metricsPath.empty()) {
    return std::nullopt;
  }
  const MigrationSettings& settings = context.settings;
  MetricsLabels labels;
  if (settings.shards > 0) {
    labels.shard = std::to_string(settings.shard) + "/" + std::to_string(settings.shards);
  }
  labels.mode = modeWord(settings);
  labels.version = versionString();
  context.metrics.emplace(labels, static_cast<double>(context.start), RunMetrics::Clock::now());
  const std::string refusal = context.metricsFile.open(
      options.metricsPath, *context.metrics, MetricsFile::periodFromEnvironment(), std::cerr);
  if (!refusal.empty()) {
    return refuse(
        "Argument error: cannot write metrics file " + options.metricsPath + ": " + refusal + "\n",
        kExitArgumentError);
  }
  context.watchers.add(*context.metrics);
  return std::nullopt;
}

// The -metricsFile's last version, with the run's exit status. A run that
// cannot write it fails.
int endMetrics(RunContext& context, int exitStatus) {
  if (context.metricsFile.finish(exitStatus)) {
    return exitStatus;
  }
  std::cerr << "Error: " << context.metricsFile.failureText() << "\n" << std::flush;
  return exitStatus == kExitSucceeded || exitStatus == kExitRetryable ? kExitFailed : exitStatus;
}

}  // namespace

int exitStatusFor(const RunEnding& ending) {
  if (ending.stopSignal != 0) {
    // The shell's convention for a process ended by a signal.
    return 128 + ending.stopSignal;
  }
  if (ending.needsFix) {
    return kExitFailed;
  }
  return ending.mayPass || ending.pending ? kExitRetryable : kExitSucceeded;
}

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
  if (asksForMerge(argc, argv)) {
    return runMergeReports(argc, argv);
  }
  RunContext context;
  if (std::optional<int> stop = settleOptions(options, context)) {
    return *stop;
  }
  if (std::optional<int> stop = openRunFiles(context)) {
    return *stop;
  }
  if (ostrel::utils::socketsStartup() != 0) {
    return refuse("Error: socket initialization failed", kExitFailed);
  }
  context.start = std::time(nullptr);
  context.stem = runFileStem(context.settings, context.start);
  context.givenOptions = givenOptions(argc, argv);
  if (std::optional<int> stop = startMetrics(options, context)) {
    return *stop;
  }
  return endRun(context, endMetrics(context, runWithLog(context)));
}

}  // namespace lodemig
