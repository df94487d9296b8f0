#include "migration/migrator.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  peer.expect("V4 SELECT \"INBOX\"").send("* 7 EXISTS\r\nV4 OK\r\n");
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

}  // namespace
}  // namespace lodemig
