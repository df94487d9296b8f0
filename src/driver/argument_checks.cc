#include "driver/argument_checks.h"

#include "driver/dav_options.h"
#include "driver/rate_options.h"
#include "driver/work_list_options.h"

namespace lodemig {
namespace {

std::string refusal(const std::string& reason) {
  return "Argument error: " + reason + "\n";
}

bool reachesTarget(const RunOptions& options) {
  return options.migrate || options.check || options.verify;
}

// What kind of run the command line asks for, and what it must then name.
std::string runModeError(const RunOptions& options) {
  const bool target = reachesTarget(options);
  const bool passwordGiven = !options.masterPassword.empty() || !options.passwordFile.empty();
  std::string missing;
  for (const auto& [absent, name] : {std::pair{options.storePath.empty(), "-path"},
                                     {target && options.server.empty(), "-server"},
                                     {target && !passwordGiven, "-password"}}) {
    if (absent) {
      missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!missing.empty()) {
    // The second line says which, so that an empty variable that swallowed
    // an option is found at once.
    return refusal("missing required command line arguments, for help use \"-help\"") +
           refusal("missing " + missing);
  }
  // A mistyped option would otherwise be skipped without a word.
  if (!options.unknownArgument.empty()) {
    return refusal("unknown option <" + options.unknownArgument + ">, for help use \"-help\"");
  }
  if ((options.check || options.verify) && options.migrate) {
    return refusal("-check and -verify are runs of their own, without -migrate");
  }
  if (options.check && options.verify) {
    return refusal("-check and -verify cannot be combined");
  }
  if (!options.reportPath.empty() && !target) {
    return refusal("-report needs -migrate, -check or -verify");
  }
  if (!options.eventsPath.empty() && !target) {
    return refusal("-events needs -migrate, -check or -verify");
  }
  if (!options.htmlReportPath.empty() && !target) {
    return refusal("-htmlReport needs -migrate, -check or -verify (or -mergeReports)");
  }
  if (options.retarget && (!options.migrate || options.journalPath.empty())) {
    return refusal("-retarget needs -migrate and -journal");
  }
  if (options.delta && (options.journalPath.empty() || !(options.migrate || options.check))) {
    return refusal("-delta needs -journal, with -migrate or -check");
  }
  if (options.expunge && !options.delta) {
    return refusal("-expunge needs -delta");
  }
  if (options.live && !options.migrate) {
    return refusal("-live needs -migrate");
  }
  if (!options.userMask.empty() && options.domainMask.empty()) {
    return refusal("unknown domain for user <" + options.userMask + ">");
  }
  return std::string();
}

// The parser marks a number out of its range with -1.
std::string numberError(const RunOptions& options) {
  if (options.portRefused) {
    return refusal("-port takes a number from 1 to 65535");
  }
  if (options.serverPortClash) {
    return refusal("-server names a port and -port another: give it once");
  }
  if (options.retries < 0) {
    return refusal("-retry takes a number from 0 to " + std::to_string(RunOptions::kMaxRetries));
  }
  if (options.window < 0) {
    return refusal("-window takes a number from 1 to " + std::to_string(RunOptions::kMaxWindow));
  }
  if (options.multiAppend < 0) {
    return refusal("-multiAppend takes a number from 1 to " +
                   std::to_string(RunOptions::kMaxMultiAppend));
  }
  if (options.jobs < 0) {
    return refusal("-jobs takes a number from 1 to " + std::to_string(RunOptions::kMaxJobs));
  }
  if (options.shards < 0) {
    return refusal("-shard takes K/N, whole numbers with 1 <= K <= N");
  }
  return std::string();
}

// How the master password is given and how the connection is protected.
std::string connectionError(const RunOptions& options) {
  if (!options.masterPassword.empty() && !options.passwordFile.empty()) {
    return refusal("-password and -passwordFile cannot be combined");
  }
  if (options.tls && options.starttls) {
    return refusal("-tls and -starttls cannot be combined");
  }
  if ((!options.caFile.empty() || options.insecure) && !options.tls && !options.starttls &&
      !davOverTls(options)) {
    return refusal("-caFile and -insecure need -tls or -starttls");
  }
  if (!options.caFile.empty() && options.insecure) {
    return refusal("-caFile and -insecure cannot be combined");
  }
  return std::string();
}

// The kind of target, and the options only a standard IMAP server takes.
std::string targetTypeError(const RunOptions& options) {
  if (options.targetType.empty()) {
    return refusal("-targetType takes torvane or imap");
  }
  if (options.unlistedFolders.empty()) {
    return refusal("-unlistedFolders takes skip or migrate");
  }
  if (options.nonMailFolders.empty()) {
    return refusal("-nonMailFolders takes skip or create");
  }
  const bool standard = options.targetType == "imap";
  if (!standard && (!options.admin.empty() || !options.loginForm.empty() ||
                    options.nonMailFolders != "skip" || !options.folderMapPath.empty())) {
    return refusal("-admin, -loginForm, -nonMailFolders and -folderMap need -targetType imap");
  }
  // A login form without ADMIN in it has no administrator to put there.
  if (standard && reachesTarget(options) && options.admin.empty() &&
      (options.loginForm.empty() || options.loginForm.find("ADMIN") != std::string::npos)) {
    return refusal("-targetType imap needs -admin, the administrator who logs in for each account");
  }
  return std::string();
}

}  // namespace

std::string argumentError(const RunOptions& options) {
  for (auto check : {runModeError, numberError, rateError, connectionError, targetTypeError,
                     workListError, davError}) {
    std::string error = check(options);
    if (!error.empty()) {
      return error;
    }
  }
  if (options.timeoutSeconds == 0) {
    return refusal("-timeout takes a number of seconds from 1 to " +
                   std::to_string(RunOptions::kMaxTimeoutSeconds));
  }
  return std::string();
}

}  // namespace lodemig
