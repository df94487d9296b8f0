// Several messages per APPEND (-multiAppend) into the stand-in target when it
// announces MULTIAPPEND: what arrives is what one message per command gives,
// a refused command's messages are each sent again alone, and a connection
// cut inside a command loses and doubles nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class MultiAppendTest : public MigrationTest {
 protected:
  // An account "ann" whose INBOX holds `count` messages of varied flags,
  // dates and sizes; message `large` (0: none) gets a body of 400 bytes.
  void account(int count, int large = 0) {
    std::vector<MailboxMessage> list = StoreBuilder::variedMessages("ann", count);
    if (large > 0) {
      list[static_cast<std::size_t>(large - 1)].content += std::string(400, 'L') + "\r\n";
    }
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = pwann; }")
        .info("{ INBOX = { Messages = #" + std::to_string(count) + "; }; }");
    builder_.mailboxFile("", "ann", "INBOX", list);
  }
  // What one message per command stores of the store, in arrival order.
  std::vector<Stored> reference() {
    startServer();
    const ProcessResult run = migrate({"-quiet"}, dir_ / "reference");
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    server_->stop();
    return storedMessages(kAnn);
  }
  // The APPEND commands the stand-in read on all connections.
  int appendCommands(const std::string& transcripts) const {
    int commands = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(transcripts, error)) {
      commands += countOf(readFile(entry.path().string()), " X-APPEND \"INBOX\"");
    }
    return commands;
  }

  static constexpr char kAnn[] = "ann@example.com";
};

std::vector<Stored> sorted(std::vector<Stored> messages) {
  std::sort(messages.begin(), messages.end());
  return messages;
}

TEST_F(MultiAppendTest, MessagesGoSeveralPerCommandAndArriveAsOnePerCommandGives) {
  account(11);
  const std::vector<Stored> expected = reference();
  ASSERT_EQ(expected.size(), 11u);
  const std::string transcripts = dir_ / "transcripts";
  makeDirectories(transcripts);
  startServer({"--multiappend", "--transcript", transcripts});
  const ProcessResult run = migrate({"-multiAppend", "4", "-window", "2"});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  // In store order, with the same flags, dates and bytes.
  EXPECT_EQ(storedMessages(kAnn), expected);
  // 4 + 4 + 3.
  EXPECT_EQ(appendCommands(transcripts), 3);
}

TEST_F(MultiAppendTest, WithoutMultiAppendAnnouncedEachMessageHasItsCommand) {
  account(5);
  const std::string transcripts = dir_ / "transcripts";
  makeDirectories(transcripts);
  startServer({"--transcript", transcripts});
  const ProcessResult run = migrate({"-multiAppend", "4"});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(storedMessages(kAnn).size(), 5u);
  EXPECT_EQ(appendCommands(transcripts), 5);
}

TEST_F(MultiAppendTest, RefusedCommandIsSentAgainAloneAndOnlyItsBadMessageIsRefused) {
  account(9, 6);
  std::vector<Stored> expected = reference();
  ASSERT_EQ(expected.size(), 9u);
  expected.erase(expected.begin() + 5);
  // Message 6 is over the limit: the command of messages 5 to 8 is refused.
  startServer({"--multiappend", "--append-limit", "300"});
  const ProcessResult run = migrate({"-multiAppend", "4", "-window", "2"});
  EXPECT_EQ(run.exitStatus, 1) << run.out;
  EXPECT_EQ(countOf(run.out, "Error: cannot migrate message nr.: "), 1) << run.out;
  EXPECT_TRUE(contains(run.out,
                       "Error: cannot migrate message nr.: 6\n  cause: account "
                       "<ann@example.com>, folder \"INBOX\": NO [TOOBIG] Message too large"))
      << run.out;
  // The command after the refused one went on: message 9 came before the
  // messages sent again.
  EXPECT_EQ(sorted(storedMessages(kAnn)), sorted(expected));
}

TEST_F(MultiAppendTest, ConnectionCutInsideACommandLosesAndDoublesNothing) {
  account(14);
  const std::vector<Stored> expected = reference();
  // The second command (messages 5 to 8) dies with its connection; the
  // first is stored, the rest goes on the next connection.
  startServer({"--multiappend", "--drop-append", "6"});
  const std::string journal = dir_ / "run.journal";
  const ProcessResult cut = migrate({"-multiAppend", "4", "-window", "2", "-journal", journal});
  EXPECT_EQ(cut.exitStatus, 3) << cut.out;
  EXPECT_EQ(storedMessages(kAnn).size(), 4u);
  const ProcessResult resumed =
      migrate({"-multiAppend", "4", "-window", "2", "-journal", journal}, dir_ / "again");
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  EXPECT_EQ(sorted(storedMessages(kAnn)), sorted(expected));
  // Within the same run, a new connection does the same.
  startServer({"--multiappend", "--drop-append", "6"});
  const ProcessResult retried =
      migrate({"-multiAppend", "4", "-window", "2", "-retry", "1"}, dir_ / "retried");
  EXPECT_EQ(retried.exitStatus, 0) << retried.out;
  EXPECT_EQ(sorted(storedMessages(kAnn)), sorted(expected));
}

}  // namespace
}  // namespace lodemig::testing
