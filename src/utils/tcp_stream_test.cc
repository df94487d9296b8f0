#include "utils/tcp_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/temp_dir.h"
#include "utils/tcp_buffer.h"

namespace ostrel::utils {
namespace {

constexpr int kWaitSeconds = 5;
constexpr std::uint32_t kArea = 4096;

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  }
  return bytes;
}

// A socket bound to 127.0.0.1 on a free port, not yet listening.
class BoundSocket {
 public:
  BoundSocket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~BoundSocket() { ::close(fd_); }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;

  bool listen() { return ::listen(fd_, 4) == 0; }
  // The next connection with bounded waits, or -1 when none comes in time.
  int accept() {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, kWaitSeconds * 1000) != 1) {
      return -1;
    }
    const int connection = ::accept(fd_, nullptr, nullptr);
    timeval limit{kWaitSeconds, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return connection;
  }
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// Serves one connection on 127.0.0.1 in its own thread; `serve` gets the
// socket, which is closed when it returns. Every wait is bounded, so the
// thread ends by itself.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int)> serve) {
    socket_.listen();
    thread_ = std::thread([this, serve = std::move(serve)] {
      // A write to a client that has gone must not end the test process.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      const int connection = socket_.accept();
      if (connection >= 0) {
        serve(connection);
        ::close(connection);
      }
    });
  }
  ~LoopbackServer() { join(); }

  void join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  std::uint16_t port() const { return socket_.port(); }

 private:
  BoundSocket socket_;
  std::thread thread_;
};

// Up to `limit` bytes, or fewer when the peer ends sending (`*sawEnd` true)
// or the wait runs out.
std::string receive(int fd, std::size_t limit = SIZE_MAX, bool* sawEnd = nullptr) {
  std::string bytes;
  char chunk[8192];
  while (bytes.size() < limit) {
    const ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, limit - bytes.size()), 0);
    if (got <= 0) {
      if (sawEnd != nullptr) {
        *sawEnd = got == 0;
      }
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

void sendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t result = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) {
      return;
    }
    sent += static_cast<std::size_t>(result);
  }
}

// Writes until the stream turns bad, with SIGPIPE at its default,
// process-ending action meanwhile. The attempts are bounded: the first sends
// after the peer's close may still be accepted locally.
bool writeUntilBad(basic_tcpclientiostream& stream, std::size_t blockSize = 1000) {
  struct sigaction byDefault {
  }, previous{};
  byDefault.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &byDefault, &previous);
  const std::string block = pattern(blockSize);
  for (int attempt = 0; attempt < 1000 && !stream.bad(); ++attempt) {
    stream.write(block.data(), static_cast<std::streamsize>(block.size()));
    stream.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sigaction(SIGPIPE, &previous, nullptr);
  return stream.bad();
}

// Against a peer that answers "late\r\n" only once it reads "go\n": the
// first read times out with eof, and the stream still works afterwards.
void expectTimeoutThenLateLine(basic_tcpclientiostream& stream) {
  ASSERT_TRUE(stream.good());
  std::string line;
  EXPECT_FALSE(std::getline(stream, line));
  EXPECT_TRUE(stream.eof());
  stream.clear();
  stream << "go\n";
  stream.flush();
  ASSERT_TRUE(std::getline(stream, line));
  EXPECT_EQ(line, "late\r");
}

class TcpStreamTest : public ::testing::Test {
 protected:
  // Ends the sending side under the buffer, so the peer sees only what went
  // out before, not what a later flush or close would send.
  static void shutDownUnderBuffer(basic_tcpclientiostream& stream) {
    auto* buffer = dynamic_cast<tcpbuffer*>(stream.rdbuf());
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(::shutdown(buffer->socket(), SHUT_WR), 0);
  }

  std::unique_ptr<basic_tcpclientiostream> connect(std::uint16_t port) {
    auto stream = std::make_unique<basic_tcpclientiostream>(
        InetSocketAddress(Inet4Address(0x7F000001u), port), InetSocketAddress(), kArea, 0, kArea);
    stream->open();
    return stream;
  }
};

// What the peer has received when the sending side is shut down under the
// buffer, without a later flush, after `buffered` bytes and then one write
// (or writeAndFlush, which must leave nothing behind) of `size`.
struct UnflushedCase {
  std::size_t buffered;
  std::size_t size;
  bool andFlush;
  std::size_t seenBeforeFlush;
};

TEST_F(TcpStreamTest, LargeWritesSendWholeAreasAndWriteAndFlushSendsEverything) {
  const UnflushedCase cases[] = {
      {0, 4096, false, 0},        // fits: stays buffered although the area is full
      {0, 5000, false, 4096},     // the full area goes out before any flush
      {0, 4097, false, 4096},     // one whole area, one byte kept
      {0, 8192, false, 8192},     // whole areas only: nothing kept
      {100, 10000, false, 8192},  // the buffered bytes lead the first area
      {4000, 97, false, 4096},    // just past the free area
      {4096, 1, false, 4096},     // a full area goes before the next byte
      {10, 3 * 4096 + 4091, false, 4 * 4096},
      {0, 70000, false, 17 * 4096},
      {90, 5000, true, 5090},
      {0, 70000, true, 70000},
      {4096, 1, true, 4097},
      {10, 0, true, 10},
      {4000, 8192, true, 12192},
  };
  for (const UnflushedCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.buffered) + " buffered, then " + std::to_string(c.size) +
                 (c.andFlush ? " and flush" : ""));
    std::string received;
    LoopbackServer server([&](int fd) { received = receive(fd); });
    auto stream = connect(server.port());
    ASSERT_TRUE(stream->good());
    const std::string data = pattern(c.buffered + c.size);
    stream->write(data.data(), static_cast<std::streamsize>(c.buffered));
    if (c.andFlush) {
      stream->writeAndFlush(data.data() + c.buffered, c.size);
    } else {
      stream->write(data.data() + c.buffered, static_cast<std::streamsize>(c.size));
    }
    EXPECT_TRUE(stream->good());
    shutDownUnderBuffer(*stream);
    server.join();
    EXPECT_EQ(received.size(), c.seenBeforeFlush);
    EXPECT_TRUE(received == data.substr(0, received.size()));
  }
}

TEST_F(TcpStreamTest, WritesOfMixedSizesAndRepeatedFlushesArriveWholeAndInOrder) {
  const std::size_t sizes[] = {1, 4095, 4097, 3, 8192, 12289, 70000, 4096, 17, 65535, 2, 9000};
  std::size_t total = 0;
  for (std::size_t size : sizes) {
    total += size;
  }
  const std::string data = pattern(total);
  std::string received;
  LoopbackServer server([&](int fd) { received = receive(fd); });
  auto stream = connect(server.port());
  ASSERT_TRUE(stream->good());
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    stream->write(data.data() + at, static_cast<std::streamsize>(size));
    at += size;
    if (size == 17) {
      // A second flush in a row has nothing left to send.
      stream->flush();
      stream->flush();
    }
  }
  stream->close();
  EXPECT_FALSE(stream->fail());
  server.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(TcpStreamTest, LargeTransferBothWaysKeepsEveryByte) {
  const std::string data = pattern(100000);
  LoopbackServer server([&](int fd) { sendAll(fd, receive(fd, data.size())); });
  auto stream = connect(server.port());
  ASSERT_TRUE(stream->good());
  stream->setTimeout(5);
  // Pieces that straddle the area boundaries.
  for (std::size_t at = 0; at < data.size(); at += 999) {
    *stream << data.substr(at, 999);
  }
  stream->flush();
  std::string echoed(data.size(), '\0');
  stream->read(echoed.data(), static_cast<std::streamsize>(echoed.size()));
  EXPECT_EQ(stream->gcount(), static_cast<std::streamsize>(data.size()));
  EXPECT_EQ(echoed, data);
}

TEST_F(TcpStreamTest, SilentServerEndsReadWithEofAndStreamStaysUsable) {
  LoopbackServer server([](int fd) {
    if (receive(fd, 3) == "go\n") {
      sendAll(fd, "late\r\n");
    }
    receive(fd);
  });
  auto stream = connect(server.port());
  stream->setTimeout(1);
  expectTimeoutThenLateLine(*stream);
}

TEST_F(TcpStreamTest, PeerCloseEndsReadWithEof) {
  LoopbackServer server([](int fd) { sendAll(fd, "hello\r\n"); });
  auto stream = connect(server.port());
  ASSERT_TRUE(stream->good());
  std::string line;
  ASSERT_TRUE(std::getline(*stream, line));
  EXPECT_EQ(line, "hello\r");
  EXPECT_FALSE(std::getline(*stream, line));
  EXPECT_TRUE(stream->eof());
}

TEST_F(TcpStreamTest, ClosedPortFailsAndCloseOpenRetriesWithNewSocket) {
  BoundSocket target;
  ASSERT_NE(target.port(), 0);
  auto stream = connect(target.port());
  EXPECT_TRUE(stream->fail());

  ASSERT_TRUE(target.listen());
  stream->close();
  stream->open();
  ASSERT_TRUE(stream->good());
  const int connection = target.accept();
  ASSERT_GE(connection, 0);
  sendAll(connection, "x");
  EXPECT_EQ(stream->get(), 'x');
  ::close(connection);
}

TEST_F(TcpStreamTest, UnspecifiedAddressNeverConnects) {
  BoundSocket target;
  ASSERT_TRUE(target.listen());
  // Linux itself would connect 0.0.0.0 to this host's listener.
  basic_tcpclientiostream zero(InetSocketAddress(Inet4Address(0), target.port()),
                               InetSocketAddress(), kArea, 0, kArea);
  zero.open();
  EXPECT_TRUE(zero.fail());

  basic_tcpclientiostream unresolvable(
      InetSocketAddress("imap://no-such-host.invalid:" + std::to_string(target.port())),
      InetSocketAddress(), kArea, 0, kArea);
  unresolvable.open();
  EXPECT_TRUE(unresolvable.fail());
}

TEST_F(TcpStreamTest, NeverOpenedStreamFailsToCloseWriteAndRead) {
  basic_tcpclientiostream stream(InetSocketAddress(), InetSocketAddress(), kArea, 0, kArea);
  stream.close();
  EXPECT_TRUE(stream.fail());
  stream.clear();
  stream << "x" << std::flush;
  EXPECT_TRUE(stream.bad());
  stream.clear();
  stream.writeAndFlush("x", 1);
  EXPECT_TRUE(stream.bad());
}

TEST_F(TcpStreamTest, WritingAfterPeerClosedSetsBadStateWithoutSignal) {
  for (std::size_t block : {std::size_t{1000}, std::size_t{50000}}) {
    SCOPED_TRACE(block);
    LoopbackServer server([](int) {});
    auto stream = connect(server.port());
    ASSERT_TRUE(stream->good());
    server.join();
    EXPECT_EQ(stream->get(), std::char_traits<char>::eof());
    stream->clear();
    EXPECT_TRUE(writeUntilBad(*stream, block));
  }
}

using ServerContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A server context with a certificate made on the fly: an EC key and a
// self-signed X509. Null when any step fails.
ServerContext makeServerContext() {
  ServerContext context(nullptr, SSL_CTX_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) {
    return context;
  }
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) != 0) {
    context.reset(SSL_CTX_new(TLS_server_method()));
  }
  if (context && (SSL_CTX_use_certificate(context.get(), cert.get()) != 1 ||
                  SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1)) {
    context.reset();
  }
  return context;
}

std::string tlsReadLine(SSL* ssl) {
  std::string line;
  char c = 0;
  while (line.size() < 1000 && SSL_read(ssl, &c, 1) == 1) {
    line.push_back(c);
    if (c == '\n') {
      break;
    }
  }
  return line;
}

TEST_F(TcpStreamTest, FileRangesFollowTheBufferedBytes) {
  lodemig::testing::ScopedTempDir directory;
  const std::string content = pattern(80000);
  lodemig::testing::writeFile(directory / "file", content);
  const int fd = ::open((directory / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string received;
  LoopbackServer server([&](int peer) { received = receive(peer); });
  auto stream = connect(server.port());
  ASSERT_TRUE(stream->good());
  stream->write("command {70000}\r\n", 17);
  EXPECT_EQ(stream->sendFileRange(fd, 10, 70000), 70000u);
  // Past the end of the file: only the bytes it has.
  EXPECT_EQ(stream->sendFileRange(fd, 79990, 100), 10u);
  EXPECT_EQ(stream->sendFileRange(fd, 90000, 100), 0u);
  stream->writeAndFlush("\r\n", 2);
  EXPECT_TRUE(stream->good());
  stream->close();
  server.join();
  ::close(fd);
  EXPECT_TRUE(received ==
              "command {70000}\r\n" + content.substr(10, 70000) + content.substr(79990) + "\r\n");
}

class TlsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(server_, nullptr); }

  // Accepts TLS on `fd` and hands the session to `serve`.
  std::function<void(int)> tlsServer(std::function<void(SSL*)> serve) {
    return [this, serve = std::move(serve)](int fd) {
      SSL* ssl = SSL_new(server_.get());
      if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
        serve(ssl);
      }
      SSL_free(ssl);
      ERR_clear_error();
    };
  }

  std::unique_ptr<basic_tcpclientiostream> connect(std::uint16_t port, bool useTls,
                                                   unsigned timeout) {
    Url url("imap://127.0.0.1:" + std::to_string(port));
    auto stream = std::make_unique<basic_tcpclientiostream>(
        InetSSLSocketAddress(url, "", ""), InetSocketAddress(), kArea, 0, kArea, 0, useTls);
    stream->setTimeout(timeout);
    stream->open();
    return stream;
  }

  ServerContext server_ = makeServerContext();
};

TEST_F(TlsStreamTest, RoundTripIncludingRecordLargerThanReadArea) {
  const std::string payload = pattern(16384);
  std::string request;
  LoopbackServer server(tlsServer([&](SSL* ssl) {
    request = tlsReadLine(ssl);
    SSL_write(ssl, "* OK\r\n", 6);
    // One record of 16384 bytes: most of it waits inside the TLS layer while
    // the socket itself has nothing more to read.
    SSL_write(ssl, payload.data(), static_cast<int>(payload.size()));
    tlsReadLine(ssl);
    SSL_shutdown(ssl);
  }));
  auto stream = connect(server.port(), true, 2);
  ASSERT_TRUE(stream->good());
  *stream << "a1 NOOP\r\n";
  stream->flush();
  std::string line;
  ASSERT_TRUE(std::getline(*stream, line));
  EXPECT_EQ(line, "* OK\r");
  std::string got(payload.size(), '\0');
  stream->read(got.data(), static_cast<std::streamsize>(got.size()));
  EXPECT_EQ(got, payload);
  *stream << "bye\n";
  stream->close();
  EXPECT_FALSE(stream->fail());
  server.join();
  EXPECT_EQ(request, "a1 NOOP\r\n");
}

TEST_F(TlsStreamTest, LargeWritesAfterBufferedBytesArriveInOrder) {
  const std::string data = pattern(100 + 3 * 4096 + 50000);
  std::string received;
  LoopbackServer server(tlsServer([&](SSL* ssl) {
    char chunk[16384];
    int got;
    while (received.size() < data.size() &&
           (got = SSL_read(ssl, chunk, static_cast<int>(sizeof chunk))) > 0) {
      received.append(chunk, static_cast<std::size_t>(got));
    }
    SSL_write(ssl, "ok\n", 3);
  }));
  auto stream = connect(server.port(), true, 2);
  ASSERT_TRUE(stream->good());
  stream->write(data.data(), 100);
  // The file's bytes would bypass the session: none are sent that way.
  EXPECT_EQ(stream->sendFileRange(STDIN_FILENO, 0, 10), 0u);
  stream->write(data.data() + 100, 3 * 4096);
  stream->write(data.data() + 100 + 3 * 4096, 50000);
  stream->flush();
  std::string line;
  EXPECT_TRUE(std::getline(*stream, line));
  EXPECT_EQ(line, "ok");
  stream->close();
  server.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(TlsStreamTest, SilentServerEndsReadWithEofAndSessionStaysUsable) {
  LoopbackServer server(tlsServer([](SSL* ssl) {
    if (tlsReadLine(ssl) == "go\n") {
      SSL_write(ssl, "late\r\n", 6);
    }
    tlsReadLine(ssl);
  }));
  auto stream = connect(server.port(), true, 1);
  expectTimeoutThenLateLine(*stream);
  *stream << "bye\n";
  stream->close();
}

TEST_F(TlsStreamTest, HandshakeWithPlainServerFails) {
  LoopbackServer server([](int fd) { sendAll(fd, "* OK plain text server\r\n"); });
  auto stream = connect(server.port(), true, 2);
  EXPECT_TRUE(stream->fail());
}

TEST_F(TlsStreamTest, SilentServerBoundsHandshakeByReadTimeout) {
  bool clientGaveUp = false;
  LoopbackServer server([&](int fd) { receive(fd, SIZE_MAX, &clientGaveUp); });
  auto stream = connect(server.port(), true, 1);
  EXPECT_TRUE(stream->fail());
  stream->close();
  server.join();
  // The client ended its attempt before the server's own wait ran out.
  EXPECT_TRUE(clientGaveUp);
}

TEST_F(TlsStreamTest, WritingAfterPeerClosedSetsBadStateWithoutSignal) {
  LoopbackServer server(tlsServer([](SSL*) {}));
  auto stream = connect(server.port(), true, 2);
  ASSERT_TRUE(stream->good());
  server.join();
  // No read first: a failed TLS read would stop the session from writing at all.
  EXPECT_TRUE(writeUntilBad(*stream));
}

}  // namespace
}  // namespace ostrel::utils
