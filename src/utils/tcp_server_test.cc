#include "utils/tcp_server.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>

namespace ostrel::utils {
namespace {

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, listener_.open("127.0.0.1", 0));
    ASSERT_NE(0, listener_.port());
  }

  // A connected pair: the client end and the accepted server end.
  void connectPair(TcpConnection* client, TcpConnection* server) {
    *client = TcpConnection::connectTo("127.0.0.1", listener_.port());
    ASSERT_TRUE(client->valid());
    *server = listener_.accept(5000);
    ASSERT_TRUE(server->valid());
  }

  std::string receiveText(TcpConnection& connection) {
    char buffer[64];
    const long count = connection.receive(buffer, sizeof buffer, 5000);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count))
                     : "<" + std::to_string(count) + ">";
  }

  TcpListener listener_;
};

TEST_F(TcpServerTest, ConnectionsCarryBytesBothWaysUntilTheEndOfStream) {
  TcpConnection client;
  TcpConnection server;
  connectPair(&client, &server);
  ASSERT_TRUE(client.sendAll("ping"));
  EXPECT_EQ("ping", receiveText(server));
  ASSERT_TRUE(server.sendAll(std::string("po\0ng", 5)));
  EXPECT_EQ(std::string("po\0ng", 5), receiveText(client));
  client.shutdownWrite();
  EXPECT_EQ("<0>", receiveText(server));
  // Reading stays possible after the write side was shut.
  ASSERT_TRUE(server.sendAll("late"));
  EXPECT_EQ("late", receiveText(client));
}

TEST_F(TcpServerTest, ReceiveTimesOutWhenNothingArrives) {
  TcpConnection client;
  TcpConnection server;
  connectPair(&client, &server);
  char byte;
  EXPECT_EQ(TcpConnection::kTimedOut, server.receive(&byte, 1, 10));
}

TEST_F(TcpServerTest, ShutdownBothReleasesAReceiveBlockedInAnotherThread) {
  TcpConnection client;
  TcpConnection server;
  connectPair(&client, &server);
  long result = 1;
  std::thread reader([&] {
    char byte;
    result = server.receive(&byte, 1, 5000);
  });
  server.shutdownBoth();
  reader.join();
  EXPECT_EQ(TcpConnection::kClosed, result);
  EXPECT_FALSE(server.sendAll("x"));
}

TEST_F(TcpServerTest, AcceptTimesOutAndWakeEndsEveryLaterAccept) {
  int error = -1;
  EXPECT_FALSE(listener_.accept(0, &error).valid());
  EXPECT_EQ(0, error);
  EXPECT_FALSE(listener_.woken());
  listener_.wake();
  EXPECT_TRUE(listener_.woken());
  // Without a time-out: only the wake-up can make these return.
  EXPECT_FALSE(listener_.accept(-1).valid());
  EXPECT_FALSE(listener_.accept(-1, &error).valid());
  EXPECT_EQ(0, error);
}

TEST_F(TcpServerTest, OpenAndConnectReportErrorsAsValues) {
  TcpListener second;
  EXPECT_EQ(EADDRINUSE, second.open("127.0.0.1", listener_.port()));
  EXPECT_FALSE(second.isOpen());
  EXPECT_EQ(EALREADY, listener_.open("127.0.0.1", 0));
  EXPECT_EQ(EINVAL, second.open("localhost.invalid", 0));
  EXPECT_EQ(EINVAL, second.open("999.1.1.1", 0));

  const std::uint16_t port = listener_.port();
  listener_.close();
  EXPECT_EQ(0, listener_.port());
  int error = 0;
  EXPECT_FALSE(TcpConnection::connectTo("127.0.0.1", port, &error).valid());
  EXPECT_EQ(ECONNREFUSED, error);
  EXPECT_FALSE(TcpConnection::connectTo("not-numeric", port, &error).valid());
  EXPECT_EQ(EINVAL, error);
}

TEST(StopSignalsTest, TurnsSigtermAndSigintIntoEvents) {
  StopSignals signals;
  ASSERT_EQ(0, raise(SIGTERM));
  EXPECT_EQ(SIGTERM, signals.wait());
  ASSERT_EQ(0, raise(SIGINT));
  EXPECT_EQ(SIGINT, signals.wait());
}

}  // namespace
}  // namespace ostrel::utils
