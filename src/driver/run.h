#ifndef LODEMIG_DRIVER_RUN_H_
#define LODEMIG_DRIVER_RUN_H_

#include <ctime>
#include <string>

namespace lodemig {

// Exit statuses of the program.
constexpr int kExitSucceeded = 0;      // the run succeeded, or the usage or version was shown
constexpr int kExitFailed = 1;         // something was reported as failed
constexpr int kExitArgumentError = 2;  // the command line does not allow a run
// The run ended for reasons that may pass by themselves: the target could
// not be reached or dropped its connections, or the source changed during the
// pass. The same command again (with the same -journal) goes on.
constexpr int kExitRetryable = 3;

// How a run ended, as far as its exit status goes.
struct RunEnding {
  int stopSignal = 0;     // the signal that stopped it; 0: none
  bool needsFix = false;  // a failure that needs fixing before a new run
  bool mayPass = false;   // a failure that may pass by itself
  bool pending = false;   // folders were left pending for the next pass
};

// The one place that turns how a run ended into its exit status: a stop
// signal gives 128 + its number; any failure that needs fixing 1; else a
// failure that may pass or a pending folder kExitRetryable; else 0.
int exitStatusFor(const RunEnding& ending);

// The whole run of the program: parses the command line, stops with the usage
// text (-help), the version line (-version) or an argument error when the
// options do not allow a run, starts the socket layer, opens the log file
// "./lodemig_<start>.log" (standard error when it cannot be created; the
// console is then silenced), runs the Migrator over the store in print or
// migrate mode with the banner, header and result report, and writes the
// password file "./lodemig_<start>.pass" when any account was provisioned.
// Both files are appended to and created with permissions 0600. Returns one
// of the exit statuses above.
int runLodemig(int argc, const char* const* argv);

// The local time of `when` as "YYYY-MM-DD_hh-mm-ss", the stem of the log and
// password file names.
std::string startTimestamp(std::time_t when);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_RUN_H_
