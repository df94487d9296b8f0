#include "imap/imap_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "imap/imap_command.h"
#include "tests/scripted_peer.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

constexpr char kGreeting[] = "* OK ready\r\n";

// Settings for a scripted peer on 127.0.0.1.
ClientSettings settingsFor(int port, LoginKind login, const std::string& user,
                           const std::string& password, std::uint32_t timeoutSeconds,
                           bool tls = false) {
  ClientSettings settings;
  settings.server.host = "127.0.0.1";
  settings.server.port = port;
  settings.server.tls = tls ? TlsMode::Implicit : TlsMode::None;
  settings.server.timeoutSeconds = timeoutSeconds;
  settings.login = login;
  settings.user = user;
  settings.password = password;
  return settings;
}

ClientSettings masterSettings(int port, const std::string& password, std::uint32_t timeoutSeconds,
                              bool tls = false) {
  return settingsFor(port, LoginKind::Master, "", password, timeoutSeconds, tls);
}

// What one exchange came to: the status and lines, or the failure.
struct Outcome {
  CommandStatus status = CommandStatus::Bad;
  std::string finalLine;
  std::vector<std::string> untagged;
  std::string error;  // "timeout", "bye", "auth:<text>" or "connection:<text>"
  ClientState state = ClientState::Disconnected;
  bool peerOk = false;
  std::string cause;  // the client's failureCause() afterwards
};

template <typename Action>
Outcome capture(ImapClient& client, Action action) {
  Outcome outcome;
  try {
    action(outcome);
  } catch (const ImapTimeoutException&) {
    outcome.error = "timeout";
  } catch (const ImapServerBrokeConnection&) {
    outcome.error = "bye";
  } catch (const AuthenticateFailedException& error) {
    outcome.error = std::string("auth:") + error.what();
  } catch (const ImapConnectionFailed& error) {
    outcome.error = std::string("connection:") + error.what();
  }
  outcome.state = client.state();
  outcome.cause = client.failureCause();
  return outcome;
}

// Answers one NOOP with `response`, then closes (or stays silent for
// `silentSeconds`, letting a client with a 1-second time-out give up).
Outcome noop(const std::string& response, int silentSeconds = 0) {
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expect("V0 NOOP").send(response);
  if (silentSeconds > 0) {
    peer.silence(silentSeconds);
  } else {
    peer.close();
  }
  peer.start();
  ImapClient client;
  client.configure(settingsFor(peer.port(), LoginKind::Plain, "u", "p", 1));
  client.connect(false);
  Outcome outcome = capture(client, [&](Outcome& out) {
    ImapCommand command(client.nextTag(), "NOOP");
    out.status = client.execute(command);
    out.finalLine = command.finalLine();
    out.untagged = command.untaggedLines();
  });
  outcome.peerOk = peer.finish();
  return outcome;
}

TEST(ImapClientTest, TaggedLineDecidesTheStatus) {
  const std::pair<std::string, CommandStatus> cases[] = {
      {"V0 OK done\r\n", CommandStatus::Ok},
      {"V0 NO nope\r\n", CommandStatus::No},
      {"V0 BAD what\r\n", CommandStatus::Bad},
      {"V0 MAYBE\r\n", CommandStatus::Bad},
      {"* 3 EXISTS\r\n+ go on\r\n* NO warn\r\nV00 OK\r\n\nV0 OK all\r\n", CommandStatus::Ok},
      // Status words count only whole.
      {"V0 OKAY\r\n", CommandStatus::Bad},
      {"V0 OKX done\r\n", CommandStatus::Bad},
      {"V0 NOPE\r\n", CommandStatus::Bad},
      {"* BYEX not a farewell\r\nV0 OK\r\n", CommandStatus::Ok},
      // A text ending in a brace is no literal: the next line is read as its
      // own, whether the brace ends an untagged, a continuation or the tagged line.
      {"* OK }\r\n+ {}\r\n* OK {x}\r\n* OK {12\r\n* OK a}\r\nV0 OK done}\r\n", CommandStatus::Ok},
      {"* OK {3}\r\n}}}\r\n+ {2+}\r\nV0\r\nV0 NO {4}\r\n}OK}\r\n", CommandStatus::No},
  };
  for (const auto& [response, status] : cases) {
    const Outcome outcome = noop(response);
    EXPECT_EQ(outcome.error, "") << response;
    EXPECT_EQ(outcome.status, status) << response;
    EXPECT_TRUE(outcome.peerOk);
  }
  const Outcome last = noop(cases[4].first);
  EXPECT_EQ(last.finalLine, "V0 OK all");
  EXPECT_EQ(last.untagged,
            (std::vector<std::string>{"* 3 EXISTS", "+ go on", "* NO warn", "V00 OK", ""}));
  const Outcome braces = noop(cases[9].first);
  EXPECT_EQ(braces.finalLine, "V0 OK done}");
  EXPECT_EQ(braces.untagged.size(), 5u);
  const Outcome literals = noop(cases[10].first);
  EXPECT_EQ(literals.finalLine, "V0 NO {4}\r\n}OK}");
  EXPECT_EQ(literals.untagged, (std::vector<std::string>{"* OK {3}\r\n}}}", "+ {2+}\r\nV0"}));
}

constexpr char kLiteralResponse[] =
    "* 1 FETCH (BODY {5}\r\nab\r\nc)\r\n* 2 FETCH {7}\r\n* BYE x)\r\nV0 OK done\r\n";

TEST(ImapClientTest, LiteralsAreDataOfTheirResponse) {
  const Outcome outcome = noop(kLiteralResponse);
  EXPECT_EQ(outcome.status, CommandStatus::Ok);
  EXPECT_EQ(outcome.finalLine, "V0 OK done");
  EXPECT_EQ(outcome.untagged, (std::vector<std::string>{"* 1 FETCH (BODY {5}\r\nab\r\nc)",
                                                        "* 2 FETCH {7}\r\n* BYE x)"}));
}

TEST(ImapClientTest, EveryTruncatedResponseFailsTheConnection) {
  const std::string full = kLiteralResponse;
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Outcome outcome = noop(full.substr(0, length));
    EXPECT_TRUE(outcome.peerOk);
    EXPECT_NE(outcome.error, "") << length;
    EXPECT_EQ(outcome.state, ClientState::Disconnected) << length;
  }
  // Cut inside the literal: never sent again, the connection is given up.
  EXPECT_EQ(noop(full.substr(0, 25)).error, "connection:recvLine failed");
  EXPECT_EQ(noop(full.substr(0, 28)).error, "connection:recvLine failed");
  EXPECT_EQ(noop(full.substr(0, 29)).error, "timeout");
}

TEST(ImapClientTest, ByeSilenceAndOversizeEndTheConnection) {
  const std::pair<std::string, std::string> cases[] = {
      {"* BYE going down\r\n", "bye"},
      {"* OK {70000000}\r\n", "connection:recvLine failed"},
      {"* OK {100000000000}\r\n", "connection:recvLine failed"},
      {"* " + std::string(ResponseReader::kMaxLineLength, 'a') + "\r\n",
       "connection:recvLine failed"},
  };
  for (const auto& [response, error] : cases) {
    const Outcome outcome = noop(response);
    EXPECT_EQ(outcome.error, error) << response.substr(0, 20);
    EXPECT_EQ(outcome.state, ClientState::Disconnected);
  }
  EXPECT_EQ(noop("", 3).error, "timeout");
}

// Starts `peer` and connects to it with a master login.
Outcome masterConnect(ScriptedPeer& peer) {
  peer.start();
  ImapClient client;
  client.configure(masterSettings(peer.port(), "tanstaaftanstaaf", 1));
  return capture(client, [&](Outcome&) { client.connect(true); });
}

TEST(ImapClientTest, MasterAuthRepliesWithDigestOfChallengeAndPassword) {
  const std::pair<std::string, std::string> cases[] = {
      {"+ x <1896.697170952@postoffice.reston.mci.net> y\r\n", "d16ff9ac2a65d209022d7eb541ecf24d"},
      // No ">": the challenge runs to the end, line end included.
      {"+ <abc\r\n", "a939a26478f1ffd28a52d712a2ec1d99"},
  };
  for (const auto& [challenge, reply] : cases) {
    ScriptedPeer peer;
    peer.accept().send(kGreeting).expect("V0 X-MASTERAUTH").send(challenge).expect(reply);
    peer.send("* OK noted\r\nV0 OK welcome\r\n").expect("V1 LOGOUT").send("V1 OK\r\n");
    const std::string password = challenge.size() > 10 ? "tanstaaftanstaaf" : "secret";
    peer.start();
    {
      ImapClient client;
      client.configure(masterSettings(peer.port(), password, 2));
      client.connect(true);
      EXPECT_EQ(client.state(), ClientState::Authenticated);
    }
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(ImapClientTest, MasterAuthRefusals) {
  const std::string refused = "auth:Authentication failed - Master Authentication";
  const std::pair<std::string, std::string> cases[] = {
      {"V0 NO not here\r\n", refused},
      {"+ no challenge\r\n", refused},
      {"* BYE busy\r\n", "bye"},
  };
  for (const auto& [answer, error] : cases) {
    ScriptedPeer peer;
    peer.accept().send(kGreeting).expect("V0 X-MASTERAUTH").send(answer).expectClosed();
    const Outcome outcome = masterConnect(peer);
    EXPECT_EQ(outcome.error, error) << answer;
    EXPECT_EQ(outcome.state, ClientState::Disconnected);
    EXPECT_TRUE(peer.finish()) << peer.failure();
    EXPECT_EQ(peer.received().size(), 1u) << "nothing is sent after " << answer;
  }
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expect("V0 X-MASTERAUTH").send("+ <1>\r\n").readLine();
  peer.send("V0 NO wrong\r\n");
  EXPECT_EQ(masterConnect(peer).error, refused);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(ImapClientTest, GreetingMustBeAnOkLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"* BYE go away\r\n", "connection:* BYE go away\r"},
      {"", "connection:"},
  };
  for (const auto& [greeting, error] : cases) {
    ScriptedPeer peer;
    peer.accept().send(greeting).close();
    EXPECT_EQ(masterConnect(peer).error, error);
  }
  int port = 0;
  {
    const ScriptedPeer gone;
    port = gone.port();
  }
  ImapClient client;
  client.configure(masterSettings(port, "pw", 1));
  EXPECT_EQ(capture(client, [&](Outcome&) { client.connect(true); }).error, "connection:");
}

// Every way a connection or a command fails leaves the admin a cause that
// tells them apart: refused, closed, silent or trickling, or refused by the
// server in its own words (without the control characters a hostile server
// could send to the terminal).
TEST(ImapClientTest, FailuresLeaveTheirCause) {
  int closedPort = 0;
  {
    const ScriptedPeer gone;
    closedPort = gone.port();
  }
  ImapClient refused;
  refused.configure(masterSettings(closedPort, "pw", 1));
  EXPECT_EQ(capture(refused, [&](Outcome&) { refused.connect(true); }).cause,
            "cannot connect to 127.0.0.1:" + std::to_string(closedPort) + ": Connection refused");

  const std::pair<std::function<void(ScriptedPeer&)>, std::string> greetings[] = {
      {[](ScriptedPeer& peer) { peer.send("* BYE go away\r\n").close(); },
       " refused the connection: * BYE go away"},
      {[](ScriptedPeer& peer) { peer.close(); }, " closed the connection"},
      // Each byte comes well within the time-out; the whole line does not.
      {[](ScriptedPeer& peer) { peer.trickle("* OK " + std::string(40, 'x') + "\r\n", 200); },
       "no greeting from 127.0.0.1:"},
  };
  for (const auto& [script, cause] : greetings) {
    ScriptedPeer peer;
    script(peer.accept());
    const Outcome outcome = masterConnect(peer);
    EXPECT_NE(outcome.cause.find(cause), std::string::npos) << outcome.cause;
    EXPECT_EQ(outcome.state, ClientState::Disconnected);
  }

  EXPECT_EQ(noop("V0 NO [OVERQUOTA] Quota\x1b[2J exceeded\r\n").cause,
            "NO [OVERQUOTA] Quota?[2J exceeded");
  ScriptedPeer slow;
  slow.accept().send(kGreeting).expect("V0 NOOP").trickle("V0 OK " + std::string(40, 'x'), 200);
  slow.start();
  ImapClient client;
  client.configure(settingsFor(slow.port(), LoginKind::Plain, "u", "p", 1));
  client.connect(false);
  const Outcome trickled = capture(client, [&](Outcome& out) {
    ImapCommand command(client.nextTag(), "NOOP");
    out.status = client.execute(command);
  });
  EXPECT_EQ(trickled.error, "connection:recvLine failed");
  EXPECT_EQ(trickled.cause,
            "no answer from 127.0.0.1:" + std::to_string(slow.port()) + " within 1 s (-timeout)");
  ASSERT_TRUE(slow.finish()) << slow.failure();
  // The client gave up while the answer was still coming.
  EXPECT_LT(std::stoul(slow.received().back()), 46u);
}

TEST(ImapClientTest, TlsFlagStartsAHandshake) {
  ScriptedPeer peer;
  peer.accept().readBytes(1).close();
  peer.start();
  ImapClient client;
  client.configure(masterSettings(peer.port(), "pw", 1, true));
  EXPECT_EQ(capture(client, [&](Outcome&) { client.connect(true); }).error, "connection:");
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(peer.received(), std::vector<std::string>{"\x16"});  // a TLS handshake record
}

// A client asked for STARTTLS never logs in over plain text: whatever keeps
// the protection from starting ends the connection, with the reason.
TEST(ImapClientTest, StartTlsMustSucceedBeforeAnyLogin) {
  struct Case {
    std::string greeting;
    std::vector<std::string> exchange;  // lines expected ("> ") and bytes sent
    std::string reason;                 // the end of the failure's detail
  };
  const Case cases[] = {
      {"* OK ready\r\n",
       {"> V0 CAPABILITY", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\nV0 OK\r\n"},
       " does not offer STARTTLS"},
      {"* OK ready\r\n", {"> V0 CAPABILITY", "V0 BAD no\r\n"}, " does not offer STARTTLS"},
      // Offered in the greeting, so not asked again; but refused.
      {"* OK [CAPABILITY IMAP4rev1 starttls] ready\r\n",
       {"> V0 STARTTLS", "V0 NO not now\r\n"},
       " refused STARTTLS: V0 NO not now"},
      {"* OK ready\r\n",
       {"> V0 CAPABILITY", "* CAPABILITY IMAP4rev1 STARTTLS\r\nV0 OK\r\n", "> V1 STARTTLS",
        "V1 OK begin\r\n* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] injected\r\n"},
       " sent data after its STARTTLS answer, before the TLS handshake"},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer;
    peer.accept().send(c.greeting);
    for (const std::string& step : c.exchange) {
      if (step.compare(0, 2, "> ") == 0) {
        peer.expect(step.substr(2));
      } else {
        peer.send(step);
      }
    }
    peer.expectClosed();
    peer.start();
    ImapClient client;
    ClientSettings settings = masterSettings(peer.port(), "pw", 1);
    settings.server.tls = TlsMode::StartTls;
    client.configure(settings);
    std::string detail = "none";
    try {
      client.connect(true);
    } catch (const ImapConnectionFailed& error) {
      detail = error.detail();
    }
    const std::string server = "127.0.0.1:" + std::to_string(peer.port());
    EXPECT_EQ(detail, server + c.reason) << c.greeting;
    EXPECT_EQ(client.state(), ClientState::Disconnected);
    // expectClosed() fails when anything, a login above all, came instead.
    EXPECT_TRUE(peer.finish()) << peer.failure();
  }
}

TEST(ImapClientTest, StartTlsAcceptedStartsAHandshake) {
  ScriptedPeer peer;
  peer.accept().send("* OK [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n").expect("V0 STARTTLS");
  peer.send("V0 OK begin\r\n").readBytes(1).close();
  peer.start();
  ImapClient client;
  ClientSettings settings = masterSettings(peer.port(), "pw", 1);
  settings.server.tls = TlsMode::StartTls;
  client.configure(settings);
  std::string detail;
  try {
    client.connect(true);
  } catch (const ImapConnectionFailed& error) {
    detail = error.detail();
  }
  EXPECT_EQ(detail.rfind("TLS handshake with 127.0.0.1:" + std::to_string(peer.port()) +
                             " failed after STARTTLS: ",
                         0),
            0u)
      << detail;
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_EQ(peer.received().back(), "\x16");  // the handshake's first record
}

TEST(ImapClientTest, PreauthGreetingStillLogsIn) {
  ScriptedPeer peer;
  peer.accept().send("* PREAUTH hi\r\n").expect("V0 LOGIN \"a\\\"b\" \"p\\\\q\"");
  peer.send("V0 NO wrong\r\n");
  peer.start();
  ImapClient client;
  client.configure(settingsFor(peer.port(), LoginKind::Plain, "a\"b", "p\\q", 1));
  EXPECT_EQ(capture(client, [&](Outcome&) { client.connect(true); }).error,
            "auth:Authentication failed - Login");
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(ImapClientTest, CramMd5FollowsTheRfc2195Example) {
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expect("V0 AUTHENTICATE CRAM-MD5");
  peer.send("+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
  peer.expect("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw").send("V0 OK\r\n");
  peer.start();
  ImapClient client;
  client.configure(settingsFor(peer.port(), LoginKind::CramMd5, "tim", "tanstaaftanstaaf", 2));
  client.connect(true);
  EXPECT_EQ(client.state(), ClientState::Authenticated);
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

ClientSettings proxySettings(int port) {
  ClientSettings settings = settingsFor(port, LoginKind::Proxy, "john@x", "master-pw", 2);
  settings.server.admin = "admin";
  return settings;
}

TEST(ImapClientTest, ProxyLoginSendsItsResponseAtOnceWhereTheGreetingOffersSaslIr) {
  ScriptedPeer peer;
  peer.accept().send("* OK [CAPABILITY IMAP4rev1 sasl-ir AUTH=PLAIN] ready\r\n");
  // john@x NUL admin NUL master-pw, on the command's line.
  peer.expect("V0 AUTHENTICATE PLAIN am9obkB4AGFkbWluAG1hc3Rlci1wdw==");
  peer.send("* CAPABILITY IMAP4rev1 UIDPLUS\r\nV0 OK Logged in\r\n");
  // Without SASL-IR the empty challenge is waited for; an answer that names
  // nothing leaves nothing of the greeting's.
  peer.accept().send("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\r\n");
  peer.expect("V1 AUTHENTICATE PLAIN").send("+ \r\n");
  peer.expect("am9obkB4AGFkbWluAG1hc3Rlci1wdw==").send("V1 OK in\r\n");
  peer.start();
  ImapClient client;
  client.configure(proxySettings(peer.port()));
  client.connect(true);
  EXPECT_EQ(client.capabilities(), (std::vector<std::string>{"IMAP4rev1", "UIDPLUS"}));
  client.closeStream();
  client.connect(true);
  EXPECT_EQ(client.state(), ClientState::Authenticated);
  EXPECT_TRUE(client.capabilities().empty());
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(ImapClientTest, ProxyLoginWithSaslIrRefusedIsAnAuthenticationFailure) {
  ScriptedPeer peer;
  peer.accept().send("* OK [CAPABILITY IMAP4rev1 SASL-IR] ready\r\n").readLine();
  peer.send("V0 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
  peer.start();
  ImapClient client;
  client.configure(proxySettings(peer.port()));
  EXPECT_EQ(capture(client, [&](Outcome&) { client.connect(true); }).error,
            "auth:Authentication failed - Authentication PLAIN");
  EXPECT_EQ(client.loginRefusal(), "V0 NO [AUTHENTICATIONFAILED] Authentication failed.");
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

// A client connected to `peer` (started here) without logging in.
void connectPlain(ImapClient& client, ScriptedPeer& peer) {
  peer.start();
  client.configure(settingsFor(peer.port(), LoginKind::Plain, "u", "p", 2));
  client.connect(false);
}

TEST(ImapClientTest, OutstandingCommandsAreAnsweredByTag) {
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expect("V0 NOOP").expect("V1 CHECK");
  peer.send("* 2 EXISTS\r\nV1 OK checked\r\n* 1 RECENT\r\nV0 OK nooped\r\n");
  ImapClient client;
  connectPlain(client, peer);
  ImapCommand noop(client.nextTag(), "NOOP");
  ImapCommand check(client.nextTag(), "CHECK");
  client.submit(noop);
  client.submit(check);
  EXPECT_EQ(client.waitFor(noop), CommandStatus::Ok);
  EXPECT_TRUE(check.completed());
  EXPECT_EQ(client.waitFor(check), CommandStatus::Ok);
  EXPECT_EQ(noop.finalLine(), "V0 OK nooped");
  EXPECT_EQ(check.finalLine(), "V1 OK checked");
  // Untagged data goes to the oldest command still outstanding.
  EXPECT_EQ(noop.untaggedLines(), (std::vector<std::string>{"* 2 EXISTS", "* 1 RECENT"}));
  EXPECT_TRUE(check.untaggedLines().empty());
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(ImapClientTest, FullWindowWaitsForTheOldestBeforeWriting) {
  constexpr std::size_t kCount = kMaxCommandsInFlight + 1;
  ScriptedPeer peer;
  peer.accept().send(kGreeting);
  for (std::size_t i = 0; i + 1 < kCount; ++i) {
    peer.expect("V" + std::to_string(i) + " NOOP");
  }
  peer.send("V0 OK\r\n").expect("V" + std::to_string(kCount - 1) + " NOOP");
  for (std::size_t i = 1; i < kCount; ++i) {
    peer.send("V" + std::to_string(i) + " OK\r\n");
  }
  ImapClient client;
  connectPlain(client, peer);
  std::vector<ImapCommand> commands(kCount);
  for (ImapCommand& command : commands) {
    command.start(client.nextTag(), "NOOP");
    client.submit(command);
  }
  EXPECT_TRUE(commands[0].completed());
  for (ImapCommand& command : commands) {
    EXPECT_EQ(client.waitFor(command), CommandStatus::Ok) << command.tag();
  }
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

// Content held in memory; with `file` set it offers that descriptor as its
// stored bytes, and its pieces then fail, so that only the file can carry it.
class MemoryContent : public IMessage {
 public:
  explicit MemoryContent(std::string content, int file = -1)
      : content_(std::move(content)), file_(file) {}
  bool firstChunk(std::string& buffer) override {
    given_ = false;
    return nextChunk(buffer);
  }
  bool nextChunk(std::string& buffer) override {
    if (file_ >= 0) {
      throw std::runtime_error("the pieces were read");
    }
    buffer = given_ ? std::string() : content_;
    given_ = true;
    return !buffer.empty();
  }
  std::string flags() const override { return ""; }
  std::string internalDate() const override { return ""; }
  std::uint64_t storedSize() const override { return content_.size(); }
  std::uint32_t contentSize() override { return static_cast<std::uint32_t>(content_.size()); }
  bool storedRange(int& fd, std::uint64_t& offset) override {
    fd = file_;
    offset = 0;
    return file_ >= 0;
  }

 private:
  std::string content_;
  int file_;
  bool given_ = false;
};

// Appends on a client whose connection keeps a window of `window`.
class WindowedAppendTest : public ::testing::Test {
 protected:
  void connect(std::size_t window) {
    peer_.start();
    ClientSettings settings = settingsFor(peer_.port(), LoginKind::Plain, "u", "p", 2);
    settings.server.appendWindow = window;
    client_.configure(settings);
    client_.connect(false);
  }
  void submit(ImapCommand& command, IMessage& content) {
    command.start(client_.nextTag(), "APPEND");
    command.addQuoted("I");
    command.announceContent(content, content.contentSize());
    client_.submit(command);
  }
  static std::string wire(int tag, const std::string& content) {
    return "V" + std::to_string(tag) + " APPEND \"I\" {" + std::to_string(content.size()) +
           "+}\r\n" + content + "\r\n";
  }

  ScriptedPeer peer_;
  ImapClient client_;
};

// The peer answers each append only once it has it whole, and the test
// writes the next only once the peer has the one before: an append held
// back until the window fills or an answer is awaited never arrives.
TEST_F(WindowedAppendTest, EachAppendLeavesAsItIsWritten) {
  const std::vector<std::string> contents = {"one", "two", "three"};
  peer_.accept().send(kGreeting);
  for (std::size_t i = 0; i < contents.size(); ++i) {
    peer_.expectBytes(wire(static_cast<int>(i), contents[i]))
        .send("V" + std::to_string(i) + " OK\r\n");
  }
  connect(8);
  std::vector<MemoryContent> messages(contents.begin(), contents.end());
  std::vector<ImapCommand> commands(contents.size());
  for (std::size_t i = 0; i < commands.size(); ++i) {
    submit(commands[i], messages[i]);
    // accept and greeting, then an expected append and its answer each
    ASSERT_TRUE(peer_.waitForSteps(3 + 2 * i)) << "append " << i << " held back";
  }
  for (ImapCommand& command : commands) {
    EXPECT_EQ(client_.waitFor(command), CommandStatus::Ok) << command.tag();
  }
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
}

// Large stored content goes from its file with a window too, each append
// byte for byte after the line and the content of the one before.
TEST_F(WindowedAppendTest, StoredContentGoesFromItsFileWithAWindow) {
  std::string first(100000, 'x'), second(70000, 'y');
  for (std::size_t i = 0; i < first.size(); i += 77) {
    first[i] = static_cast<char>('a' + i % 26);
  }
  testing::ScopedTempDir directory;
  testing::writeFile(directory / "first", first);
  testing::writeFile(directory / "second", second);
  const int firstFile = ::open((directory / "first").c_str(), O_RDONLY | O_CLOEXEC);
  const int secondFile = ::open((directory / "second").c_str(), O_RDONLY | O_CLOEXEC);
  peer_.accept().send(kGreeting).expectBytes(wire(0, first) + wire(1, second));
  peer_.send("V1 OK\r\nV0 OK\r\n");
  connect(8);
  MemoryContent a(first, firstFile), b(second, secondFile);
  ImapCommand commands[2];
  submit(commands[0], a);
  submit(commands[1], b);
  EXPECT_EQ(client_.waitFor(commands[0]), CommandStatus::Ok);
  EXPECT_EQ(client_.waitFor(commands[1]), CommandStatus::Ok);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
  ::close(firstFile);
  ::close(secondFile);
}

TEST(ImapClientTest, WaitingForACommandNeverSentFailsAtOnce) {
  ScriptedPeer peer;
  peer.accept().send(kGreeting).expectClosed();
  ImapClient client;
  connectPlain(client, peer);
  ImapCommand command(client.nextTag(), "NOOP");
  EXPECT_EQ(capture(client, [&](Outcome&) { client.waitFor(command); }).error,
            "connection:recvLine failed");
  EXPECT_TRUE(peer.finish()) << peer.failure();
}

TEST(ImapClientTest, OnlyListedStateTransitionsApply) {
  ImapClient client;
  client.setState(ClientState::Authenticated);
  EXPECT_EQ(client.state(), ClientState::Disconnected);
  client.setState(ClientState::Connected);
  client.setState(ClientState::Selected);
  EXPECT_EQ(client.state(), ClientState::Connected);
  client.setState(ClientState::Authenticated);
  client.setState(ClientState::Selected);
  client.setState(ClientState::Connected);
  EXPECT_EQ(client.state(), ClientState::Selected);
  client.setState(ClientState::Disconnected);
  EXPECT_EQ(client.state(), ClientState::Disconnected);
}

}  // namespace
}  // namespace lodemig
