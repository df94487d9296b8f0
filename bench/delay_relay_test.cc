#include "bench/delay_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <thread>

namespace lodemig::bench {
namespace {

TEST(DelayRelayTest, HoldsEveryChunkForItsDelayEachWay) {
  // A lower bound only: the relay can never pass a chunk early.
  const double seconds = measureRelayRoundTrip(std::chrono::milliseconds(5), 10);
  EXPECT_GE(seconds, 0.010);
}

TEST(DelayRelayTest, LinkSendsChunksOneAfterAnotherAtItsRate) {
  using std::chrono::milliseconds;
  const std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point wireFree;
  // 8 Mbit/s: 1000 bytes take 1 ms on the link.
  EXPECT_EQ(linkDeparture(start, 1000, 8000000, &wireFree), start + milliseconds(1));
  // A chunk read while the link is busy waits for it.
  EXPECT_EQ(linkDeparture(start, 2000, 8000000, &wireFree), start + milliseconds(3));
  // One read after the link went idle starts at once.
  EXPECT_EQ(linkDeparture(start + milliseconds(10), 1000, 8000000, &wireFree),
            start + milliseconds(11));
  // Unlimited: at once, the link's time untouched.
  EXPECT_EQ(linkDeparture(start + milliseconds(5), 1 << 20, 0, &wireFree), start + milliseconds(5));
  EXPECT_EQ(wireFree, start + milliseconds(11));
}

TEST(DelayRelayTest, PassesBytesIntactBothWaysAndTheEndOfEach) {
  // A peer that sends back what it got, reversed, once the client has ended.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string payload(3 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>(i * 131 % 251);
  }
  std::thread peer([&] {
    UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
      got.append(buffer, static_cast<size_t>(n));
    }
    std::string reply(got.rbegin(), got.rend());
    for (size_t at = 0; at < reply.size();) {
      const ssize_t sent = ::send(fd.get(), reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
      if (sent <= 0) {
        return;
      }
      at += static_cast<size_t>(sent);
    }
  });
  {
    DelayRelay relay(ntohs(address.sin_port), std::chrono::milliseconds(2));
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = address;
    to.sin_port = htons(static_cast<uint16_t>(relay.port()));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    timeval timeout{10, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::thread writer([&] {
      for (size_t at = 0; at < payload.size();) {
        const ssize_t sent =
            ::send(client.get(), payload.data() + at, payload.size() - at, MSG_NOSIGNAL);
        if (sent <= 0) {
          break;
        }
        at += static_cast<size_t>(sent);
      }
      ::shutdown(client.get(), SHUT_WR);
    });
    std::string back;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(client.get(), buffer, sizeof buffer, 0)) > 0;) {
      back.append(buffer, static_cast<size_t>(n));
    }
    writer.join();
    EXPECT_EQ(back.size(), payload.size());
    EXPECT_TRUE(back == std::string(payload.rbegin(), payload.rend()));
  }
  peer.join();
}

// Reads from `fd` until `count` line ends came (or a read fails or times out).
std::string readLines(int fd, int count) {
  std::string got;
  char buffer[256];
  for (int reads = 0; reads < 100 && std::count(got.begin(), got.end(), '\n') < count; ++reads) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool sendText(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

TEST(DelayRelayTest, CountsTheClientsWaitsNotItsBackToBackWrites) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  // A server that greets, then answers each line with one of its own.
  std::thread peer([&] {
    UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sendText(fd.get(), "* OK\r\n");
    for (int lines = 0; lines < 5;) {
      const std::string got = readLines(fd.get(), 1);
      if (got.empty()) {
        return;
      }
      for (char c : got) {
        lines += c == '\n' && sendText(fd.get(), "ok\r\n") ? 1 : 0;
      }
    }
  });
  DelayRelay relay(ntohs(address.sin_port), std::chrono::milliseconds(20));
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = address;
  to.sin_port = htons(static_cast<uint16_t>(relay.port()));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  timeval timeout{5, 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const int fd = client.get();
  EXPECT_EQ(readLines(fd, 1), "* OK\r\n");
  EXPECT_TRUE(sendText(fd, "1 LOGIN\r\n"));  // waited for the greeting: 1
  EXPECT_EQ(readLines(fd, 1), "ok\r\n");
  EXPECT_TRUE(sendText(fd, "2 LIST\r\n"));  // 2, and the next goes with it
  EXPECT_TRUE(sendText(fd, "3 LIST\r\n"));
  EXPECT_EQ(readLines(fd, 2), "ok\r\nok\r\n");
  EXPECT_TRUE(sendText(fd, "4 APPEND\r\n"));  // 3
  EXPECT_EQ(readLines(fd, 1), "ok\r\n");
  EXPECT_TRUE(sendText(fd, "5 LOGOUT\r\n"));  // 4
  EXPECT_EQ(readLines(fd, 1), "ok\r\n");
  client.reset();
  peer.join();
  const DelayRelay::Turns turns = relay.turns();
  EXPECT_EQ(turns.total, 4u);
  EXPECT_EQ(turns.beforeAppend, 3u);
  EXPECT_EQ(turns.connections, 1u);
}

}  // namespace
}  // namespace lodemig::bench
