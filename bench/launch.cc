// lodemig-bench-launch REPORT_FD TIMEOUT_SECONDS DIRECTORY PROGRAM [ARGS...]
//
// Runs PROGRAM in DIRECTORY and writes one line about it to REPORT_FD:
//   status=S user_us=U sys_us=Y maxrss_kb=M wall_ns=W timed_out=T
// The kernel carries the resident size of the process that calls exec over
// into the new program's peak, so a large benchmark runner would inflate the
// peak it measures; this launcher stays small (plain C library calls only) and
// the child it forks starts from its few hundred KB. The child is killed after
// TIMEOUT_SECONDS.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t timedOut = 0;
volatile pid_t child = 0;

void onAlarm(int) {
  timedOut = 1;
  if (child > 0) {
    kill(child, SIGKILL);
  }
}

long long nanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s REPORT_FD TIMEOUT_SECONDS DIRECTORY PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  int reportFd = atoi(argv[1]);
  int timeout = atoi(argv[2]);
  fcntl(reportFd, F_SETFD, FD_CLOEXEC);

  struct sigaction action = {};
  action.sa_handler = onAlarm;
  sigaction(SIGALRM, &action, nullptr);

  long long start = nanoseconds();
  pid_t pid = fork();
  if (pid < 0) {
    return 3;
  }
  if (pid == 0) {
    if (chdir(argv[3]) != 0) {
      _exit(126);
    }
    execv(argv[4], argv + 4);
    _exit(127);
  }
  child = pid;
  if (timeout > 0) {
    alarm(static_cast<unsigned>(timeout));
  }
  int status = 0;
  rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      return 4;
    }
  }
  long long wall = nanoseconds() - start;
  alarm(0);

  char line[256];
  int length = snprintf(
      line, sizeof line,
      "status=%d user_us=%lld sys_us=%lld maxrss_kb=%ld wall_ns=%lld timed_out=%d\n", status,
      static_cast<long long>(usage.ru_utime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec,
      static_cast<long long>(usage.ru_stime.tv_sec) * 1000000LL + usage.ru_stime.tv_usec,
      usage.ru_maxrss, wall, static_cast<int>(timedOut));
  if (length <= 0 || write(reportFd, line, static_cast<size_t>(length)) != length) {
    return 5;
  }
  return 0;
}
