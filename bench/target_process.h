#ifndef LODEMIG_BENCH_TARGET_PROCESS_H_
#define LODEMIG_BENCH_TARGET_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/measured_run.h"
#include "bench/unique_fd.h"

namespace lodemig::bench {

// The stand-in server's closing line:
// "accounts: A folders: F messages: M bytes: B digest: HEX".
struct TargetSummary {
  uint64_t accounts = 0;
  uint64_t folders = 0;
  uint64_t messages = 0;
  uint64_t bytes = 0;
  std::string digest;
  // From the "accounts digest: HEX" line of a server started with
  // --accounts-digest; empty without one.
  std::string accountsDigest;
};

// Finds the summary line in `output` (the server's whole standard output);
// false when there is none.
bool parseTargetSummary(const std::string& output, TargetSummary* summary);

// A running server started with `argv` (the caller passes "--port", "0"),
// whose first output line is the port it listens on. The destructor kills and
// reaps a server that was not stopped.
class TargetProcess {
 public:
  // Starts the server, standard error into `stderrPath`, and waits at most
  // ten seconds for its port line. Throws std::runtime_error.
  TargetProcess(const std::vector<std::string>& argv, const std::string& stderrPath);
  ~TargetProcess();
  TargetProcess(const TargetProcess&) = delete;
  TargetProcess& operator=(const TargetProcess&) = delete;

  int port() const { return port_; }

  // Sends SIGTERM, collects the rest of its output (at most thirty seconds)
  // into *output and reaps it; the usage is the server's own CPU time. Throws
  // std::runtime_error when it does not stop.
  ChildUsage stop(std::string* output);

 private:
  // Reads what is available until `stopAtNewline` finds a line or the output
  // ends; false at the deadline.
  bool readOutput(int timeoutMs, bool stopAtNewline);

  int pid_ = -1;
  UniqueFd output_;
  std::string text_;
  int port_ = 0;
};

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_TARGET_PROCESS_H_
