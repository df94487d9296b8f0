#ifndef LODEMIG_BENCH_MEASURED_RUN_H_
#define LODEMIG_BENCH_MEASURED_RUN_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/unique_fd.h"

namespace lodemig::bench {

// What the kernel accounted for one finished child process.
struct ChildUsage {
  int status = -1;  // the raw wait status
  double userSeconds = 0;
  double systemSeconds = 0;
  long maxRssKb = 0;       // peak resident set size (ru_maxrss)
  double wallSeconds = 0;  // from fork to reaping
  bool timedOut = false;

  double cpuSeconds() const { return userSeconds + systemSeconds; }
  // True when the child exited by itself with status 0.
  bool succeeded() const;
};

// Parses the launcher's report line ("status=S user_us=U sys_us=Y
// maxrss_kb=M wall_ns=W timed_out=T"); false when a field is missing.
bool parseLaunchReport(const std::string& line, ChildUsage* usage);

struct MeasuredRun {
  ChildUsage usage;
  uint64_t consoleBytes = 0;  // what the child wrote to its standard output
};

// Runs `argv` (argv[0] is the program's path) in `directory` through the
// launcher program `launcher`, so that its resource use is the child's own.
// Standard input is /dev/null, standard output a pipe that a thread of this
// process drains and counts, standard error the file `stderrPath`. The child
// is killed after `timeoutSeconds`. Throws std::runtime_error when the
// launcher cannot be started or reports nothing.
MeasuredRun runMeasured(const std::string& launcher, const std::vector<std::string>& argv,
                        const std::string& directory, const std::string& stderrPath,
                        int timeoutSeconds);

// A pipe (read end, write end), both close-on-exec and numbered 10 or above so
// that moving one to descriptor 1 or 3 in a child never collides with it.
// Throws std::runtime_error.
std::pair<UniqueFd, UniqueFd> makePipe();

// Starts argv[0] with standard input /dev/null, standard output `stdoutFd`,
// standard error truncated into `stderrPath` and, when `extraFd` is not -1,
// `extraFd` as descriptor 3. Returns the child's pid; throws
// std::runtime_error when it cannot be started.
int spawnChild(const std::vector<std::string>& argv, int stdoutFd, const std::string& stderrPath,
               int extraFd);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_MEASURED_RUN_H_
