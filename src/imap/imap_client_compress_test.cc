#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "imap/imap_client.h"
#include "tests/scripted_peer.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

// One direction of a compressed connection as zlib makes it: raw deflate,
// default level, each piece ending on a sync flush.
class Compressor {
 public:
  Compressor() { deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, 0); }
  ~Compressor() { deflateEnd(&stream_); }
  std::string operator()(const std::string& text) {
    char area[4096];
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream_.avail_in = static_cast<uInt>(text.size());
    stream_.next_out = reinterpret_cast<Bytef*>(area);
    stream_.avail_out = sizeof area;
    deflate(&stream_, Z_SYNC_FLUSH);
    return std::string(area, sizeof area - stream_.avail_out);
  }

 private:
  z_stream stream_{};
};

class ImapClientCompressTest : public ::testing::Test {
 protected:
  // The peer greets, takes the LOGIN (tag V`first`) and answers CAPABILITY
  // with `words`.
  void loginAndCapabilities(const std::string& words, int first = 0) {
    const std::string login = "V" + std::to_string(first);
    const std::string capability = "V" + std::to_string(first + 1);
    peer_.accept()
        .send("* OK ready\r\n")
        .expect(login + " LOGIN \"u\" \"p\"")
        .send(login + " OK\r\n")
        .expect(capability + " CAPABILITY")
        .send("* CAPABILITY IMAP4rev1 " + words + "\r\n" + capability + " OK\r\n");
  }

  // Connects and logs in with compression asked for; "" or the failure.
  std::string connect() {
    ClientSettings settings;
    settings.server.host = "127.0.0.1";
    settings.server.port = peer_.port();
    settings.server.timeoutSeconds = 2;
    settings.server.compress = true;
    settings.login = LoginKind::Plain;
    settings.user = "u";
    settings.password = "p";
    client_.configure(settings);
    try {
      client_.connect(true);
    } catch (const ImapException& error) {
      return error.what();
    }
    return "";
  }

  // NOOP's status word, or "failed" when the connection broke.
  std::string noop() {
    try {
      ImapCommand command(client_.nextTag(), "NOOP");
      return client_.execute(command) == CommandStatus::Ok ? "OK" : "not OK";
    } catch (const ImapException&) {
      return "failed";
    }
  }

  ScriptedPeer peer_;
  ImapClient client_;
};

TEST_F(ImapClientCompressTest, NotOfferedOrRefusedGoesOnUncompressed) {
  loginAndCapabilities("IDLE");
  peer_.expect("V2 NOOP").send("V2 OK\r\n");
  // Refused: the next command still goes in plain text.
  loginAndCapabilities("COMPRESS=DEFLATE", 3);
  peer_.expect("V5 COMPRESS DEFLATE").send("V5 NO not now\r\n").expect("V6 NOOP");
  peer_.send("V6 OK\r\n").close();
  peer_.start();
  for (int connection = 0; connection < 2; ++connection) {
    ASSERT_EQ(connect(), "");
    EXPECT_TRUE(client_.compressionDeclined());
    EXPECT_FALSE(client_.compressing());
    EXPECT_EQ(client_.failureCause(), "");
    EXPECT_EQ(noop(), "OK");
    client_.closeStream();
  }
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
}

TEST_F(ImapClientCompressTest, AcceptedCompressesBothWaysFromTheByteAfterTheAnswer) {
  Compressor client;
  Compressor server;
  loginAndCapabilities("COMPRESS=DEFLATE");
  // The server's first compressed bytes come in the same packet as its
  // plain answer: they must be inflated, not read as text.
  peer_.expect("V2 COMPRESS DEFLATE")
      .send("V2 OK DEFLATE active\r\n" + server("* 3 EXISTS\r\n"))
      .expectBytes(client("V3 NOOP\r\n"))
      .send(server("V3 OK done\r\n"))
      .close();
  peer_.start();
  ASSERT_EQ(connect(), "");
  EXPECT_TRUE(client_.compressing());
  EXPECT_FALSE(client_.compressionDeclined());
  ImapCommand command(client_.nextTag(), "NOOP");
  EXPECT_EQ(client_.execute(command), CommandStatus::Ok);
  EXPECT_EQ(command.untaggedLines().size(), 1u);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
}

TEST_F(ImapClientCompressTest, GarbageAfterTheSwitchFailsWithTheCause) {
  loginAndCapabilities("COMPRESS=DEFLATE");
  peer_.expect("V2 COMPRESS DEFLATE")
      .send("V2 OK DEFLATE active\r\n")
      .send("* OK this is not compressed\r\n" + std::string(32, '\xff'))
      .silence(3);
  peer_.start();
  ASSERT_EQ(connect(), "");
  EXPECT_EQ(noop(), "failed");
  const std::string expected = "127.0.0.1:" + std::to_string(peer_.port()) +
                               " sent compressed data that cannot be inflated (";
  EXPECT_EQ(client_.failureCause().rfind(expected, 0), 0u) << client_.failureCause();
  EXPECT_EQ(client_.state(), ClientState::Disconnected);
  peer_.finish();
}

}  // namespace
}  // namespace lodemig
