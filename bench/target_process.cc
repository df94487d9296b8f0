#include "bench/target_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace lodemig::bench {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool parseTargetSummary(const std::string& output, TargetSummary* summary) {
  std::istringstream lines(output);
  std::string line;
  bool haveSummary = false;
  while (std::getline(lines, line)) {
    if (haveSummary) {
      if (line.rfind("accounts digest: ", 0) == 0) {
        summary->accountsDigest = line.substr(17);
      }
      return true;
    }
    std::istringstream in(line);
    std::string accounts, folders, messages, bytes, digest;
    TargetSummary found;
    if (in >> accounts >> found.accounts >> folders >> found.folders >> messages >>
            found.messages >> bytes >> found.bytes >> digest >> found.digest &&
        accounts == "accounts:" && folders == "folders:" && messages == "messages:" &&
        bytes == "bytes:" && digest == "digest:") {
      *summary = found;
      // The accounts digest, when there is one, is on the next line.
      haveSummary = true;
    }
  }
  return haveSummary;
}

TargetProcess::TargetProcess(const std::vector<std::string>& argv, const std::string& stderrPath) {
  auto [readEnd, writeEnd] = makePipe();
  pid_ = spawnChild(argv, writeEnd.get(), stderrPath, -1);
  writeEnd.reset();
  output_ = std::move(readEnd);
  if (!readOutput(10000, true)) {
    throw std::runtime_error("the target printed no port line within ten seconds");
  }
  port_ = std::atoi(text_.c_str());
  if (port_ <= 0 || port_ > 65535) {
    throw std::runtime_error("the target's first line is not a port: " + text_);
  }
}

TargetProcess::~TargetProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool TargetProcess::readOutput(int timeoutMs, bool stopAtNewline) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!(stopAtNewline && text_.find('\n') != std::string::npos)) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) {
      return false;
    }
    pollfd wait{output_.get(), POLLIN, 0};
    int ready = ::poll(&wait, 1, left);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    char buffer[4096];
    ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return !stopAtNewline;
    }
    text_.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

ChildUsage TargetProcess::stop(std::string* output) {
  ::kill(pid_, SIGTERM);
  bool ended = readOutput(30000, false);
  ChildUsage usage;
  rusage resources{};
  int status = 0;
  if (!ended) {
    ::kill(pid_, SIGKILL);
  }
  while (::wait4(pid_, &status, 0, &resources) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  *output = text_;
  if (!ended) {
    throw std::runtime_error("the target did not stop within thirty seconds of SIGTERM");
  }
  usage.status = status;
  usage.userSeconds = static_cast<double>(resources.ru_utime.tv_sec) +
                      static_cast<double>(resources.ru_utime.tv_usec) / 1e6;
  usage.systemSeconds = static_cast<double>(resources.ru_stime.tv_sec) +
                        static_cast<double>(resources.ru_stime.tv_usec) / 1e6;
  usage.maxRssKb = resources.ru_maxrss;
  return usage;
}

}  // namespace lodemig::bench
