#ifndef LODEMIG_DRIVER_RUN_TEXT_H_
#define LODEMIG_DRIVER_RUN_TEXT_H_

#include <ctime>
#include <string>
#include <vector>

#include "imap/connection_settings.h"
#include "migration/migration_settings.h"
#include "migration/run_report.h"

namespace lodemig {

// The fixed texts a run prints around its walk, each built whole so that the
// driver prints it with one call. Times are local, in ctimeText()'s form.

// The lines every run starts with: a blank line, the version line, a blank
// line and the store's path in quotes.
std::string bannerText(const std::string& storePath);

// What a run that reaches the target says after the banner: the target's
// host and port, the start time, the domain and user masks, the primary
// domain (saying when it is this machine's name because none was given),
// then each of `warnings` as it is.
std::string runHeaderText(const MigrationSettings& settings, const ConnectionSettings& connection,
                          std::time_t start, bool primaryDomainGiven,
                          const std::vector<std::string>& warnings);

// How a run that reached the target ended, for its footer.
struct RunOutcome {
  bool succeeded = false;
  std::time_t start = 0;
  std::time_t end = 0;
  RunTotals totals;          // the run's totals
  std::string checkSummary;  // what -check found
  // "cannot write file PATH: REASON" of each file that failed the run.
  std::vector<std::string> failedFiles;
  // How the summary names the target server (targetServerWord()).
  std::string server = "Torvane";
};

// The result line's verdict without "Result: ", such as "migration
// successful" or "check found problems".
std::string resultText(const MigrationSettings& settings, bool succeeded);

// The footer of such a run: the finish time, then the result line of its
// kind (check, verification or migration), the summary that goes with it
// and a line for each file that failed the run.
std::string runFooterText(const MigrationSettings& settings, const RunOutcome& outcome);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_RUN_TEXT_H_
