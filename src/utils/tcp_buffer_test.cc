#include "utils/tcp_buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <istream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_dir.h"
#include "tests/test_certificates.h"
#include "utils/tcp_server.h"
#include "utils/tls_server.h"

namespace ostrel::utils {
namespace {

constexpr int kWaitMs = 5000;
constexpr std::uint32_t kArea = 4096;

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  }
  return bytes;
}

std::string coded(std::string bytes, char key) {
  for (char& byte : bytes) {
    byte = static_cast<char>(byte ^ key);
  }
  return bytes;
}

// A layer that changes every byte by XOR with its key both ways (key 0
// passes bytes through), counts what goes through it, logs its close, and
// can hold input that the buffer must take before anything on the socket.
class XorLayer : public ConnectionLayer {
 public:
  XorLayer(ConnectionLayer& below, char key, int socket, std::string* closeLog)
      : below_(below), key_(key), socket_(socket), closeLog_(closeLog) {}

  long send(const char* bytes, std::size_t count) override {
    const std::string out = coded(std::string(bytes, count), key_);
    const long sent = below_.send(out.data(), out.size());
    sentThrough += sent > 0 ? static_cast<std::size_t>(sent) : 0;
    return sent;
  }
  long receive(char* bytes, std::size_t count) override {
    if (!held.empty()) {
      int queued = -1;
      ::ioctl(socket_, FIONREAD, &queued);
      queuedWhenHeldTaken = queued;
      const std::size_t size = std::min(count, held.size());
      held.copy(bytes, size);
      held.erase(0, size);
      return static_cast<long>(size);
    }
    const long received = below_.receive(bytes, count);
    for (long i = 0; i < received; ++i) {
      bytes[i] = static_cast<char>(bytes[i] ^ key_);
    }
    return received;
  }
  bool hasPendingInput() const override { return !held.empty(); }
  bool passesThrough() const override { return key_ == 0; }
  bool close() override {
    closeLog_->push_back(key_ == 0 ? '0' : key_);
    return true;
  }

  std::size_t sentThrough = 0;
  std::string held;
  int queuedWhenHeldTaken = -1;

 private:
  ConnectionLayer& below_;
  char key_;
  int socket_;
  std::string* closeLog_;
};

// A tcpbuffer connected to a peer socket on 127.0.0.1 that the test itself
// reads and writes; every read of the peer waits at most kWaitMs.
class TcpLayerChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.open("127.0.0.1", 0), 0);
    connect(std::make_unique<tcpbuffer>(address(), kArea, kArea));
  }

  InetSocketAddress address() const {
    return InetSocketAddress(Inet4Address(0x7F000001u), listener_.port());
  }
  void connect(std::unique_ptr<tcpbuffer> buffer) {
    buffer_ = std::move(buffer);
    buffer_->setTimeout(5);
    stream_ = std::make_unique<std::iostream>(buffer_.get());
    ASSERT_TRUE(buffer_->createAndBind());
    ASSERT_TRUE(buffer_->connect());
    peer_ = ServerConnection(listener_.accept(kWaitMs));
    ASSERT_TRUE(peer_.valid());
  }
  XorLayer& push(char key) {
    auto layer = std::make_unique<XorLayer>(buffer_->top(), key, buffer_->socket(), &closeLog_);
    XorLayer& added = *layer;
    buffer_->pushLayer(std::move(layer));
    return added;
  }
  // Exactly `size` bytes from the peer's side, or fewer when it ends first.
  std::string peerReceive(std::size_t size) {
    std::string bytes;
    char chunk[8192];
    while (bytes.size() < size) {
      const long got = peer_.receive(chunk, std::min(sizeof chunk, size - bytes.size()), kWaitMs);
      if (got <= 0) {
        break;
      }
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
  }
  std::string line() {
    std::string text;
    std::getline(*stream_, text);
    return text;
  }

  TcpListener listener_;
  std::unique_ptr<tcpbuffer> buffer_;
  std::unique_ptr<std::iostream> stream_;
  ServerConnection peer_;
  std::string closeLog_;
};

TEST_F(TcpLayerChainTest, ChangingLayerCarriesLargeWritesAndFileRangesFallBackToIt) {
  lodemig::testing::ScopedTempDir directory;
  const std::string content = pattern(3 * kArea + 100);
  lodemig::testing::writeFile(directory / "file", content);
  const int fd = ::open((directory / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  XorLayer& layer = push(0x5A);
  *stream_ << "head {12388}\r\n";
  EXPECT_EQ(buffer_->sendFileRange(fd, 0, content.size()), 0u);
  ::close(fd);
  stream_->write(content.data(), static_cast<std::streamsize>(content.size()));
  stream_->flush();
  const std::string sent = "head {12388}\r\n" + content;
  EXPECT_TRUE(peerReceive(sent.size()) == coded(sent, 0x5A));
  EXPECT_EQ(layer.sentThrough, sent.size());
}

TEST_F(TcpLayerChainTest, PassThroughLayerLeavesGatheredSendsAndFileRangesToTheSocket) {
  lodemig::testing::ScopedTempDir directory;
  const std::string content = pattern(20000);
  lodemig::testing::writeFile(directory / "file", content);
  const int fd = ::open((directory / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  XorLayer& layer = push(0);
  stream_->write(content.data(), 3 * kArea);
  EXPECT_EQ(buffer_->sendFileRange(fd, 5, 1000), 1000u);
  ::close(fd);
  EXPECT_TRUE(peerReceive(3 * kArea + 1000) ==
              content.substr(0, 3 * kArea) + content.substr(5, 1000));
  EXPECT_EQ(layer.sentThrough, 0u);
}

// As after STARTTLS: the bytes exchanged before the switch stay as they
// were, even those already received and not yet read; later ones are coded.
TEST_F(TcpLayerChainTest, LayerSwitchedOnMidStreamCodesOnlyLaterBytes) {
  *stream_ << "a1 SWITCH\r\n" << std::flush;
  ASSERT_TRUE(peer_.sendAll("a1 OK\r\nbefore\r\n"));
  EXPECT_EQ(line(), "a1 OK\r");
  push(0x21);
  *stream_ << "after\r\n" << std::flush;
  ASSERT_TRUE(peer_.sendAll(coded("reply\r\n", 0x21)));
  EXPECT_EQ(line(), "before\r");
  EXPECT_EQ(line(), "reply\r");
  EXPECT_EQ(peerReceive(18), "a1 SWITCH\r\n" + coded("after\r\n", 0x21));
}

// Were the buffer to wait on the socket for its input, the peer would give
// up waiting for the acknowledgement and send its bytes, which the layer
// would then find queued on the socket.
TEST_F(TcpLayerChainTest, InputHeldAboveTheSocketIsTakenWithoutWaitingForMore) {
  XorLayer& layer = push(0x33);
  layer.held = "held\n";
  std::thread peer([this] {
    char ack[4];
    (void)peer_.receive(ack, sizeof ack, kWaitMs);
    (void)peer_.sendAll(coded(pattern(1000), 0x33));
  });
  EXPECT_EQ(line(), "held");
  *stream_ << "ack\n" << std::flush;
  peer.join();
  EXPECT_EQ(layer.queuedWhenHeldTaken, 0);
}

TEST_F(TcpLayerChainTest, CloseFlushesThroughTheLayersThenClosesThemTopDown) {
  push(0x01);
  push(0x10);
  *stream_ << "bye\r\n";
  EXPECT_TRUE(buffer_->close());
  EXPECT_EQ(closeLog_, std::string("\x10\x01"));
  EXPECT_EQ(peerReceive(100), coded("bye\r\n", 0x11));
}

TEST_F(TcpLayerChainTest, PlainConnectionHasNoTls) {
  EXPECT_FALSE(buffer_->startTls());
  EXPECT_EQ(buffer_->tlsFailure(), "");
  *stream_ << "still plain\n" << std::flush;
  EXPECT_EQ(peerReceive(12), "still plain\n");
}

// A connection that starts TLS on request, with a server whose certificate
// is taken as presented.
class TlsLayerChainTest : public TcpLayerChainTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.open("127.0.0.1", 0), 0);
    const auto files = lodemig::testing::makeTestCertificates(directory_.path());
    ASSERT_EQ(server_.load(files.validCert, files.validKey), "");
    connect(std::make_unique<tcpbuffer>(address(), kArea, kArea,
                                        std::make_unique<ssl::TlsClientConfig>(),
                                        tcpbuffer::TlsStart::kOnRequest));
  }

  lodemig::testing::ScopedTempDir directory_;
  TlsServerContext server_;
};

TEST_F(TlsLayerChainTest, StartTlsAfterPlainExchangeEncryptsTheRest) {
  *stream_ << "a1 STARTTLS\r\n" << std::flush;
  EXPECT_EQ(peerReceive(13), "a1 STARTTLS\r\n");
  std::thread peer([this] {
    if (peer_.startTls(server_)) {
      (void)peer_.sendAll("secret answer\r\n");
    }
  });
  const bool started = buffer_->startTls();
  if (!started) {
    peer_.shutdownBoth();
  }
  peer.join();
  ASSERT_TRUE(started) << buffer_->tlsFailure();
  EXPECT_EQ(line(), "secret answer\r");
  *stream_ << "a2 LOGIN\r\n" << std::flush;
  EXPECT_EQ(peerReceive(10), "a2 LOGIN\r\n");
}

TEST_F(TlsLayerChainTest, FailedHandshakeLetsNoPlainTextOut) {
  std::thread peer([this] {
    char hello[1];
    (void)peer_.receive(hello, sizeof hello, kWaitMs);
    (void)peer_.sendAll("* not TLS at all\r\n");
  });
  EXPECT_FALSE(buffer_->startTls());
  peer.join();
  EXPECT_NE(buffer_->tlsFailure(), "");
  *stream_ << "a2 LOGIN user password\r\n" << std::flush;
  EXPECT_TRUE(stream_->bad());
  buffer_->close();
  EXPECT_EQ(peerReceive(SIZE_MAX).find("password"), std::string::npos);
}

TEST_F(TlsLayerChainTest, TlsStartsOnlyRightAboveTheSocket) {
  push(0x44);
  EXPECT_FALSE(buffer_->startTls());
  EXPECT_EQ(buffer_->tlsFailure(), "TLS can only start right above the socket");
}

}  // namespace
}  // namespace ostrel::utils
