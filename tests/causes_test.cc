// Runs of the real binary that fail: the console and the log say why, on a
// line of their own after the error, with the account and folder where there
// are some; and a slow peer cannot hold a run beyond -timeout.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/migration_fixture.h"
#include "tests/scripted_peer.h"

namespace lodemig::testing {
namespace {

// Longer than the harness lets a run take: only a deadline on the whole
// greeting or handshake ends the run on its own.
constexpr int kTrickleIntervalMs = 200;
constexpr std::size_t kTrickleLength = 150;

class CausesTest : public MigrationTest {
 protected:
  // A migration to 127.0.0.1:`port` (or `host`) with -timeout 1.
  ProcessResult migrateTo(const std::string& host, int port, std::vector<std::string> more = {}) {
    makeDirectories(work_);
    std::vector<std::string> all = {"-path",
                                    store_,
                                    "-migrate",
                                    "-server",
                                    host,
                                    "-port",
                                    std::to_string(port),
                                    "-password",
                                    "master",
                                    "-timeout",
                                    "1",
                                    "-primaryDomain",
                                    "example.com"};
    all.insert(all.end(), more.begin(), more.end());
    ProcessOptions options;
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  // The console and the log both hold `text`.
  void expectSaid(const ProcessResult& run, const std::string& text) {
    EXPECT_TRUE(contains(run.out, text)) << run.out;
    EXPECT_TRUE(contains(allFiles(work_, "log"), text)) << allFiles(work_, "log");
  }
};

TEST_F(CausesTest, ConnectErrorIsFollowedByItsCause) {
  inboxAccount("tom", 1);
  int closedPort = 0;
  {
    const ScriptedPeer gone;
    closedPort = gone.port();
  }
  const ProcessResult refused = migrateTo("127.0.0.1", closedPort);
  EXPECT_EQ(refused.exitStatus, 3);
  expectSaid(refused, "\nError: cannot connect to Torvane\n  cause: cannot connect to 127.0.0.1:" +
                          std::to_string(closedPort) + ": Connection refused\n");

  const ProcessResult unresolved = migrateTo("no-such-host.invalid", 143);
  // A name that does not exist needs fixing; a resolver that failed for the
  // time being (as without a name server) may pass.
  EXPECT_EQ(unresolved.exitStatus,
            contains(unresolved.out, "Temporary failure in name resolution") ? 3 : 1)
      << unresolved.out;
  expectSaid(unresolved,
             "\nError: cannot connect to Torvane\n  cause: cannot resolve no-such-host.invalid: ");
}

// A greeting, and a TLS server's first record, sent a byte every 200 ms: each
// read is well within -timeout 1, the whole never is.
TEST_F(CausesTest, TricklingServerEndsTheRunAtTheTimeout) {
  inboxAccount("tom", 1);
  const std::string greeting = "* OK " + std::string(kTrickleLength, 'x') + "\r\n";
  const std::string record =
      std::string("\x16\x03\x03\x00\xff", 5) + std::string(kTrickleLength, 'x');
  for (const bool tls : {false, true}) {
    ScriptedPeer peer;
    peer.accept().trickle(tls ? record : greeting, kTrickleIntervalMs);
    peer.start();
    const ProcessResult run =
        migrateTo("127.0.0.1", peer.port(),
                  tls ? std::vector<std::string>{"-tls", "-insecure"} : std::vector<std::string>{});
    EXPECT_FALSE(run.timedOut);
    // A failed TLS handshake needs looking at; a silent server may come back.
    EXPECT_EQ(run.exitStatus, tls ? 1 : 3);
    const std::string server = "127.0.0.1:" + std::to_string(peer.port());
    expectSaid(run, "\nError: cannot connect to Torvane\n  cause: " +
                        (tls ? "TLS handshake with " + server +
                                   " failed: no answer to the TLS handshake within the time-out\n"
                             : "no greeting from " + server + " within 1 s (-timeout)\n"));
    ASSERT_TRUE(peer.finish()) << peer.failure();
    EXPECT_LT(std::stoul(peer.received().back()), kTrickleLength);
  }
}

TEST_F(CausesTest, RefusedMessageAndUnreadableFolderNameAccountFolderAndCause) {
  builder_.account("", "cid", AccountDirectory)
      .settings("{ Password = cidpw; }")
      .info("{ A = { Messages = #2; }; B = { Messages = #3; }; }");
  builder_.messageFile("", "cid", "A", "1-S-20070823103000-h", "a 1\r\n");
  // A message file that cannot be opened.
  const std::string dangling = builder_.messageDirectoryPath("", "cid", "A") + "/2-S-x-h";
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  builder_.mailboxFile("", "cid", "B", messages("b", 3));
  // The first append is A's message 1; B's message 2 is the third.
  startServer({"--refuse-append", "3"});
  const ProcessResult run = migrate();
  EXPECT_EQ(run.exitStatus, 1);
  expectSaid(run,
             "Error: cannot migrate folder \"A\"\n  cause: account <cid@example.com>, folder "
             "\"A\": ");
  // The folder's count no longer trails its error line.
  EXPECT_FALSE(contains(run.out, "Error: cannot migrate folder \"A\"\n2\n")) << run.out;
  expectSaid(run,
             "Error: cannot migrate message nr.: 2\n  cause: account <cid@example.com>, folder "
             "\"B\": NO ");
}

}  // namespace
}  // namespace lodemig::testing
