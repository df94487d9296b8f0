#include "utils/tls_server.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/temp_dir.h"
#include "tests/test_certificates.h"
#include "tests/tls_client.h"

namespace ostrel::utils {
namespace {

class TlsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ("", context_.load(files_.validCert, files_.validKey));
    ASSERT_EQ(0, listener_.open("127.0.0.1", 0));
  }

  // Connects `client_`, and runs both sides of the handshake.
  void connectTls() {
    socket_ = TcpConnection::connectTo("127.0.0.1", listener_.port());
    server_ = ServerConnection(listener_.accept(5000));
    ASSERT_TRUE(server_.valid());
    bool verified = false;
    std::thread client(
        [&] { verified = client_.handshake(socket_.socket(), files_.caFile, "127.0.0.1"); });
    const bool accepted = server_.startTls(context_);
    client.join();
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(verified) << client_.error();
  }

  std::string receiveText(int timeoutMs, std::size_t size = 64) {
    char buffer[64];
    const long count = server_.receive(buffer, std::min(size, sizeof buffer), timeoutMs);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count))
                     : "<" + std::to_string(count) + ">";
  }

  lodemig::testing::ScopedTempDir dir_;
  const lodemig::testing::TestCertificates files_ =
      lodemig::testing::makeTestCertificates(dir_.path());
  TlsServerContext context_;
  TcpListener listener_;
  TcpConnection socket_;
  lodemig::testing::TlsClient client_;
  ServerConnection server_;
};

TEST_F(TlsServerTest, ReceiveTakesBytesOpenSslHoldsWithoutWaitingForTheSocket) {
  connectTls();
  ASSERT_TRUE(client_.sendAll("hello world", 11));
  EXPECT_EQ("hello", receiveText(5000, 5));
  // The rest of the record is decrypted already; the socket has nothing.
  EXPECT_EQ(" world", receiveText(0));
  EXPECT_EQ("<" + std::to_string(TcpConnection::kTimedOut) + ">", receiveText(0));

  ASSERT_TRUE(server_.sendAll(std::string("answer")));
  char buffer[16];
  EXPECT_EQ(6, client_.receive(buffer, sizeof buffer, 5000));
  server_.endTls();
  EXPECT_EQ(0, client_.receive(buffer, sizeof buffer, 5000));  // close_notify
}

TEST_F(TlsServerTest, ShutdownBothEndsABlockedReceiveAsAClose) {
  connectTls();
  std::thread stopper([this] { server_.shutdownBoth(); });
  EXPECT_EQ("<" + std::to_string(TcpConnection::kClosed) + ">", receiveText(-1));
  stopper.join();
  EXPECT_FALSE(server_.sendAll(std::string("late")));
}

TEST_F(TlsServerTest, HandshakeWithAPlainPeerFailsAndTlsStartsOnlyOnce) {
  socket_ = TcpConnection::connectTo("127.0.0.1", listener_.port());
  server_ = ServerConnection(listener_.accept(5000));
  ASSERT_TRUE(socket_.sendAll(std::string("A1 CAPABILITY\r\n")));
  EXPECT_FALSE(server_.startTls(context_));
  EXPECT_FALSE(server_.usesTls());

  connectTls();
  EXPECT_FALSE(server_.startTls(context_));
  EXPECT_TRUE(server_.usesTls());
}

TEST_F(TlsServerTest, LoadNamesTheFileAndTheReason) {
  const struct {
    std::string certificate;
    std::string key;
    std::string message;
  } cases[] = {
      {dir_ / "none.pem", files_.validKey,
       "cannot use TLS certificate " + dir_ / "none.pem" + ": No such file or directory"},
      {files_.validKey, files_.validKey,
       "cannot use TLS certificate " + files_.validKey + ": no start line"},
      {files_.validCert, dir_ / "none.key",
       "cannot use TLS key " + dir_ / "none.key" + ": No such file or directory"},
      {files_.validCert, files_.otherNameKey,
       "cannot use TLS key " + files_.otherNameKey + ": key values mismatch"},
  };
  for (const auto& c : cases) {
    TlsServerContext context;
    EXPECT_EQ(c.message, context.load(c.certificate, c.key));
    EXPECT_FALSE(context.loaded());
  }
}

}  // namespace
}  // namespace ostrel::utils
