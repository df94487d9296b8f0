#include "utils/socket_layer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "tests/scripted_peer.h"
#include "utils/tcp_stream.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::ScriptedPeer;

constexpr std::uint32_t kLoopback = 0x7F000001u;
// Far longer than the 1-second time-out the tests give the client, so that
// only a deadline over the whole read can end it early.
const std::string kTrickled = "* OK " + std::string(40, 'x') + "\r\n";
constexpr int kTrickleIntervalMs = 200;

std::unique_ptr<basic_tcpclientiostream> plainStream(int port) {
  auto stream = std::make_unique<basic_tcpclientiostream>(
      InetSocketAddress(Inet4Address(kLoopback), static_cast<std::uint32_t>(port)),
      InetSocketAddress(), 4096, 0, 4096);
  stream->setTimeout(1);
  stream->open();
  return stream;
}

std::unique_ptr<basic_tcpclientiostream> tlsStream(int port) {
  Url url("imap://127.0.0.1:" + std::to_string(port));
  auto stream = std::make_unique<basic_tcpclientiostream>(
      InetSSLSocketAddress(url, "", ""), InetSocketAddress(), 4096, 0, 4096, 0, true);
  stream->setTimeout(1);
  stream->open();
  return stream;
}

// The count of bytes the peer's trickle sent before the client closed.
std::size_t trickledBytes(const ScriptedPeer& peer) {
  return std::stoul(peer.received().back());
}

// A peer that sends a byte well within the time-out, again and again, must
// not hold a read beyond it: with a deadline the whole line is bounded.
TEST(SocketLayerTest, DeadlineEndsATrickledLineAsATimeOut) {
  ScriptedPeer peer;
  peer.accept().trickle(kTrickled, kTrickleIntervalMs);
  peer.start();
  auto stream = plainStream(peer.port());
  ASSERT_TRUE(stream->good());
  std::string line;
  stream->startDeadline();
  std::getline(*stream, line);
  stream->endDeadline();
  EXPECT_TRUE(stream->eof());
  EXPECT_LT(line.size(), kTrickled.size() - 1);
  EXPECT_EQ(stream->receiveEnd(), SocketLayer::ReceiveEnd::kTimedOut);
  stream->close();
  ASSERT_TRUE(peer.finish()) << peer.failure();
  EXPECT_LT(trickledBytes(peer), kTrickled.size());
}

TEST(SocketLayerTest, FailuresSayWhy) {
  int closedPort = 0;
  {
    const ScriptedPeer gone;
    closedPort = gone.port();
  }
  EXPECT_EQ(plainStream(closedPort)->connectError(), ECONNREFUSED);
  // 0.0.0.0 stands for a host that could not be resolved.
  basic_tcpclientiostream unresolved(InetSocketAddress(Inet4Address(0), 143), InetSocketAddress(),
                                     4096, 0, 4096);
  unresolved.open();
  EXPECT_EQ(unresolved.connectError(), EADDRNOTAVAIL);

  ScriptedPeer peer;
  peer.accept().send("bye\r\n").close();
  peer.start();
  auto stream = plainStream(peer.port());
  EXPECT_EQ(stream->connectError(), 0);
  std::string line;
  std::getline(*stream, line);
  EXPECT_FALSE(std::getline(*stream, line));
  EXPECT_EQ(stream->receiveEnd(), SocketLayer::ReceiveEnd::kClosed);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

// A peer whose accept queue is full drops the connection request, as a host
// behind a silent firewall does: the connect ends at the time-out, not at the
// kernel's limit of minutes.
TEST(SocketLayerTest, ConnectToAPeerThatNeverAnswersTimesOut) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(kLoopback);
  socklen_t length = sizeof local;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);
  const int port = ntohs(local.sin_port);
  // The one connection the queue takes, never accepted.
  auto queued = plainStream(port);
  ASSERT_EQ(queued->connectError(), 0);
  // Run aside, so that a connect left unbounded fails the test instead of
  // holding it for minutes.
  auto dropped =
      std::async(std::launch::async, [port] { return plainStream(port)->connectError(); });
  ASSERT_EQ(dropped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(dropped.get(), ETIMEDOUT);
  queued->close();
  ::close(listener);
}

// A server that says nothing to the handshake, and one that trickles its
// first record, both end the handshake at the time-out, said as such.
TEST(SocketLayerTest, HandshakeOfASilentOrTricklingServerTimesOut) {
  ScriptedPeer silent;
  silent.accept().silence(ScriptedPeer::kWaitSeconds);
  silent.start();
  auto first = tlsStream(silent.port());
  EXPECT_TRUE(first->fail());
  EXPECT_EQ(first->tlsFailure(), "no answer to the TLS handshake within the time-out");
  first->close();
  EXPECT_TRUE(silent.finish()) << silent.failure();

  ScriptedPeer trickling;
  // A handshake record header announcing 64 bytes, then the bytes, slowly.
  trickling.accept().trickle(std::string("\x16\x03\x03\x00\x40", 5) + std::string(64, 'x'),
                             kTrickleIntervalMs);
  trickling.start();
  auto second = tlsStream(trickling.port());
  EXPECT_TRUE(second->fail());
  EXPECT_EQ(second->tlsFailure(), "no answer to the TLS handshake within the time-out");
  second->close();
  ASSERT_TRUE(trickling.finish()) << trickling.failure();
  EXPECT_LT(trickledBytes(trickling), 69u);
}

}  // namespace
}  // namespace ostrel::utils
