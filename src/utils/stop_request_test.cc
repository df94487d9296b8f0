#include "utils/stop_request.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ostrel::utils {
namespace {

// In a child process, since the handlers are process-wide: the first signal
// is remembered, the second ends the process as the signal does.
TEST(StopRequestTest, FirstSignalAsksSecondEnds) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    watchStopSignals();
    if (stopSignal() != 0) {
      ::_exit(1);
    }
    ::raise(SIGTERM);
    if (stopSignal() != SIGTERM) {
      ::_exit(2);
    }
    ::raise(SIGINT);
    ::_exit(3);  // not reached: the second signal ends the process
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_STREQ(signalName(SIGINT), "SIGINT");
  EXPECT_STREQ(signalName(SIGTERM), "SIGTERM");
  EXPECT_STREQ(signalName(9), "signal 9");
}

}  // namespace
}  // namespace ostrel::utils
