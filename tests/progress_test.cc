// End-to-end tests of the progress line: a migration with its standard
// output on a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class ProgressTest : public MigrationTest {
 protected:
  // Migrates the example store into the running server with standard output
  // and error on a raw pseudo-terminal of 100 columns; everything the
  // terminal received goes to `out`. At most 30 seconds, then the run is
  // killed.
  ProcessResult migrateOnTerminal(const std::vector<std::string>& extra) {
    makeDirectories(work_);
    std::vector<std::string> arguments = {LODEMIG_BINARY,
                                          "-path",
                                          std::string(LODEMIG_SOURCE_DIR) + "/examples",
                                          "-migrate",
                                          "-server",
                                          "127.0.0.1",
                                          "-port",
                                          server_->portText(),
                                          "-password",
                                          "master",
                                          "-primaryDomain",
                                          "example.com"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    termios raw{};
    ::cfmakeraw(&raw);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 100;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, &raw, &size);
    if (child == 0) {
      const int none = ::open("/dev/null", O_RDONLY);
      if (none < 0 || ::dup2(none, 0) < 0 || ::chdir(work_.c_str()) != 0) {
        ::_exit(126);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ProcessResult result;
    if (child < 0) {
      ADD_FAILURE() << "forkpty failed";
      return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[4096];
    for (;;) {
      if (std::chrono::steady_clock::now() > deadline) {
        result.timedOut = true;
        ::kill(child, SIGKILL);
        break;
      }
      pollfd ready{terminal, POLLIN, 0};
      if (::poll(&ready, 1, 200) <= 0) {
        continue;
      }
      const ssize_t got = ::read(terminal, buffer, sizeof(buffer));
      if (got <= 0) {
        break;  // EIO once the run and everything it started closed the terminal
      }
      result.out.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
  }

  // What stays on the screen: `out` with every drawn line erased where an
  // erasure ("\r" or a cursor move, then ESC [K) follows it.
  static std::string lastDrawn(const std::string& out) {
    const std::size_t erased = out.rfind("\033[K");
    return erased == std::string::npos ? out : out.substr(erased + 3);
  }
};

TEST_F(ProgressTest, OneJobShowsTheLineBetweenTheAccountsLinesAndErasesIt) {
  startServer();
  const ProcessResult result = migrateOnTerminal({});
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  // The plan's totals from the first drawing on, and accounts ending.
  EXPECT_TRUE(contains(result.out, "accounts 0 of 3, 0 of 17 messages, 0B of 6.2KB")) << result.out;
  EXPECT_TRUE(contains(result.out, "accounts 2 of 3, ")) << result.out;
  // Each drawing is erased before the next text: the account lines read as
  // without it, and nothing of it is left when the run ends.
  EXPECT_TRUE(contains(result.out, "\r\033[K + mailbox <john>, size: 4.6KB\n")) << result.out;
  EXPECT_FALSE(contains(lastDrawn(result.out), " of 17 messages")) << result.out;
  EXPECT_TRUE(contains(lastDrawn(result.out), "Result: migration successful\n")) << result.out;
  const std::string log = onlyLodemigFile(work_, "log");
  EXPECT_TRUE(contains(log, " + mailbox <john>, size: 4.6KB")) << log;
  EXPECT_FALSE(contains(log, " of 17 messages")) << log;
  EXPECT_FALSE(contains(log, "\033")) << log;
}

TEST_F(ProgressTest, SeveralJobsCountEveryAccount) {
  startServer();
  const ProcessResult result = migrateOnTerminal({"-jobs", "4"});
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(contains(result.out, "accounts 3 of 3, 17 of 17 messages, 6.2KB of 6.2KB"))
      << result.out;
  EXPECT_FALSE(contains(lastDrawn(result.out), " of 17 messages")) << result.out;
}

}  // namespace
}  // namespace lodemig::testing
