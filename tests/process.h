#ifndef LODEMIG_TESTS_PROCESS_H_
#define LODEMIG_TESTS_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace lodemig::testing {

// What a finished child process left behind.
struct ProcessResult {
  int exitStatus = -1;  // the exit status, or 128 + signal when it was killed
  bool timedOut = false;
  std::string out;  // everything it wrote to standard output
  std::string err;  // everything it wrote to standard error
};

struct ProcessOptions {
  std::string workingDirectory;  // empty: the test's own
  // Removes the (empty) working directory right after changing into it, so
  // that nothing can be created in "." even by root.
  bool removeWorkingDirectory = false;
  int timeoutSeconds = 20;  // then the child is killed
  // When above 0, `signal` is sent to the child this long after it started;
  // or, with signalWhen, as soon as signalWhen() (asked every few
  // milliseconds) is true.
  int signalAfterMilliseconds = 0;
  std::function<bool()> signalWhen;
  int signal = 9;  // SIGKILL
};

// Runs `binary` with `arguments` (argv[1...]) and waits for it to end, at most
// options.timeoutSeconds; standard input is /dev/null.
ProcessResult runProcess(const std::string& binary, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = ProcessOptions());

// The stand-in target server (the program `binary`) running as a child
// process on 127.0.0.1 and a free port. The constructor starts it with
// "--port 0" and `arguments` and reads the port from its first output line
// (at most 5 seconds; a server that does not answer, or whose first line is
// not a bare number, is killed and port() is 0). The destructor stops it if
// stop() was not called. Not copyable.
class TargetServer {
 public:
  TargetServer(const std::string& binary, const std::vector<std::string>& arguments);
  ~TargetServer();
  TargetServer(const TargetServer&) = delete;
  TargetServer& operator=(const TargetServer&) = delete;

  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }
  // Sends `signal`, waits at most 5 seconds (then kills it) and returns what
  // the server printed after its port line (its summary line).
  std::string stop(int signal = 15 /* SIGTERM */);
  // How the server ended, as ProcessResult::exitStatus; -1 before stop().
  int exitStatus() const { return exitStatus_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
  int exitStatus_ = -1;
  std::string pending_;
};

// The files "lodemig_<start>.<extension>" a run left in `directory`, sorted.
std::vector<std::string> lodemigFiles(const std::string& directory, const std::string& extension);

// The one file "lodemig_<start>.<extension>" in `directory` (a test failure
// when there is not exactly one); "" when there is none.
std::string onlyLodemigFile(const std::string& directory, const std::string& extension);

// A port on 127.0.0.1 nobody listened on a moment ago; 0 when none was found.
int freeLoopbackPort();
// True when something accepts connections on 127.0.0.1:`port` now.
bool acceptsOnLoopback(int port);

inline bool contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// `text` with the run's clock readings (the "Start time: " and "Finish time: "
// lines and the ", time: " ends of the mailbox log lines) replaced by "T", so
// that two reports can be compared.
std::string maskTimes(const std::string& text);

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_PROCESS_H_
