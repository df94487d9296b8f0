#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "target/line_client.h"
#include "tests/temp_dir.h"

extern char** environ;

namespace lodemig::target {
namespace {

// The lodemig-target program run with arguments, its standard output and
// error on pipes. Killed when the object goes away if it still runs.
class TargetProcess {
 public:
  explicit TargetProcess(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with no blocked signals whatever this thread blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    std::string binary = LODEMIG_TARGET_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies(args);
    for (std::string& arg : copies) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, binary.c_str(), &actions, &attributes, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    stdout_ = out[0];
    stderr_ = err[0];
  }

  ~TargetProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
    ::close(stderr_);
  }

  bool started() const { return pid_ > 0; }
  void signal(int number) { ::kill(pid_, number); }

  // The next line of standard output, without its LF; "" after 5 seconds.
  std::string readLine() {
    std::string line;
    for (int i = 0; i < 200; ++i) {
      const std::size_t lf = out_.find('\n');
      if (lf != std::string::npos) {
        line = out_.substr(0, lf);
        out_.erase(0, lf + 1);
        return line;
      }
      if (!readSome(stdout_, &out_)) {
        break;
      }
    }
    return line;
  }

  // Waits at most 5 seconds for the exit; the exit status, or -1.
  int wait() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Everything the program writes to a stream until it closes it (at most
  // 5 seconds of waiting).
  std::string restOfStdout() { return drain(stdout_, &out_); }
  std::string allOfStderr() {
    std::string text;
    return drain(stderr_, &text);
  }

 private:
  static bool readSome(int fd, std::string* into) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 5000) <= 0) {
      return false;
    }
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) {
      return false;
    }
    into->append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  static std::string drain(int fd, std::string* text) {
    for (int i = 0; i < 1000 && readSome(fd, text); ++i) {
    }
    std::string all;
    all.swap(*text);
    return all;
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string out_;
};

TEST(TargetMainTest, PrintsThePortFirstAndTheSummaryAfterSigterm) {
  lodemig::testing::ScopedTempDir dir;
  TargetProcess target(
      {"--port", "0", "--store", dir.path(), "--account", "bob@example.org:secret"});
  ASSERT_TRUE(target.started());
  const std::string port = target.readLine();
  ASSERT_FALSE(port.empty());
  ASSERT_EQ(std::string::npos, port.find_first_not_of("0123456789")) << port;

  LineClient client(static_cast<std::uint16_t>(std::stoi(port)));
  EXPECT_EQ("* OK lodemig-target IMAP4rev1 server ready\r\n", client.readLine());
  EXPECT_EQ("A OK LOGIN completed\r\n",
            client.exchange("A LOGIN \"bob@example.org\" \"secret\"\r\n", "A"));
  EXPECT_EQ("B OK APPEND completed\r\n", client.exchange("B APPEND INBOX {5+}\r\nhello\r\n", "B"));

  target.signal(SIGTERM);
  EXPECT_EQ(0, target.wait());
  EXPECT_EQ("accounts: 1 folders: 1 messages: 1 bytes: 5 digest: 26c7827d889f6da3\n",
            target.restOfStdout());
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ("hello",
            lodemig::testing::readFile(dir / "accounts/bob@example.org/messages/000001.eml"));
}

TEST(TargetMainTest, SigintStopsAsWell) {
  TargetProcess target({"--port=0"});
  ASSERT_TRUE(target.started());
  ASSERT_FALSE(target.readLine().empty());
  target.signal(SIGINT);
  EXPECT_EQ(0, target.wait());
  EXPECT_EQ(
      "accounts: 0 folders: 0 messages: 0 bytes: 0 digest: ef46db3751d8e999\n",
      target.restOfStdout());
}

TEST(TargetMainTest, HelpAndArgumentErrors) {
  TargetProcess help({"--help"});
  EXPECT_EQ("Usage: lodemig-target [options]", help.readLine());
  EXPECT_EQ(0, help.wait());

  TargetProcess bogus({"--port", "0", "--bogus"});
  EXPECT_EQ(2, bogus.wait());
  EXPECT_EQ("lodemig-target: unknown option: --bogus\nTry 'lodemig-target --help'.\n",
            bogus.allOfStderr());
  EXPECT_EQ("", bogus.restOfStdout());
}

TEST(TargetMainTest, PortInUseEndsWithStatusOne) {
  TargetProcess first({"--port", "0"});
  const std::string port = first.readLine();
  ASSERT_FALSE(port.empty());
  TargetProcess second({"--port", port});
  EXPECT_EQ(1, second.wait());
  EXPECT_EQ(
      "lodemig-target: cannot listen on 127.0.0.1 port " + port + ": Address already in use\n",
      second.allOfStderr());
}

}  // namespace
}  // namespace lodemig::target
