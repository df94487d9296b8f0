#include "migration/migrator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/scripted_peer.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

// The master login as the peer plays it: the challenge, any reply, OK.
void masterLogin(testing::ScriptedPeer& peer, const std::string& tag) {
  peer.accept()
      .send("* OK ready\r\n")
      .readLine()
      .send("+ <1.2@peer>\r\n")
      .readLine()
      .send(tag + " OK\r\n");
}

// X-CREATEUSER arrives as three lines: its two literals end the first two.
void createUser(testing::ScriptedPeer& peer, const std::string& answer) {
  peer.readLine().readLine().readLine().send(answer);
}

TEST(MigratorSessionTest, RefusedSwitchAfterReconnectionEndsTheMailbox) {
  testing::ScopedTempDir dir;
  testing::StoreBuilder store(dir / "store");
  store.account("", "cid", AccountDirectory)
      .settings("{ Password = cidpw; }")
      .info("{ A = { Messages = #1; }; B = { Messages = #1; }; }");
  // A message file that cannot be opened: a store error inside folder A.
  testing::makeDirectories(store.messageDirectoryPath("", "cid", "A"));
  ASSERT_EQ(symlink((dir / "nowhere").c_str(),
                    (store.messageDirectoryPath("", "cid", "A") + "/1-S-x-h").c_str()),
            0);
  store.mailboxFile("", "cid", "B", {{"S", "1", "Wed Jun 30 21:49:08 1993", "b\r\n"}});

  testing::ScriptedPeer peer;
  masterLogin(peer, "V0");  // the domain's test connection
  peer.expect("V1 LOGOUT").send("V1 OK\r\n");
  masterLogin(peer, "V2");
  createUser(peer, "V3 OK\r\n");
  peer.expect("V4 X-SETUSER \"cid@example.com\"").send("V4 OK\r\n");
  peer.expect("V5 X-CHECKVERSION").send("V5 OK X-CHECKVERSION 6.4.1\r\n");
  peer.expect("V6 SELECT \"A\"").send("V6 NO\r\n");
  peer.expect("V7 CREATE \"A\"").send("V7 OK\r\n");
  masterLogin(peer, "V8");  // the fresh connection after the read error
  createUser(peer, "V9 NO exists\r\n");
  peer.expect("V10 X-SETUSER \"cid@example.com\"").send("V10 NO refused\r\n");
  // Folder B is never selected: it would land in the administrator's mailbox.
  peer.expect("V11 LOGOUT").send("V11 OK\r\n").expectClosed();
  peer.start();

  std::ostringstream log;
  std::ostringstream console;
  std::ostringstream errors;
  MigrationSettings settings;
  settings.storePath = dir / "store";
  settings.migrate = true;
  settings.primaryDomain = "example.com";
  ConnectionSettings connection;
  connection.host = "127.0.0.1";
  connection.port = peer.port();
  connection.masterPassword = "master";
  connection.timeoutSeconds = 3;
  Reporter reporter(log, console, errors, true);
  Migrator migrator(settings, connection, reporter);
  migrator.migrateAll();
  EXPECT_TRUE(peer.finish()) << peer.failure();
  EXPECT_FALSE(migrator.succeeded());
  EXPECT_NE(log.str().find("Error: problem with identity switching\n"
                           "Error: cannot migrate folder \"A\"\n"
                           "  cause: account <cid@example.com>, folder \"A\": cannot read "
                           "messages file \"1-S-x-h\": No such file or directory\n"
                           "Error: cannot migrate mailbox <cid>\n"),
            std::string::npos)
      << log.str();
  EXPECT_EQ(migrator.passwordRecord(),
            "<cid@example.com>, password: \"cidpw\"\n"
            "<cid@example.com> already exist, hold current password\n");
}

// Answers one append of the three-byte message "x\r\n" with `answer`.
void answerAppend(testing::ScriptedPeer& peer, const std::string& answer) {
  peer.readLine().expect("x").expect("").send(answer);
}

TEST(AccountMigrationTest, TallyCountsWhatWasReadSentAndRefused) {
  testing::ScopedTempDir dir;
  testing::StoreBuilder store(dir / "store");
  store.account("", "ann", AccountDirectory)
      .settings("{ Password = annpw; }")
      .info("{ INBOX = { Messages = #2; }; }");
  const char date[] = "Wed Jun 30 21:49:08 1993";
  // One more message than the info file counts: all three are sent.
  store.mailboxFile(
      "", "ann", "INBOX",
      {{"S", "1", date, "x\r\n"}, {"S", "2", date, "x\r\n"}, {"", "3", date, "x\r\n"}});

  testing::ScriptedPeer peer;
  masterLogin(peer, "V0");
  createUser(peer, "V1 OK\r\n");
  peer.expect("V2 X-SETUSER \"ann@example.com\"").send("V2 OK\r\n");
  peer.expect("V3 X-CHECKVERSION").send("V3 OK X-CHECKVERSION 6.4.1\r\n");
  peer.expect("V4 SELECT \"INBOX\"").send("* 0 EXISTS\r\nV4 OK\r\n");
  answerAppend(peer, "V5 OK\r\n");
  answerAppend(peer, "V6 NO full\r\n");
  answerAppend(peer, "V7 OK\r\n");
  peer.expect("V8 LOGOUT").send("V8 OK\r\n").expectClosed();
  peer.start();

  std::ostringstream log, console, errors;
  MigrationSettings settings;
  ConnectionSettings connection;
  connection.host = "127.0.0.1";
  connection.port = peer.port();
  connection.masterPassword = "master";
  connection.timeoutSeconds = 3;
  Reporter reporter(log, console, errors, true);
  PasswordRecord passwords(reporter);
  ImapGateway gateway;
  AccountMigration account(settings, connection, gateway, reporter, passwords);
  Mailbox mailbox(&log);
  mailbox.load("ann", "example.com", dir / "store/Accounts", "ann", AccountDirectory);
  const AccountTally tally = account.run(mailbox);
  EXPECT_TRUE(peer.finish()) << peer.failure();

  EXPECT_FALSE(tally.declined);
  EXPECT_TRUE(tally.failed());
  ASSERT_EQ(tally.folders.size(), 1u);
  const FolderTally& inbox = tally.folders[0];
  EXPECT_EQ(inbox.name, "INBOX");
  EXPECT_EQ(inbox.storeMessages, 2);
  EXPECT_EQ(inbox.read, 3);
  EXPECT_EQ(inbox.sent, 2);
  EXPECT_EQ(inbox.refused, 1);
  EXPECT_EQ(inbox.bytesSent, 6u);
  EXPECT_FALSE(inbox.failed);
  EXPECT_EQ(inbox.firstError, "message 2: append message error");
  EXPECT_EQ(passwords.lines(), "<ann@example.com>, password: \"annpw\"\n");
}

// A store of one account "ann" whose INBOX holds `count` messages "x\r\n".
// Returns the mailbox file's path.
std::string storeOfOneFolder(testing::ScopedTempDir& dir, int count) {
  testing::StoreBuilder store(dir / "store");
  store.account("", "ann", AccountDirectory)
      .settings("{ Password = annpw; }")
      .info("{ INBOX = { Messages = #" + std::to_string(count) + "; }; }");
  std::vector<testing::MailboxMessage> messages;
  for (int i = 1; i <= count; ++i) {
    messages.push_back({"S", std::to_string(i), "Wed Jun 30 21:49:08 1993", "x\r\n"});
  }
  return store.mailboxFile("", "ann", "INBOX", messages);
}

// The peer's side of ann's account up to the SELECT of her INBOX.
void openInbox(testing::ScriptedPeer& peer) {
  masterLogin(peer, "V0");
  createUser(peer, "V1 OK\r\n");
  peer.expect("V2 X-SETUSER \"ann@example.com\"").send("V2 OK\r\n");
  peer.expect("V3 X-CHECKVERSION").send("V3 OK X-CHECKVERSION 6.4.1\r\n");
  peer.expect("V4 SELECT \"INBOX\"").send("* 0 EXISTS\r\nV4 OK\r\n");
}

// Migrates ann's account with `window` appends in flight.
class WindowedAccountTest : public ::testing::Test {
 protected:
  AccountTally run(std::size_t window) {
    peer_.start();
    connection_.host = "127.0.0.1";
    connection_.port = peer_.port();
    connection_.masterPassword = "master";
    connection_.timeoutSeconds = 3;
    connection_.appendWindow = window;
    AccountMigration account(settings_, connection_, gateway_, reporter_, passwords_);
    Mailbox mailbox(&log_);
    mailbox.load("ann", "example.com", dir_ / "store/Accounts", "ann", AccountDirectory);
    return account.run(mailbox);
  }

  testing::ScopedTempDir dir_;
  testing::ScriptedPeer peer_;
  std::ostringstream log_, console_, errors_;
  MigrationSettings settings_;
  ConnectionSettings connection_;
  Reporter reporter_{log_, console_, errors_, true};
  PasswordRecord passwords_{reporter_};
  ImapGateway gateway_;
};

TEST_F(WindowedAccountTest, AnswersInAnyOrderAreTakenInStoreOrder) {
  storeOfOneFolder(dir_, 5);
  openInbox(peer_);
  // Three in flight before the peer answers any, the last first.
  peer_.readLine().expect("x").expect("");
  peer_.readLine().expect("x").expect("");
  peer_.readLine().expect("x").expect("");
  peer_.send("V7 OK\r\nV5 OK\r\nV6 NO full\r\n");
  peer_.readLine().expect("x").expect("");
  peer_.readLine().expect("x").expect("");
  peer_.send("V9 OK\r\nV8 OK\r\n");
  peer_.expect("V10 LOGOUT").send("V10 OK\r\n").expectClosed();
  const AccountTally tally = run(3);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
  ASSERT_EQ(tally.folders.size(), 1u);
  const FolderTally& inbox = tally.folders[0];
  EXPECT_EQ(inbox.read, 5);
  EXPECT_EQ(inbox.sent, 4);
  EXPECT_EQ(inbox.refused, 1);
  EXPECT_EQ(inbox.firstError, "message 2: append message error");
  // The refusal is said between the reader's lines of messages 2 and 3, as
  // one append at a time would say it.
  const std::string& log = log_.str();
  const std::size_t second = log.find("local uid: 2 ");
  const std::size_t refusal = log.find("Error: cannot migrate message nr.: 2\n");
  const std::size_t third = log.find("local uid: 3 ");
  EXPECT_TRUE(second < refusal && refusal < third) << log;
}

TEST_F(WindowedAccountTest, ALostConnectionNamesTheUnconfirmedOnlyWithAWindow) {
  storeOfOneFolder(dir_, 3);
  openInbox(peer_);
  peer_.readLine().expect("x").expect("");
  peer_.readLine().expect("x").expect("").close();
  EXPECT_THROW(run(2), QLConnectionLostException);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
  EXPECT_NE(log_.str().find("Error: 2 messages of folder \"INBOX\" of <ann@example.com> from "
                            "message 1 on were sent but not confirmed\n"),
            std::string::npos)
      << log_.str();
}

TEST_F(WindowedAccountTest, OneAtATimeALostConnectionIsTheMessagesAlone) {
  storeOfOneFolder(dir_, 3);
  openInbox(peer_);
  peer_.readLine().expect("x").expect("").close();
  EXPECT_THROW(run(1), QLConnectionLostException);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
  EXPECT_EQ(log_.str().find("were sent but not confirmed"), std::string::npos) << log_.str();
}

TEST_F(WindowedAccountTest, TheReadersLinesAfterTheLastMessageReachTheLog) {
  const std::string inbox = storeOfOneFolder(dir_, 2);
  // A header line the reader cannot take, after the last message: its line
  // comes from the read that finds no further message.
  std::ofstream(inbox, std::ios::app) << "\r\nFrom <x>(broken\r\nx\r\n";
  openInbox(peer_);
  peer_.readLine().expect("x").expect("");
  peer_.readLine().expect("x").expect("");
  peer_.send("V5 OK\r\nV6 OK\r\n");
  peer_.expect("V7 LOGOUT").send("V7 OK\r\n").expectClosed();
  const AccountTally tally = run(2);
  EXPECT_TRUE(peer_.finish()) << peer_.failure();
  ASSERT_EQ(tally.folders.size(), 1u);
  EXPECT_EQ(tally.folders[0].sent, 2);
  EXPECT_NE(log_.str().find("Error: wrong message header format"), std::string::npos) << log_.str();
}

// The plan a migration makes of a store: what its info files give, nothing
// read from a message file.
class RunPlanTest : public ::testing::Test {
 protected:
  RunPlan plan(const std::string& store, const std::string& userMask = "*", int shard = 0,
               int shards = 0) {
    MigrationSettings settings;
    settings.storePath = store;
    settings.migrate = true;
    settings.primaryDomain = "example.com";
    settings.userMask = userMask;
    settings.shard = shard;
    settings.shards = shards;
    ConnectionSettings connection;
    std::ostringstream log, console, errors;
    Reporter reporter(log, console, errors, true);
    Migrator migrator(settings, connection, reporter);
    return migrator.planRun();
  }
  static std::string examples() { return std::string(LODEMIG_SOURCE_DIR) + "/examples"; }
};

TEST_F(RunPlanTest, TheExampleStoreAsItsInfoFilesGiveIt) {
  // john 12 messages in 4720 bytes, mary 2 in 802, bob 3 in 853: the sizes a
  // print run shows (4.6KB, 802B, 853B).
  const RunPlan all = plan(examples());
  EXPECT_EQ(all.accounts, 3);
  EXPECT_EQ(all.messages, 17);
  EXPECT_EQ(all.bytes, 4720 + 802 + 853);
  const RunPlan john = plan(examples(), "john");
  EXPECT_EQ(john.accounts, 1);
  EXPECT_EQ(john.messages, 12);
  EXPECT_EQ(john.bytes, 4720);
  // The shards' plans add up to the whole.
  const RunPlan first = plan(examples(), "*", 1, 2);
  const RunPlan second = plan(examples(), "*", 2, 2);
  EXPECT_EQ(first.accounts + second.accounts, 3);
  EXPECT_EQ(first.messages + second.messages, 17);
  EXPECT_EQ(first.bytes + second.bytes, all.bytes);
}

TEST_F(RunPlanTest, AFigureTheStoreCannotGiveIsUnknown) {
  testing::ScopedTempDir dir;
  testing::StoreBuilder store(dir / "store");
  // No storage figure: the folders' sizes add up.
  store.account("", "a", AccountDirectory)
      .settings("{}")
      .info("{ INBOX = { Messages = #2; Size = #300; }; Sent = { Messages = #1; Size = #50; }; }");
  EXPECT_EQ(plan(dir / "store").bytes, 350);
  EXPECT_EQ(plan(dir / "store").messages, 3);
  // A folder without a size, and no storage figure: the bytes are unknown.
  store.account("", "b", AccountDirectory).settings("{}").info("{ INBOX = { Messages = #4; }; }");
  EXPECT_EQ(plan(dir / "store").bytes, -1);
  EXPECT_EQ(plan(dir / "store").messages, 7);
  // An info file that cannot be read: the messages too.
  store.account("", "c", AccountDirectory).settings("{}").info("{ broken");
  const RunPlan broken = plan(dir / "store");
  EXPECT_EQ(broken.accounts, 3);
  EXPECT_EQ(broken.messages, -1);
  EXPECT_EQ(broken.bytes, -1);
}

}  // namespace
}  // namespace lodemig
