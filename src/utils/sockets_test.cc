#include "utils/sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace ostrel::utils {
namespace {

// Both ends of a connected local stream socket pair, closed at the end.
struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~SocketPair() {
    closeEnd(0);
    closeEnd(1);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  int operator[](int end) const { return fds[end]; }
  void closeEnd(int end) {
    if (fds[end] >= 0) {
      ::close(fds[end]);
    }
    fds[end] = -1;
  }
  int fds[2] = {-1, -1};
};

// Writes one byte to a socket whose peer is closed; exits 0 when the write
// fails with EPIPE. Runs in a child process, where a SIGPIPE ends the child.
[[noreturn]] void writeToClosedPeer(bool startSockets) {
  // Start from the default disposition whatever earlier tests did.
  (void)socketsCleanup();
  ::signal(SIGPIPE, SIG_DFL);
  if (startSockets && socketsStartup() != 0) {
    std::_Exit(2);
  }
  SocketPair pair;
  pair.closeEnd(1);
  ssize_t result = ::write(pair[0], "x", 1);
  std::_Exit(result < 0 && errno == EPIPE ? 0 : 1);
}

TEST(SocketsTest, StartupAndCleanupTwice) {
  EXPECT_EQ(socketsStartup(), 0);
  EXPECT_EQ(socketsStartup(), 0);
  EXPECT_EQ(socketsCleanup(), 0);
  EXPECT_EQ(socketsCleanup(), 0);
}

TEST(SocketsDeathTest, WriteToClosedPeerGivesEpipeAfterStartup) {
  EXPECT_EXIT(writeToClosedPeer(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(writeToClosedPeer(false), ::testing::KilledBySignal(SIGPIPE), "");
}

TEST(SocketsTest, WaitReportsReadyTimeOutAndInvalid) {
  SocketPair pair;
  ASSERT_GE(pair[0], 0);
  EXPECT_EQ(waitForSocket(pair[0], true, 20), 0);
  EXPECT_EQ(waitForSocket(pair[0], false, 0xFFFFFFFFu), 1);
  ASSERT_EQ(::write(pair[1], "x", 1), 1);
  EXPECT_EQ(waitForSocket(pair[0], true, 0xFFFFFFFFu), 1);
  EXPECT_EQ(waitForSocket(-1, true, 1000), -1);
  int closed = ::dup(pair[0]);
  ASSERT_GE(closed, 0);
  ::close(closed);
  EXPECT_EQ(waitForSocket(closed, true, 1000), -1);
  pair.closeEnd(1);
  EXPECT_EQ(waitForSocket(pair[0], true, 1000), 1);  // the hang-up is readable
}

TEST(SocketsTest, WaitForWritingTimesOutOnFullSocket) {
  SocketPair pair;
  ASSERT_GE(pair[0], 0);
  ASSERT_EQ(::fcntl(pair[0], F_SETFL, O_NONBLOCK), 0);
  char block[4096] = {};
  for (int i = 0; i < 100000 && ::write(pair[0], block, sizeof block) > 0; ++i) {
  }
  EXPECT_EQ(waitForSocket(pair[0], false, 20), 0);
}

TEST(SocketsTest, DescriptorAbove1023Works) {
  rlimit limit;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur <= 1500 && limit.rlim_max > 1500) {
    limit.rlim_cur = 1501;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  if (limit.rlim_cur <= 1500) {
    GTEST_SKIP() << "descriptor limit too low";
  }
  SocketPair pair;
  ASSERT_EQ(::dup2(pair[0], 1500), 1500);
  EXPECT_EQ(waitForSocket(1500, true, 20), 0);
  ASSERT_EQ(::write(pair[1], "x", 1), 1);
  EXPECT_EQ(waitForSocket(1500, true, 1000), 1);
  ::close(1500);
}

TEST(SocketsTest, LocalHostNameIsOneWord) {
  std::string name = localHostName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 1023u);
  EXPECT_EQ(name.find_first_of(std::string(" \t\n\0", 4)), std::string::npos);
}

}  // namespace
}  // namespace ostrel::utils
