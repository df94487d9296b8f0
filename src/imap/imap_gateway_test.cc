#include "imap/imap_gateway.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/scripted_peer.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

constexpr char kGreeting[] = "* OK ready\r\n";
constexpr char kMasterPassword[] = "master-pw";

// The settings of a scripted peer's port on 127.0.0.1.
ConnectionSettings local(int port, const std::string& password = kMasterPassword,
                         unsigned timeoutSeconds = 2) {
  ConnectionSettings settings;
  settings.host = "127.0.0.1";
  settings.port = port;
  settings.masterPassword = password;
  settings.timeoutSeconds = timeoutSeconds;
  return settings;
}

// The server side of a master login whose X-MASTERAUTH is tagged `tag`. The
// reply is the MD5 of "<12345.678@target>master-pw".
ScriptedPeer& masterLogin(ScriptedPeer& peer, int tag) {
  const std::string t = "V" + std::to_string(tag);
  return peer.accept()
      .send(kGreeting)
      .expect(t + " X-MASTERAUTH")
      .send("+ <12345.678@target>\r\n")
      .expect("aef74ed1caa4ebe46cf72cb97dda3b54")
      .send(t + " OK\r\n");
}

// A message held in memory, delivered in pieces of `piece` bytes. It can fail
// at a given piece, fail to count its size, or announce more or fewer bytes
// than it delivers; with `file` set it offers that descriptor and
// `fileOffset` as its stored bytes.
class TestMessage : public IMessage {
 public:
  explicit TestMessage(std::string content, std::string flags = "", std::string date = "")
      : content_(std::move(content)), flags_(std::move(flags)), date_(std::move(date)) {}
  bool firstChunk(std::string& buffer) override {
    position_ = 0;
    pieces_ = 0;
    return nextChunk(buffer);
  }
  bool nextChunk(std::string& buffer) override {
    if (pieces_++ == failAt) {
      throw std::runtime_error("cannot read");
    }
    buffer = content_.substr(position_, piece);
    position_ += buffer.size();
    return !buffer.empty();
  }
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return content_.size(); }
  std::uint32_t contentSize() override {
    if (failSize) {
      throw std::runtime_error("cannot count");
    }
    return static_cast<std::uint32_t>(content_.size() + sizeDelta);
  }
  bool storedRange(int& fd, std::uint64_t& offset) override {
    fd = file;
    offset = fileOffset;
    return file >= 0;
  }

  std::size_t piece = 4;
  int failAt = -1;
  int sizeDelta = 0;
  bool failSize = false;
  int file = -1;
  std::uint64_t fileOffset = 0;

 private:
  std::string content_, flags_, date_;
  std::size_t position_ = 0;
  int pieces_ = 0;
};

class ImapGatewayTest : public ::testing::Test {
 protected:
  GatewayResult connect() {
    peer_.start();
    return gateway_.connectMaster(local(peer_.port()));
  }
  void finish() { EXPECT_TRUE(peer_.finish()) << peer_.failure(); }

  ScriptedPeer peer_;
  ImapGateway gateway_;
};

// Runs `operation` after a master login; the peer expects `wire` and answers.
int play(const std::function<int(ImapGateway&)>& operation, const std::string& wire,
         const std::string& answer) {
  ScriptedPeer peer;
  masterLogin(peer, 0).expectBytes(wire).send(answer);
  peer.start();
  ImapGateway gateway;
  EXPECT_EQ(gateway.connectMaster(local(peer.port())), kGatewayOk);
  const int result = operation(gateway);
  EXPECT_TRUE(peer.finish()) << wire << ": " << peer.failure();
  return result;
}

TEST(ImapGatewayWireTest, CommandLinesAreExact) {
  TestMessage flagged("hello", "\\Seen \\Answered ", "30-Jun-1993 21:49:08 +0000");
  TestMessage plain("hello");
  TestMessage empty("");
  TestMessage pieces("0123456789abcdefghij\r\nklmnopq\r\n");
  const struct {
    std::function<int(ImapGateway&)> operation;
    std::string wire, answer;
    int result;
  } cases[] = {
      {[](ImapGateway& g) { return g.createUser("alice", "example.com", "pw", ""); },
       "V1 X-CREATEUSER (NAME {5+}\r\nalice DOMAIN {11+}\r\nexample.com PASSWORD \"pw\")\r\n",
       "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.createUser("a b\"c", "zo\xc3\xab.org", "p\"w", "Al \"I\""); },
       "V1 X-CREATEUSER (NAME {5+}\r\na b\"c DOMAIN {8+}\r\nzo\xc3\xab.org PASSWORD \"p\\\"w\" "
       "FULLNAME \"Al \\\"I\\\"\")\r\n",
       "V1 NO exists\r\n", 5},
      {[](ImapGateway& g) {
         return g.createUser("a", "b", "c", "", {"g1", "g2"});
       },
       "V1 X-CREATEUSER (NAME {1+}\r\na DOMAIN {1+}\r\nb PASSWORD \"c\" GROUPS ( \"g1\"  "
       "\"g2\"))\r\n",
       "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.setUser("bob", "example.com"); },
       "V1 X-SETUSER \"bob@example.com\"\r\n", "V1 NO who\r\n", 6},
      {[](ImapGateway& g) { return g.createFolder("Inbox", 5); },
       "V1 CREATE (X-MAIL) \"Inbox\"\r\n", "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.createFolder("My \"Box\"", 0); },
       "V1 CREATE \"My \\\"Box\\\"\"\r\n", "V1 BAD no\r\n", 7},
      {[](ImapGateway& g) { return g.createFolder("x", 7); }, "V1 CREATE \"x\"\r\n", "V1 OK\r\n",
       0},
      {[](ImapGateway& g) { return g.createFolder("C", 2, "G-1"); },
       "V1 CREATE (X-CALENDAR GUID \"G-1\") \"C\"\r\n", "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.createFolder("y", 0, "G-2"); },
       "V1 CREATE (GUID \"G-2\") \"y\"\r\n", "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.select("Sent Items"); }, "V1 SELECT \"Sent Items\"\r\n",
       "V1 NO missing\r\n", 10},
      {[&](ImapGateway& g) { return g.append("INBOX", flagged, false); },
       "V1 APPEND \"INBOX\" (\\Seen \\Answered ) \"30-Jun-1993 21:49:08 +0000\" {5+}\r\nhello\r\n",
       "V1 OK\r\n", 0},
      {[&](ImapGateway& g) { return g.append("INBOX", plain, true); },
       "V1 X-APPEND \"INBOX\" {5+}\r\nhello\r\n", "V1 NO full\r\n", 8},
      {[&](ImapGateway& g) { return g.append("INBOX", empty, false); },
       "V1 APPEND \"INBOX\" {0+}\r\n\r\n", "V1 OK\r\n", 0},
      {[&](ImapGateway& g) { return g.append("A/B", pieces, false); },
       "V1 APPEND \"A/B\" {31+}\r\n0123456789abcdefghij\r\nklmnopq\r\n\r\n", "V1 OK\r\n", 0},
      {[](ImapGateway& g) { return g.checkVersion() ? 1 : 0; }, "V1 X-CHECKVERSION\r\n",
       "V1 NO server 6.4.1\r\n", 1},
      {[](ImapGateway& g) { return g.checkVersion() ? 1 : 0; }, "V1 X-CHECKVERSION\r\n",
       "V1 BAD 6.4.1\r\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(play(c.operation, c.wire, c.answer), c.result) << c.wire;
  }
  const char* const words[] = {"X-CONTACT", "X-CALENDAR", "X-TODO",
                               "X-JOURNAL", "X-MAIL",     "X-NOTE"};
  for (int type = 1; type <= 6; ++type) {
    const std::string wire = "V1 CREATE (" + std::string(words[type - 1]) + ") \"f\"\r\n";
    EXPECT_EQ(play([type](ImapGateway& g) { return g.createFolder("f", type); }, wire, "V1 OK\r\n"),
              0);
  }
}

TEST_F(ImapGatewayTest, NeverConnectedGatewayAnswersOne) {
  TestMessage message("x");
  EXPECT_EQ(gateway_.createUser("a", "b", "c", "d"), kGatewayNotConnected);
  EXPECT_EQ(gateway_.setUser("a", "b"), kGatewayNotConnected);
  EXPECT_EQ(gateway_.createFolder("a", 5), kGatewayNotConnected);
  EXPECT_EQ(gateway_.select("a"), kGatewayNotConnected);
  EXPECT_EQ(gateway_.append("a", message, false), kGatewayNotConnected);
  EXPECT_FALSE(gateway_.checkVersion());
  gateway_.disconnect(true);
  EXPECT_EQ(gateway_.client().state(), ClientState::Disconnected);
}

TEST_F(ImapGatewayTest, ConnectWhileConnectedSendsNothing) {
  masterLogin(peer_, 0).expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  EXPECT_EQ(gateway_.connectMaster(local(peer_.port())), kGatewayAlreadyConnected);
  gateway_.disconnect(false);
  finish();
  EXPECT_EQ(peer_.received().size(), 2u);
}

TEST_F(ImapGatewayTest, ConnectFailures) {
  peer_.accept().send(kGreeting).expect("V0 X-MASTERAUTH").send("+ <1>\r\n").readLine();
  peer_.send("V0 NO wrong password\r\n").accept().send("* BYE full\r\n");
  EXPECT_EQ(connect(), kGatewayAuthenticationFailed);
  EXPECT_FALSE(gateway_.connected());
  EXPECT_EQ(gateway_.connectMaster(local(peer_.port(), "x")), kGatewayConnectionProblem);
  finish();
  int port = 0;
  {
    const ScriptedPeer gone;
    port = gone.port();
  }
  EXPECT_EQ(gateway_.connectMaster(local(port, "x")), kGatewayConnectionProblem);
}

TEST_F(ImapGatewayTest, SelectAndLogout) {
  masterLogin(peer_, 0).expect("V1 SELECT \"INBOX\"").send("* 0 EXISTS\r\nV1 OK\r\n");
  peer_.expect("V2 LOGOUT").send("* BYE bye\r\nV2 OK\r\n").expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  EXPECT_EQ(gateway_.select("INBOX"), kGatewayOk);
  EXPECT_EQ(gateway_.client().state(), ClientState::Selected);
  gateway_.disconnect(true);
  EXPECT_EQ(gateway_.select("INBOX"), kGatewayNotConnected);
  finish();
}

TEST(ImapGatewayWireTest, SelectReportsTheLastExistsCount) {
  const struct {
    const char* answer;
    int result;
    std::int64_t count;
  } cases[] = {
      {"* 172 EXISTS\r\n* 1 RECENT\r\nV1 OK\r\n", kGatewayOk, 172},
      {"* 0 EXISTS\r\nV1 OK [READ-WRITE] done\r\n", kGatewayOk, 0},
      {"* 3 EXISTS\r\n* 5 EXISTS\r\nV1 OK\r\n", kGatewayOk, 5},
      {"* OK [UIDVALIDITY 1]\r\nV1 OK\r\n", kGatewayOk, -1},
      {"* 7 EXISTS\r\nV1 NO gone\r\n", kGatewaySelectFailed, -1},
  };
  for (const auto& c : cases) {
    std::int64_t count = -2;
    EXPECT_EQ(play([&](ImapGateway& g) { return g.select("Box", &count); }, "V1 SELECT \"Box\"\r\n",
                   c.answer),
              c.result)
        << c.answer;
    EXPECT_EQ(count, c.count) << c.answer;
  }
}

TEST_F(ImapGatewayTest, EachSelectCountsOnlyItsOwnAnswer) {
  masterLogin(peer_, 0).expect("V1 SELECT \"a\"").send("* 4 EXISTS\r\nV1 OK\r\n");
  peer_.expect("V2 SELECT \"b\"").send("V2 OK\r\n").expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  std::int64_t count = -2;
  EXPECT_EQ(gateway_.select("a", &count), kGatewayOk);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(gateway_.select("b", &count), kGatewayOk);
  EXPECT_EQ(count, -1);
  gateway_.disconnect(false);
  count = 9;
  EXPECT_EQ(gateway_.select("a", &count), kGatewayNotConnected);
  EXPECT_EQ(count, -1);
  finish();
}

TEST_F(ImapGatewayTest, EachConnectLogsInTheWayItNames) {
  masterLogin(peer_, 0).expectClosed();
  peer_.accept().send(kGreeting).expect("V1 LOGIN \"u\" \"p\"").send("V1 OK\r\n").expectClosed();
  masterLogin(peer_, 2).expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  gateway_.disconnect(false);
  EXPECT_EQ(gateway_.connect(local(peer_.port()), "u", "p", false), kGatewayOk);
  gateway_.disconnect(false);
  EXPECT_EQ(gateway_.connectMaster(local(peer_.port())), kGatewayOk);
  gateway_.disconnect(false);
  finish();
}

TEST_F(ImapGatewayTest, TlsSettingReachesTheStream) {
  peer_.accept().readBytes(1).close();
  peer_.start();
  ConnectionSettings settings = local(peer_.port());
  settings.tls = TlsMode::Implicit;
  EXPECT_EQ(gateway_.connectMaster(settings), kGatewayConnectionProblem);
  finish();
  EXPECT_EQ(peer_.received(), std::vector<std::string>{"\x16"});  // a TLS handshake record
}

TEST_F(ImapGatewayTest, ReadTimeOutComesFromTheSettings) {
  masterLogin(peer_, 0).expect("V1 SELECT \"x\"").silence(4);
  peer_.start();
  ASSERT_EQ(gateway_.connectMaster(local(peer_.port(), kMasterPassword, 1)), kGatewayOk);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(gateway_.select("x"), kGatewayConnectionProblem);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  finish();
}

TEST(ImapGatewayLifetimeTest, DestroyingALoggedInGatewayLogsOut) {
  ScriptedPeer peer;
  masterLogin(peer, 0).expect("V1 LOGOUT").send("V1 OK\r\n");
  peer.start();
  {
    ImapGateway gateway;
    ASSERT_EQ(gateway.connectMaster(
                  local(peer.port(), kMasterPassword, ConnectionSettings().timeoutSeconds)),
              kGatewayOk);
  }
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST_F(ImapGatewayTest, ContentFailureClosesAndNextCommandReconnectsAsTheAccount) {
  masterLogin(peer_, 0).expect("V1 X-SETUSER \"bob@b.org\"").send("V1 OK\r\n").expectClosed();
  masterLogin(peer_, 4).expect("V5 X-SETUSER \"bob@b.org\"").send("V5 OK\r\n");
  peer_.expect("V3 SELECT \"INBOX\"").send("V3 OK\r\n");
  ASSERT_EQ(connect(), kGatewayOk);
  ASSERT_EQ(gateway_.setUser("bob", "b.org"), kGatewayOk);
  TestMessage message("hello world!");
  message.failAt = 1;
  EXPECT_EQ(gateway_.append("INBOX", message, false), kGatewayContentFailed);
  EXPECT_EQ(gateway_.select("INBOX"), kGatewayOk);
  finish();
  EXPECT_EQ(peer_.received()[3], "V2 APPEND \"INBOX\" {12+}\r\nhell");
}

TEST_F(ImapGatewayTest, ContentThatDiffersFromItsSizeIsNeverCompleted) {
  masterLogin(peer_, 0).expectClosed();
  masterLogin(peer_, 3).expectClosed();
  masterLogin(peer_, 5).expect("V4 SELECT \"x\"").send("V4 OK\r\n");
  ASSERT_EQ(connect(), kGatewayOk);
  TestMessage shorter("hello");
  shorter.sizeDelta = 3;
  EXPECT_EQ(gateway_.append("I", shorter, false), kGatewayContentFailed);
  TestMessage longer("hello");
  longer.sizeDelta = -2;
  EXPECT_EQ(gateway_.append("I", longer, false), kGatewayContentFailed);
  TestMessage uncountable("hello");
  uncountable.failSize = true;
  EXPECT_EQ(gateway_.append("I", uncountable, false), kGatewayContentFailed);
  EXPECT_EQ(gateway_.select("x"), kGatewayOk);
  finish();
  const std::vector<std::string> received = peer_.received();
  ASSERT_EQ(received.size(), 9u);
  EXPECT_EQ(received[2], "V1 APPEND \"I\" {8+}\r\nhello");
  EXPECT_EQ(received[5], "V2 APPEND \"I\" {3+}\r\n");  // no byte beyond the announced size
}

TEST_F(ImapGatewayTest, ContentRunningPastItsSizeInALaterPieceSendsNoneOfIt) {
  masterLogin(peer_, 0).expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  TestMessage longer("hello");  // "hell" fills the announced size, "o" follows
  longer.sizeDelta = -1;
  EXPECT_EQ(gateway_.append("I", longer, false), kGatewayContentFailed);
  finish();
  const std::vector<std::string> received = peer_.received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[2], "V1 APPEND \"I\" {4+}\r\n");
}

// An open file holding `content`, closed at the end of the test.
class OpenFile {
 public:
  explicit OpenFile(const std::string& content) {
    testing::writeFile(directory_ / "message", content);
    fd_ = ::open((directory_ / "message").c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~OpenFile() { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  testing::ScopedTempDir directory_;
  int fd_ = -1;
};

// Content large enough to be sent from its file, in pieces of 4096 bytes.
TestMessage largeMessage(const std::string& content, int file) {
  TestMessage message(content);
  message.piece = 4096;
  message.file = file;
  return message;
}

std::string largeContent() {
  std::string content(70000, 'a');
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<char>('a' + i % 26);
  }
  return content;
}

TEST(ImapGatewayWireTest, StoredBytesGoStraightFromTheFile) {
  const std::string content = largeContent();
  const std::string wire = "V1 APPEND \"I\" {70000+}\r\n" + content + "\r\n";
  OpenFile file("--" + content + "--");
  TestMessage message = largeMessage(content, file.fd());
  message.fileOffset = 2;
  message.failAt = 0;  // the pieces are not used
  EXPECT_EQ(play([&](ImapGateway& g) { return g.append("I", message, false); }, wire, "V1 OK\r\n"),
            kGatewayOk);
  // A file that ends early: the pieces send the rest, without repeating any.
  OpenFile shorter(content.substr(0, 5000));
  TestMessage rest = largeMessage(content, shorter.fd());
  EXPECT_EQ(play([&](ImapGateway& g) { return g.append("I", rest, false); }, wire, "V1 OK\r\n"),
            kGatewayOk);
  // A small message goes with its command line from memory.
  OpenFile other("XXXXX");
  TestMessage small("hello");
  small.file = other.fd();
  EXPECT_EQ(play([&](ImapGateway& g) { return g.append("I", small, false); },
                 "V1 APPEND \"I\" {5+}\r\nhello\r\n", "V1 OK\r\n"),
            kGatewayOk);
}

TEST_F(ImapGatewayTest, FileEndingEarlyWithFailingPiecesLeavesTheLiteralUnfinished) {
  masterLogin(peer_, 0).expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  const std::string content = largeContent();
  OpenFile file(content.substr(0, 5000));
  TestMessage message = largeMessage(content, file.fd());
  message.failAt = 2;  // two pieces were read, the third fails
  EXPECT_EQ(gateway_.append("I", message, false), kGatewayContentFailed);
  finish();
  const std::vector<std::string> received = peer_.received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[2], "V1 APPEND \"I\" {70000+}\r\n" + content.substr(0, 8192));
}

TEST_F(ImapGatewayTest, DropBetweenCommandsResendsOnceAsTheAccount) {
  masterLogin(peer_, 0).expect("V1 X-SETUSER \"bob@b.org\"").send("V1 OK\r\n").pause().reset();
  masterLogin(peer_, 3).expect("V4 X-SETUSER \"bob@b.org\"").send("V4 OK\r\n");
  peer_.expectBytes("V2 APPEND \"INBOX\" {2+}\r\nhi\r\n").send("V2 OK\r\n").expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  ASSERT_EQ(gateway_.setUser("bob", "b.org"), kGatewayOk);
  peer_.resume();
  ASSERT_TRUE(peer_.waitForSteps(10));
  TestMessage message("hi");
  EXPECT_EQ(gateway_.append("INBOX", message, false), kGatewayOk);
  gateway_.disconnect(false);
  finish();
  EXPECT_EQ(peer_.connections(), 2);
}

TEST_F(ImapGatewayTest, DropInsideAppendIsNotResentButNextAppendLandsInTheAccount) {
  masterLogin(peer_, 0).expect("V1 X-SETUSER \"bob@b.org\"").send("V1 OK\r\n");
  peer_.expect("V2 APPEND \"INBOX\" {5+}").readBytes(2).reset();
  masterLogin(peer_, 4).expect("V5 X-SETUSER \"bob@b.org\"").send("V5 OK\r\n");
  peer_.expectBytes("V3 APPEND \"INBOX\" {5+}\r\nhello\r\n").send("V3 OK\r\n");
  ASSERT_EQ(connect(), kGatewayOk);
  ASSERT_EQ(gateway_.setUser("bob", "b.org"), kGatewayOk);
  TestMessage message("hello");
  EXPECT_EQ(gateway_.append("INBOX", message, false), kGatewayConnectionProblem);
  EXPECT_EQ(gateway_.append("INBOX", message, false), kGatewayOk);
  finish();
}

TEST_F(ImapGatewayTest, RefusedIdentityAfterReconnectionSendsNothingAsAdministrator) {
  masterLogin(peer_, 0).expect("V1 X-SETUSER \"bob@b.org\"").send("V1 OK\r\n").pause().reset();
  masterLogin(peer_, 3).expect("V4 X-SETUSER \"bob@b.org\"").send("V4 NO gone\r\n").expectClosed();
  ASSERT_EQ(connect(), kGatewayOk);
  ASSERT_EQ(gateway_.setUser("bob", "b.org"), kGatewayOk);
  peer_.resume();
  ASSERT_TRUE(peer_.waitForSteps(10));
  TestMessage message("hi");
  EXPECT_EQ(gateway_.append("INBOX", message, false), kGatewayConnectionProblem);
  finish();
  EXPECT_EQ(peer_.received().size(), 6u);
}

TEST_F(ImapGatewayTest, WindowKeepsAppendsOutstandingAndMatchesAnswersByTag) {
  // The peer answers only once all three are in, the last first: one append
  // at a time would wait for ever here.
  masterLogin(peer_, 0)
      .expectBytes("V1 APPEND \"INBOX\" {1+}\r\na\r\n")
      .expectBytes("V2 X-APPEND \"INBOX\" {2+}\r\nbb\r\n")
      .expectBytes("V3 APPEND \"INBOX\" {3+}\r\nccc\r\n")
      .send("V3 OK\r\nV1 OK\r\nV2 NO full\r\n")
      .expectBytes("V4 APPEND \"INBOX\" {1+}\r\nd\r\n")
      .close();
  ASSERT_EQ(connect(), kGatewayOk);
  gateway_.setAppendWindow(3);
  TestMessage a("a"), b("bb"), c("ccc"), d("d");
  EXPECT_EQ(gateway_.submitAppend("INBOX", a, false, 11), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", b, true, 12), kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", c, false, 13), kGatewayOk);
  EXPECT_EQ(gateway_.appendsOutstanding(), 3u);
  // A full window takes no more until one is answered.
  EXPECT_EQ(gateway_.submitAppend("INBOX", d, false, 14), kGatewayAppendFailed);
  // Answers come oldest first, whatever order the server gave them in, each
  // with the token its append was given.
  const auto answer = [&](std::uint64_t token, GatewayResult result) {
    const AppendAnswer got = gateway_.awaitAppend();
    EXPECT_EQ(got.token, token);
    EXPECT_EQ(got.result, result);
  };
  answer(11, kGatewayOk);
  answer(12, kGatewayAppendFailed);
  answer(13, kGatewayOk);
  EXPECT_EQ(gateway_.submitAppend("INBOX", d, false, 14), kGatewayOk);
  // The server closed without answering: the one outstanding is lost, and
  // so is the connection for the next await.
  answer(14, kGatewayConnectionProblem);
  EXPECT_EQ(gateway_.appendsOutstanding(), 0u);
  answer(0, kGatewayConnectionProblem);
  gateway_.disconnect(false);
  finish();
}

TEST_F(ImapGatewayTest, CreationAndSwitchGoOutTogetherAndAnswerInTurn) {
  // Both lines are in before the peer answers either.
  masterLogin(peer_, 0)
      .expect("V1 X-CREATEUSER (NAME {3+}")
      .expect("ann DOMAIN {5+}")
      .expect("b.org PASSWORD \"pw\")")
      .expect("V2 X-SETUSER \"ann@b.org\"")
      .send("V1 NO [ALREADYEXISTS] exists\r\nV2 OK\r\n")
      .expect("V3 X-CREATEUSER (NAME {3+}")
      .expect("bea DOMAIN {5+}")
      .expect("b.org PASSWORD \"pw\")")
      .expect("V4 X-SETUSER \"bea@b.org\"")
      .send("V3 OK\r\nV4 NO who\r\n");
  ASSERT_EQ(connect(), kGatewayOk);
  GatewayResult switched = -1;
  EXPECT_EQ(gateway_.createThenSetUser("ann", "b.org", "pw", "", &switched),
            kGatewayCreateUserFailed);
  EXPECT_EQ(switched, kGatewayOk);
  EXPECT_EQ(gateway_.client().identity(), "ann@b.org");
  EXPECT_EQ(gateway_.createThenSetUser("bea", "b.org", "pw", "", &switched), kGatewayOk);
  EXPECT_EQ(switched, kGatewaySetUserFailed);
  gateway_.disconnect(false);
  finish();
}

TEST_F(ImapGatewayTest, FailedWriteWithAppendsOutstandingLosesThemAll) {
  masterLogin(peer_, 0)
      .expectBytes("V1 APPEND \"INBOX\" {1+}\r\na\r\n")
      .expect("V2 APPEND \"INBOX\" {5+}")
      .readBytes(2)
      .reset();
  ASSERT_EQ(connect(), kGatewayOk);
  gateway_.setAppendWindow(4);
  TestMessage a("a"), broken("hello");
  broken.piece = 2;
  broken.failAt = 1;
  EXPECT_EQ(gateway_.submitAppend("INBOX", a, false), kGatewayOk);
  // A content failure alone fails one message; with another outstanding
  // whose answer went with the connection, it is a lost connection.
  EXPECT_EQ(gateway_.submitAppend("INBOX", broken, false), kGatewayConnectionProblem);
  EXPECT_EQ(gateway_.appendsOutstanding(), 0u);
  gateway_.disconnect(false);
  finish();
}

// The server side of a login for "john@x" by "admin" with the master
// password, then of the question what the server announces.
ScriptedPeer& standardLogin(ScriptedPeer& peer, const std::string& capabilities) {
  return peer.accept()
      .send(kGreeting)
      .expect("V0 AUTHENTICATE PLAIN")
      .send("+ \r\n")
      .expect("am9obkB4AGFkbWluAG1hc3Rlci1wdw==")  // john@x NUL admin NUL master-pw
      .send("V0 OK in\r\n")
      .expect("V1 CAPABILITY")
      .send("* CAPABILITY IMAP4rev1 " + capabilities + "\r\nV1 OK\r\n");
}

ConnectionSettings standard(int port) {
  ConnectionSettings settings = local(port);
  settings.standardServer = true;
  settings.admin = "admin";
  return settings;
}

TEST_F(ImapGatewayTest, StandardServerGetsSynchronizingLiteralsAndNoRecentFlag) {
  standardLogin(peer_, "AUTH=PLAIN").expect("V2 LIST \"\" \"\"");
  peer_.send("* LIST (\\Noselect) \".\" \"\"\r\nV2 OK\r\n");
  // The content waits for the go-ahead; \Recent is never sent.
  peer_.expect("V3 APPEND \"INBOX\" (\\Seen ) {5}").send("+ go on\r\n");
  peer_.expectBytes("hello\r\n").send("V3 OK stored\r\n");
  // A refusal of the line: nothing of the content follows it.
  peer_.expect("V4 APPEND \"INBOX\" {4}").send("V4 NO [LIMIT] too big\r\n");
  peer_.expect("V5 APPEND \"INBOX\" {3}").send("+\r\n").expectBytes("abc\r\n");
  peer_.send("V5 OK\r\n");
  peer_.start();
  ASSERT_EQ(gateway_.connectAs(standard(peer_.port()), "john@x"), kGatewayOk);
  ServerTraits traits;
  ASSERT_EQ(gateway_.learnServer(traits), kGatewayOk);
  EXPECT_EQ(traits.separator, ".");
  EXPECT_FALSE(traits.literalPlus);
  TestMessage hello("hello", "\\Seen \\Recent ");
  TestMessage big("1234", "\\Recent ");
  TestMessage abc("abc");
  EXPECT_EQ(gateway_.append("INBOX", hello, false), kGatewayOk);
  EXPECT_EQ(gateway_.append("INBOX", big, false), kGatewayAppendFailed);
  EXPECT_EQ(gateway_.append("INBOX", abc, false), kGatewayOk);
  finish();
}

TEST_F(ImapGatewayTest, StandardServerWithLiteralMinusGetsSmallLiteralsAtOnce) {
  standardLogin(peer_, "LITERAL- UTF8=ACCEPT");
  peer_.expect("V2 ENABLE UTF8=ACCEPT").send("* ENABLED UTF8=ACCEPT\r\nV2 OK\r\n");
  peer_.expect("V3 LIST \"\" \"\"").send("* LIST () \"/\" \"\"\r\nV3 OK\r\n");
  const std::string large(5000, 'x');
  peer_.expectBytes("V4 APPEND \"a\" {3+}\r\nabc\r\n").send("V4 OK\r\n");
  peer_.expect("V5 APPEND \"a\" {5000}").send("+\r\n").expectBytes(large + "\r\n");
  peer_.send("V5 OK\r\n");
  peer_.start();
  ASSERT_EQ(gateway_.connectAs(standard(peer_.port()), "john@x"), kGatewayOk);
  ServerTraits traits;
  ASSERT_EQ(gateway_.learnServer(traits), kGatewayOk);
  EXPECT_TRUE(traits.utf8);
  EXPECT_EQ(traits.separator, "/");
  TestMessage small("abc");
  TestMessage wide(large);
  EXPECT_EQ(gateway_.append("a", small, false), kGatewayOk);
  EXPECT_EQ(gateway_.append("a", wide, false), kGatewayOk);
  finish();
}

TEST_F(ImapGatewayTest, StandardServerRefusingTheLoginIsAnAuthenticationFailure) {
  peer_.accept().send(kGreeting).expect("V0 LOGIN \"john@x*admin\" \"master-pw\"");
  peer_.send("V0 NO [AUTHENTICATIONFAILED] no\r\n");
  peer_.start();
  ConnectionSettings settings = standard(peer_.port());
  settings.loginForm = "USER*ADMIN";
  EXPECT_EQ(gateway_.connectAs(settings, "john@x"), kGatewayAuthenticationFailed);
  finish();
}

TEST(ImapGatewayStandardTest, ServerEndingTheLoginIsARefusalButNotReachingItIsNot) {
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expect("V0 AUTHENTICATE PLAIN").send("+ \r\n").readLine();
  peer.send("* BYE Internal login failure\r\n").close();
  peer.start();
  ImapGateway gateway;
  EXPECT_EQ(gateway.connectAs(standard(peer.port()), "john@x"), kGatewayAuthenticationFailed);
  EXPECT_TRUE(peer.finish()) << peer.failure();
  ScriptedPeer closed;
  closed.accept().close();
  closed.start();
  EXPECT_EQ(gateway.connectAs(standard(closed.port()), "john@x"), kGatewayConnectionProblem);
  EXPECT_TRUE(closed.finish()) << closed.failure();
}

}  // namespace
}  // namespace lodemig
