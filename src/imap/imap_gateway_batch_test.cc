#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "imap/imap_gateway.h"
#include "tests/scripted_peer.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

// A message held in memory; its piece number `failAt` cannot be read.
class HeldMessage : public IMessage {
 public:
  explicit HeldMessage(std::string content, std::string flags = "", std::string date = "")
      : content_(std::move(content)), flags_(std::move(flags)), date_(std::move(date)) {}
  bool firstChunk(std::string& buffer) override {
    pieces_ = 0;
    return nextChunk(buffer);
  }
  bool nextChunk(std::string& buffer) override {
    if (pieces_ == failAt) {
      throw std::runtime_error("cannot read");
    }
    buffer = pieces_++ == 0 ? content_ : std::string();
    return !buffer.empty();
  }
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return content_.size(); }
  std::uint32_t contentSize() override { return static_cast<std::uint32_t>(content_.size()); }
  int failAt = -1;

 private:
  std::string content_, flags_, date_;
  int pieces_ = 0;
};

class ImapGatewayBatchTest : public ::testing::Test {
 protected:
  // The peer's side of a login for "john@x" and of the questions learnServer()
  // asks, the server announcing `capabilities`.
  ScriptedPeer& login(const std::string& capabilities) {
    return peer_.accept()
        .send("* OK ready\r\n")
        .expect("V0 AUTHENTICATE PLAIN")
        .send("+ \r\n")
        .expect("am9obkB4AGFkbWluAG1hc3Rlci1wdw==")  // john@x NUL admin NUL master-pw
        .send("V0 OK in\r\n")
        .expect("V1 CAPABILITY")
        .send("* CAPABILITY IMAP4rev1 " + capabilities + "\r\nV1 OK\r\n")
        .expect("V2 LIST \"\" \"\"")
        .send("* LIST () \"/\" \"\"\r\nV2 OK\r\n");
  }
  // Connects and learns the server, `messages` per APPEND.
  void connect(std::size_t messages, std::size_t window) {
    peer_.start();
    ConnectionSettings settings;
    settings.host = "127.0.0.1";
    settings.port = peer_.port();
    settings.masterPassword = "master-pw";
    settings.timeoutSeconds = 2;
    settings.standardServer = true;
    settings.admin = "admin";
    ASSERT_EQ(gateway_.connectAs(settings, "john@x"), kGatewayOk);
    ServerTraits traits;
    ASSERT_EQ(gateway_.learnServer(traits), kGatewayOk);
    gateway_.setMultiAppend(messages);
    gateway_.setAppendWindow(window);
  }
  void expectAnswer(std::uint64_t token, GatewayResult result, std::uint64_t uid = 0) {
    const AppendAnswer answer = gateway_.awaitAppend();
    EXPECT_EQ(answer.token, token);
    EXPECT_EQ(answer.result, result) << token;
    EXPECT_EQ(answer.uid, uid) << token;
  }
  void finish() {
    gateway_.disconnect(false);
    EXPECT_TRUE(peer_.finish()) << peer_.failure();
  }

  ScriptedPeer peer_;
  ImapGateway gateway_;
};

TEST_F(ImapGatewayBatchTest, ConsecutiveMessagesShareOneCommandAndItsUidSet) {
  login("LITERAL+ MULTIAPPEND UIDPLUS")
      .expectBytes(
          "V3 APPEND \"INBOX\" (\\Seen ) \"30-Jun-1993 21:49:08 +0000\" {1+}\r\na {2+}\r\nbb"
          " (\\Flagged ) {3+}\r\nccc\r\n")
      .send("V3 OK [APPENDUID 7 10:12] done\r\n")
      // Another folder ends the command; the wait for its answer ends the
      // open one.
      .expectBytes("V4 APPEND \"INBOX\" {1+}\r\nd\r\nV5 APPEND \"Sent\" {1+}\r\ne {1+}\r\nf")
      .send("V4 OK [APPENDUID 7 13] done\r\n")
      .expectBytes("\r\n")
      .send("V5 OK [APPENDUID 8 3,5] done\r\n");
  connect(3, 6);
  EXPECT_EQ(gateway_.appendBatchSize(), 3u);
  HeldMessage a("a", "\\Seen \\Recent ", "30-Jun-1993 21:49:08 +0000");
  HeldMessage b("bb"), c("ccc", "\\Flagged "), d("d"), e("e"), f("f");
  EXPECT_EQ(gateway_.submitAppend("INBOX", a, false, 1), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", b, false, 2), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", c, false, 3), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", d, false, 4), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("Sent", e, false, 5), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("Sent", f, false, 6), kGatewayOk);
  EXPECT_EQ(gateway_.appendsOutstanding(), 6u);
  expectAnswer(1, kGatewayOk, 10);
  expectAnswer(2, kGatewayOk, 11);
  expectAnswer(3, kGatewayOk, 12);
  expectAnswer(4, kGatewayOk, 13);
  expectAnswer(5, kGatewayOk, 3);
  expectAnswer(6, kGatewayOk, 5);
  finish();
}

TEST_F(ImapGatewayBatchTest, RefusedCommandOfSeveralIsToldApartFromARefusedMessage) {
  login("LITERAL+ MULTIAPPEND")
      .expectBytes("V3 APPEND \"a\" {1+}\r\nx {1+}\r\ny\r\n")
      .send("V3 NO [LIMIT] too big\r\n")
      .expectBytes("V4 APPEND \"a\" {1+}\r\nz\r\n")
      .send("V4 NO [LIMIT] too big\r\n");
  connect(2, 4);
  HeldMessage x("x"), y("y"), z("z");
  EXPECT_EQ(gateway_.submitAppend("a", x, false, 1), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", y, false, 2), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", z, false, 3), kGatewayOk);
  expectAnswer(1, kGatewayBatchRefused);
  expectAnswer(2, kGatewayBatchRefused);
  // Alone in its command, the caller's wait having ended it.
  expectAnswer(3, kGatewayAppendFailed);
  finish();
}

TEST_F(ImapGatewayBatchTest, LargeMessagesAndServersWithoutItGoOnePerCommand) {
  const std::string large(ImapGateway::kLargestBatchedMessage, 'L');
  login("LITERAL+ MULTIAPPEND")
      .expectBytes("V3 APPEND \"a\" {1+}\r\nx\r\n")
      .expectBytes("V4 APPEND \"a\" {65536+}\r\n" + large + "\r\n")
      .send("V3 OK\r\nV4 OK\r\n")
      // Still open while the older ones are answered; the wait for its own
      // answer ends it.
      .expectBytes("V5 APPEND \"a\" {1+}\r\ny {1+}\r\nz\r\n")
      .send("V5 OK\r\n");
  connect(8, 8);
  HeldMessage x("x"), big(large), y("y"), z("z");
  EXPECT_EQ(gateway_.submitAppend("a", x, false, 1), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", big, false, 2), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", y, false, 3), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", z, false, 4), kGatewayOk);
  for (std::uint64_t token = 1; token <= 4; ++token) {
    expectAnswer(token, kGatewayOk);
  }
  finish();
}

TEST_F(ImapGatewayBatchTest, WithoutMultiAppendOrLiteralsAtOnceTheBatchIsOne) {
  login("LITERAL+ UIDPLUS");
  connect(8, 8);
  EXPECT_EQ(gateway_.appendBatchSize(), 1u);
  finish();
  ImapGateway other;
  ScriptedPeer second;
  second.accept().send("* OK ready\r\n").expect("V0 AUTHENTICATE PLAIN").send("+ \r\n");
  second.expect("am9obkB4AGFkbWluAG1hc3Rlci1wdw==").send("V0 OK in\r\n");
  second.expect("V1 CAPABILITY").send("* CAPABILITY IMAP4rev1 MULTIAPPEND\r\nV1 OK\r\n");
  second.expect("V2 LIST \"\" \"\"").send("V2 OK\r\n");
  second.start();
  ConnectionSettings settings;
  settings.host = "127.0.0.1";
  settings.port = second.port();
  settings.masterPassword = "master-pw";
  settings.timeoutSeconds = 2;
  settings.standardServer = true;
  settings.admin = "admin";
  ASSERT_EQ(other.connectAs(settings, "john@x"), kGatewayOk);
  ServerTraits traits;
  ASSERT_EQ(other.learnServer(traits), kGatewayOk);
  EXPECT_TRUE(traits.multiAppend);
  other.setMultiAppend(8);
  // Every literal would wait for a go-ahead: nothing to gain.
  EXPECT_EQ(other.appendBatchSize(), 1u);
  other.disconnect(false);
  EXPECT_TRUE(second.finish()) << second.failure();
}

TEST_F(ImapGatewayBatchTest, ContentFailureInsideACommandClosesWithNothingCompleted) {
  login("LITERAL+ MULTIAPPEND").expectBytes("V3 APPEND \"a\" {1+}\r\nx").expectClosed();
  connect(4, 4);
  HeldMessage x("x"), broken("hello");
  broken.failAt = 0;
  EXPECT_EQ(gateway_.submitAppend("a", x, false, 1), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("a", broken, false, 2), kGatewayConnectionProblem);
  EXPECT_EQ(gateway_.appendsOutstanding(), 0u);
  expectAnswer(0, kGatewayConnectionProblem);
  finish();
}

}  // namespace
}  // namespace lodemig
