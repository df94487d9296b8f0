#include "bench/measured_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lodemig::bench {
namespace {

UniqueFd moveHigh(int fd) {
  int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  if (high < 0) {
    throw std::runtime_error(std::string("fcntl: ") + std::strerror(errno));
  }
  return UniqueFd(high);
}

bool fieldValue(const std::string& line, const std::string& key, long long* value) {
  std::string marker = key + "=";
  size_t at = 0;
  while ((at = line.find(marker, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      std::istringstream in(line.substr(at + marker.size()));
      return static_cast<bool>(in >> *value);
    }
    at += marker.size();
  }
  return false;
}

}  // namespace

bool ChildUsage::succeeded() const {
  return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool parseLaunchReport(const std::string& line, ChildUsage* usage) {
  long long status, user, system, rss, wall, timedOut;
  if (!fieldValue(line, "status", &status) || !fieldValue(line, "user_us", &user) ||
      !fieldValue(line, "sys_us", &system) || !fieldValue(line, "maxrss_kb", &rss) ||
      !fieldValue(line, "wall_ns", &wall) || !fieldValue(line, "timed_out", &timedOut)) {
    return false;
  }
  usage->status = static_cast<int>(status);
  usage->userSeconds = static_cast<double>(user) / 1e6;
  usage->systemSeconds = static_cast<double>(system) / 1e6;
  usage->maxRssKb = static_cast<long>(rss);
  usage->wallSeconds = static_cast<double>(wall) / 1e9;
  usage->timedOut = timedOut != 0;
  return true;
}

std::pair<UniqueFd, UniqueFd> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  UniqueFd readEnd = moveHigh(fds[0]);
  UniqueFd writeEnd = moveHigh(fds[1]);
  return {std::move(readEnd), std::move(writeEnd)};
}

int spawnChild(const std::vector<std::string>& argv, int stdoutFd, const std::string& stderrPath,
               int extraFd) {
  if (argv.empty()) {
    throw std::invalid_argument("spawnChild needs a program");
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (extraFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
  }
  pid_t pid = 0;
  int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  return pid;
}

MeasuredRun runMeasured(const std::string& launcher, const std::vector<std::string>& argv,
                        const std::string& directory, const std::string& stderrPath,
                        int timeoutSeconds) {
  std::vector<std::string> launch{launcher, "3", std::to_string(timeoutSeconds), directory};
  launch.insert(launch.end(), argv.begin(), argv.end());

  auto [consoleRead, consoleWrite] = makePipe();
  auto [reportRead, reportWrite] = makePipe();
  pid_t pid = spawnChild(launch, consoleWrite.get(), stderrPath, reportWrite.get());
  consoleWrite.reset();
  reportWrite.reset();

  MeasuredRun run;
  // The console is drained while the child runs: a full pipe would stall it
  // and its wall time would measure us instead. It is drained every few
  // milliseconds rather than at every write: on two cores that lodemig and
  // the stand-in server keep busy, a reader woken per message would take
  // turns on them and the console variant would measure our wake-ups, not
  // lodemig's writes. The pipe is enlarged so that it cannot fill between two
  // drains (lodemig writes well under 1 KB per message).
  ::fcntl(consoleRead.get(), F_SETPIPE_SZ, 1 << 20);
  std::thread drain([fd = consoleRead.get(), &run] {
    char buffer[1 << 16];
    while (true) {
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        return;
      }
      run.consoleBytes += static_cast<uint64_t>(got);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // The launcher kills the child at its time-out; allow it a margin to report.
  std::string report;
  bool finished = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds + 30);
  while (true) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      break;
    }
    pollfd wait{reportRead.get(), POLLIN, 0};
    int ready = ::poll(&wait, 1, left);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      break;
    }
    char buffer[512];
    ssize_t got = ::read(reportRead.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      finished = got == 0;
      break;
    }
    report.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  if (!finished) {
    ::kill(pid, SIGKILL);
  }
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  drain.join();
  if (!parseLaunchReport(report, &run.usage)) {
    throw std::runtime_error("the launcher reported nothing for " + argv[0]);
  }
  return run;
}

}  // namespace lodemig::bench
