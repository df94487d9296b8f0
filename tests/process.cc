#include "tests/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::vector<char*> makeArgv(const std::string& binary, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// Reads what is available from `fd` into `out`; false at the end of the
// stream or on an error.
bool readSome(int fd, std::string& out) {
  char buffer[65536];
  ssize_t count = ::read(fd, buffer, sizeof(buffer));
  if (count < 0 && errno == EINTR) {
    return true;
  }
  if (count <= 0) {
    return false;
  }
  out.append(buffer, static_cast<std::size_t>(count));
  return true;
}

// Waits for the child until the deadline, then kills it. Returns the exit
// status (128 + signal when it was killed by one).
int reap(pid_t pid, Clock::time_point deadline, bool& timedOut) {
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      break;
    }
    if (done < 0 && errno != EINTR) {
      return -1;
    }
    if (Clock::now() >= deadline) {
      timedOut = true;
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

[[noreturn]] void execChild(const std::vector<char*>& argv, int out, int err) {
  // The child starts with no blocked signals, whatever the forking thread blocks.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  int input = ::open("/dev/null", O_RDONLY);
  if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(out, 1) < 0 || (err >= 0 && ::dup2(err, 2) < 0)) {
    ::_exit(126);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

ProcessResult runProcess(const std::string& binary, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  ProcessResult result;
  std::vector<char*> argv = makeArgv(binary, arguments);
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    return result;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on: the test process has threads.
    if (!options.workingDirectory.empty()) {
      if (::chdir(options.workingDirectory.c_str()) != 0) {
        ::_exit(125);
      }
      if (options.removeWorkingDirectory && ::rmdir(options.workingDirectory.c_str()) != 0) {
        ::_exit(125);
      }
    }
    execChild(argv, out[1], err[1]);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }

  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  const bool byCondition = static_cast<bool>(options.signalWhen);
  bool signalled = options.signalAfterMilliseconds <= 0 && !byCondition;
  const Clock::time_point signalAt =
      byCondition ? Clock::now() + std::chrono::milliseconds(5)
                  : Clock::now() + std::chrono::milliseconds(options.signalAfterMilliseconds);
  Clock::time_point nextCheck = signalAt;
  while (open > 0 && Clock::now() < deadline) {
    if (!signalled && Clock::now() >= nextCheck) {
      if (!byCondition || options.signalWhen()) {
        ::kill(pid, options.signal);
        signalled = true;
      }
      nextCheck = Clock::now() + std::chrono::milliseconds(5);
    }
    int ready =
        ::poll(fds, 2, millisecondsLeft(signalled ? deadline : std::min(deadline, nextCheck)));
    if (ready < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
          !readSome(fds[i].fd, *sinks[i])) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  ::close(out[0]);
  ::close(err[0]);
  result.exitStatus = reap(pid, deadline, result.timedOut);
  return result;
}

TargetServer::TargetServer(const std::string& binary, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"--port", "0"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = makeArgv(binary, all);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    execChild(argv, out[1], -1);
  }
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  output_ = out[0];

  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  std::size_t end;
  while ((end = pending_.find('\n')) == std::string::npos && Clock::now() < deadline) {
    pollfd fd = {output_, POLLIN, 0};
    if (::poll(&fd, 1, millisecondsLeft(deadline)) > 0 && !readSome(output_, pending_)) {
      break;
    }
  }
  if (end == std::string::npos) {
    stop();
    return;
  }
  const std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) {
    stop();
    return;
  }
  port_ = std::atoi(line.c_str());
}

TargetServer::~TargetServer() {
  stop();
}

std::string TargetServer::stop(int signal) {
  if (pid_ <= 0) {
    return std::string();
  }
  ::kill(pid_, signal);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (output_ >= 0 && Clock::now() < deadline) {
    pollfd fd = {output_, POLLIN, 0};
    if (::poll(&fd, 1, millisecondsLeft(deadline)) > 0 && !readSome(output_, pending_)) {
      break;
    }
  }
  if (output_ >= 0) {
    ::close(output_);
    output_ = -1;
  }
  bool timedOut = false;
  exitStatus_ = reap(pid_, deadline, timedOut);
  pid_ = -1;
  std::string summary;
  summary.swap(pending_);
  return summary;
}

namespace {

// True when `text` has the shape of `pattern`, where '9' stands for any digit
// and every other byte for itself.
bool hasShape(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '9' ? !digit : text[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

// "Wed Jun 30 21:49:08 1993": the C library's ctime form without its newline.
bool isCtimeText(const std::string& text) {
  if (text.size() != 24) {
    return false;
  }
  auto letters = [&text](std::size_t at) {
    return std::isupper(static_cast<unsigned char>(text[at])) &&
           std::islower(static_cast<unsigned char>(text[at + 1])) &&
           std::islower(static_cast<unsigned char>(text[at + 2]));
  };
  std::string shape = text;
  shape.replace(0, 3, "Www").replace(4, 3, "Mmm");
  if (shape[8] == ' ') {
    shape[8] = '9';
  }
  return letters(0) && letters(4) && hasShape(shape, "Www Mmm 99 99:99:99 9999");
}

}  // namespace

int freeLoopbackPort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

bool acceptsOnLoopback(int port) {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected =
      ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return connected;
}

std::vector<std::string> lodemigFiles(const std::string& directory, const std::string& extension) {
  const std::string shape = "lodemig_9999-99-99_99-99-99." + extension;
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::string file = entry.path().filename().string();
    if (hasShape(file, shape)) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string onlyLodemigFile(const std::string& directory, const std::string& extension) {
  std::vector<std::string> files = lodemigFiles(directory, extension);
  EXPECT_EQ(files.size(), 1u) << directory << " " << extension;
  return files.empty() ? std::string() : readFile(files[0]);
}

std::string maskTimes(const std::string& text) {
  static const char* const kPrefixes[] = {"Start time: ", "Finish time: ", ", time: "};
  std::string masked;
  masked.reserve(text.size());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    for (const char* prefix : kPrefixes) {
      std::size_t at = line.find(prefix);
      if (at == std::string::npos) {
        continue;
      }
      std::size_t time = at + std::strlen(prefix);
      if (line.size() == time + 25 && line.back() == '\n' && isCtimeText(line.substr(time, 24))) {
        line.replace(time, 24, "T");
        break;
      }
    }
    masked += line;
    start = end;
  }
  return masked;
}

}  // namespace lodemig::testing
