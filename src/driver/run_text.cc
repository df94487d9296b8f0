#include "driver/run_text.h"

#include "driver/run_options.h"
#include "migration/reporter.h"

namespace lodemig {

std::string bannerText(const std::string& storePath) {
  return "\n" + versionLine() + "\n\nQuillon path: \"" + storePath + "\"\n";
}

std::string runHeaderText(const MigrationSettings& settings, const ConnectionSettings& connection,
                          std::time_t start, bool primaryDomainGiven,
                          const std::vector<std::string>& warnings) {
  // A standard server is no Torvane: its line says what it is.
  std::string text = (connection.standardServer ? "IMAP server hostname: " : "Torvane hostname: ") +
                     connection.host + ":" + std::to_string(connection.port) + "\n" +
                     "Start time: " + ctimeText(start);
  text += "Info: domains to migrate (mask): " + settings.domainMask + "\n";
  text += "Info: users to migrate (mask): " + settings.userMask + "\n";
  text += primaryDomainGiven
              ? "Info: primary domain: "
              : "Info: primary domain is not specified, the hostname is used instead: ";
  text += settings.primaryDomain + "\n";
  for (const std::string& line : warnings) {
    text += line;
  }
  return text;
}

std::string resultText(const MigrationSettings& settings, bool succeeded) {
  if (settings.check) {
    return succeeded ? "check passed" : "check found problems";
  }
  if (settings.verify) {
    return succeeded ? "verification successful" : "verification failed";
  }
  return succeeded ? "migration successful" : "migration failed";
}

std::string runFooterText(const MigrationSettings& settings, const RunOutcome& outcome) {
  std::string text = "\nFinish time: " + ctimeText(outcome.end) + "\n";
  text += "Result: " + resultText(settings, outcome.succeeded) + "\n";
  if (settings.check) {
    text += outcome.checkSummary;
  } else if (settings.verify) {
    text += verificationSummaryText(outcome.totals, outcome.server);
  } else {
    text += summaryText(outcome.totals, outcome.start, outcome.end);
    if (settings.delta) {
      text += deltaSummaryText(outcome.totals);
    }
    if (outcome.totals.pending > 0) {
      text += "Warning: " + std::to_string(outcome.totals.pending) +
              " folders are pending: the source changed during the pass: run -delta again\n";
    }
  }
  for (const std::string& failure : outcome.failedFiles) {
    text += "Info: run failed: " + failure + "\n";
  }
  return text;
}

}  // namespace lodemig
