#include "migration/migration_target.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/scripted_peer.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

// The one-byte message "a", without flags or date.
class OneByte : public IMessage {
 public:
  bool firstChunk(std::string& buffer) override {
    buffer = "a";
    return true;
  }
  bool nextChunk(std::string& buffer) override {
    buffer.clear();
    return false;
  }
  std::string flags() const override { return ""; }
  std::string internalDate() const override { return ""; }
  std::uint64_t storedSize() const override { return 1; }
  std::uint32_t contentSize() override { return 1; }
};

// The private target's master login as the peer plays it: the challenge, any
// reply, OK.
ScriptedPeer& masterLogin(ScriptedPeer& peer, const std::string& tag) {
  return peer.accept()
      .send("* OK ready\r\n")
      .readLine()
      .send("+ <1.2@peer>\r\n")
      .readLine()
      .send(tag + " OK\r\n");
}

// X-CREATEUSER arrives as three lines: its two literals end the first two.
ScriptedPeer& createUser(ScriptedPeer& peer, const std::string& answer) {
  return peer.readLine().readLine().readLine().send(answer);
}

// A standard server's login for "ann@example.com" by "admin" without
// SASL-IR, and the question what it announces, which the login's answer did
// not say.
ScriptedPeer& standardLogin(ScriptedPeer& peer) {
  return peer.accept()
      .send("* OK ready\r\n")
      .expect("V0 AUTHENTICATE PLAIN")
      .send("+ \r\n")
      .readLine()
      .send("V0 OK in\r\n")
      .expect("V1 CAPABILITY")
      .send("* CAPABILITY IMAP4rev1 LITERAL+ SPECIAL-USE\r\nV1 OK\r\n");
}

// The separator and the folders, both asked before either is answered.
ScriptedPeer& standardNames(ScriptedPeer& peer, int tag) {
  const std::string first = "V" + std::to_string(tag), second = "V" + std::to_string(tag + 1);
  return peer.expect(first + " LIST \"\" \"\"")
      .expect(second + " LIST \"\" \"*\"")
      .send("* LIST (\\Noselect) \".\" \"\"\r\n" + first + " OK\r\n")
      .send("* LIST (\\Sent) \".\" Gesendet\r\n" + second + " OK\r\n");
}

// A SELECT of `name` tagged `tag` with its SUBSCRIBE right behind it, both
// in before either is answered: the SELECT's answer `selected`, then the
// SUBSCRIBE's status and text `subscribed` ("OK", "NO why").
ScriptedPeer& subscribing(ScriptedPeer& peer, int tag, const std::string& name,
                          const std::string& selected, const std::string& subscribed) {
  const std::string second = "V" + std::to_string(tag + 1);
  return peer.expect("V" + std::to_string(tag) + " SELECT \"" + name + "\"")
      .expect(second + " SUBSCRIBE \"" + name + "\"")
      .send(selected + second + " " + subscribed + "\r\n");
}

// The same login with SASL-IR: the response goes with the command, and the
// answer names what the server offers once logged in. `tag`: the command's.
ScriptedPeer& quickLogin(ScriptedPeer& peer, const std::string& tag,
                         const std::string& capabilities) {
  return peer.accept()
      .send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready\r\n")
      .expect(tag + " AUTHENTICATE PLAIN YW5uQGV4YW1wbGUuY29tAGFkbWluAG1hc3Rlcg==")
      .send(tag + " OK [CAPABILITY IMAP4rev1 " + capabilities + "] Logged in\r\n");
}

class MigrationTargetTest : public ::testing::Test {
 protected:
  MigrationTargetTest() : reporter_(log_, console_, errors_, true), passwords_(reporter_) {
    testing::StoreBuilder store(dir_ / "store");
    store.account("", "ann", AccountDirectory).settings("{ Password = annpw; }").info("{ }");
    mailbox_.load("ann", "example.com", dir_ / "store/Accounts", "ann", AccountDirectory);
    connection_.host = "127.0.0.1";
    connection_.port = peer_.port();
    connection_.masterPassword = "master";
    connection_.admin = "admin";
    connection_.timeoutSeconds = 3;
  }

  // The target the settings name, on the peer, which starts playing.
  MigrationTarget& start(bool standard) {
    settings_.standardTarget = standard;
    connection_.standardServer = standard;
    target_ = makeMigrationTarget(settings_, connection_, gateway_, reporter_, passwords_);
    peer_.start();
    return *target_;
  }
  void finish() {
    gateway_.disconnect(false);
    EXPECT_TRUE(peer_.finish()) << peer_.failure();
  }
  Folder folder(const std::string& name, const std::string& folderClass) {
    Folder folder(&log_);
    folder.assign(name, "", MailboxFile);
    folder.setFolderClass(folderClass);
    return folder;
  }

  testing::ScopedTempDir dir_;
  std::ostringstream log_, console_, errors_;
  Reporter reporter_;
  PasswordRecord passwords_;
  Mailbox mailbox_{&log_};
  MigrationSettings settings_;
  ConnectionSettings connection_;
  ScriptedPeer peer_;
  ImapGateway gateway_;
  std::unique_ptr<MigrationTarget> target_;
};

TEST_F(MigrationTargetTest, PrivateTargetCreatesTheAccountActsAsItAndAppendsWithXAppend) {
  createUser(masterLogin(peer_, "V0"), "V1 OK\r\n");
  peer_.expect("V2 X-SETUSER \"ann@example.com\"").send("V2 OK\r\n");
  peer_.expect("V3 X-CHECKVERSION").send("V3 OK X-CHECKVERSION 6.4.1\r\n");
  peer_.expectBytes("V4 X-APPEND \"INBOX\" {1+}\r\na\r\n").send("V4 OK\r\n");
  MigrationTarget& target = start(false);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  target.prepareAppends();
  OneByte message;
  EXPECT_EQ(target.submitAppend("INBOX", message, 1), kGatewayOk);
  EXPECT_EQ(gateway_.awaitAppend().result, kGatewayOk);
  finish();
  EXPECT_EQ(passwords_.lines(), "<ann@example.com>, password: \"annpw\"\n");
  EXPECT_NE(log_.str().find("   Info: created user <ann@example.com>"), std::string::npos);
}

TEST_F(MigrationTargetTest, PrivateTargetDeclinesAnExistingAccountUnlessResuming) {
  createUser(masterLogin(peer_, "V0"), "V1 NO exists\r\n");
  // A renewed connection goes on with the account the run began to fill.
  createUser(masterLogin(peer_, "V2"), "V3 NO exists\r\n");
  peer_.expect("V4 X-SETUSER \"ann@example.com\"").send("V4 OK\r\n");
  MigrationTarget& target = start(false);
  EXPECT_FALSE(target.openAccount(mailbox_, false));
  EXPECT_NE(log_.str().find("   Info: cannot migrate, user already exist: use \"-force\""),
            std::string::npos);
  gateway_.disconnect(false);
  EXPECT_TRUE(target.openAccount(mailbox_, true));
  finish();
}

TEST_F(MigrationTargetTest, PrivateTargetWithSeveralJobsAsksItsVersionOnce) {
  masterLogin(peer_, "V0").expect("V1 X-CHECKVERSION").send("V1 OK X-CHECKVERSION 6.2.0\r\n");
  // Older than 6.3, the second account's appends still go with APPEND.
  peer_.expectBytes("V2 APPEND \"INBOX\" {1+}\r\na\r\n").send("V2 OK\r\n");
  MigrationTarget& target = start(false);
  target.saveRoundTrips();
  ASSERT_EQ(gateway_.connectMaster(connection_), kGatewayOk);
  target.prepareAppends();
  target.prepareAppends();
  OneByte message;
  EXPECT_EQ(target.submitAppend("INBOX", message, 1), kGatewayOk);
  EXPECT_EQ(gateway_.awaitAppend().result, kGatewayOk);
  finish();
}

TEST_F(MigrationTargetTest, AuditActsOnlyAsAnAccountThatExists) {
  // No X-CREATEUSER: an audit writes nothing to the target.
  masterLogin(peer_, "V0").expect("V1 X-SETUSER \"ann@example.com\"").send("V1 NO unknown\r\n");
  peer_.expect("V2 LOGOUT").send("V2 OK\r\n").expectClosed();
  MigrationTarget& target = start(false);
  EXPECT_FALSE(target.actAs(mailbox_));
  EXPECT_FALSE(gateway_.connected());
  finish();
  EXPECT_EQ(passwords_.lines(), "");
}

TEST_F(MigrationTargetTest, PrivateTargetSelectsExistingLevelsAndCreatesMissingOnesWithTheKind) {
  masterLogin(peer_, "V0").expect("V1 SELECT \"A\"").send("* 4 EXISTS\r\nV1 OK\r\n");
  peer_.expect("V2 SELECT \"A/B_c\"").send("V2 NO missing\r\n");
  peer_.expect("V3 CREATE (X-CALENDAR) \"A/B_c\"").send("V3 OK\r\n");
  peer_.expect("V4 SELECT \"A\"").send("* 4 EXISTS\r\nV4 OK\r\n");
  MigrationTarget& target = start(false);
  ASSERT_EQ(gateway_.connectMaster(connection_), kGatewayOk);
  const FolderPlace place = target.place("A/B:c");
  EXPECT_EQ(place.wireName, "A/B_c");
  EXPECT_EQ(place.note,
            "Warning: folder-name \"A/B:c\" contain forbidden chars. Name \"A/B_c\" will be "
            "usead instead it.\n");
  EXPECT_EQ(target.createFolder(place, kFolderTypeCalendar), 0);
  EXPECT_EQ(target.place("A").note, "");
  EXPECT_EQ(target.createFolder(target.place("A"), kFolderTypeMail), 4);
  // The private target keeps no subscriptions: nothing is asked.
  EXPECT_TRUE(target.subscribed(place));
  finish();
}

TEST_F(MigrationTargetTest, StandardServerLogsInForTheAccountAndCreatesFoldersPlainly) {
  standardNames(standardLogin(peer_), 2);
  subscribing(peer_, 4, "Gesendet", "* 2 EXISTS\r\nV4 OK\r\n", "OK");
  // A folder that does not exist yet may not be subscribed: asked again.
  subscribing(peer_, 6, "Archiv.2007", "V6 NO missing\r\n", "NO no such folder");
  peer_.expect("V8 CREATE \"Archiv.2007\"").send("V8 OK\r\n");
  subscribing(peer_, 9, "Archiv.2007", "* 0 EXISTS\r\nV9 OK\r\n", "OK");
  peer_.expectBytes("V11 APPEND \"Archiv.2007\" {1+}\r\na\r\n").send("V11 OK\r\n");
  MigrationTarget& target = start(true);
  EXPECT_FALSE(target.canPlace());
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  target.prepareAppends();  // asks nothing of a standard server
  ASSERT_TRUE(target.canPlace());
  const FolderPlace sent = target.place("Sent Items");
  EXPECT_EQ(sent.wireName, "Gesendet");
  EXPECT_NE(sent.note, "");
  EXPECT_EQ(target.createFolder(sent, kFolderTypeMail), 2);
  // The kind is not sent: a standard server has no word for it.
  EXPECT_EQ(target.createFolder(target.place("Archiv/2007"), kFolderTypeCalendar), 0);
  OneByte message;
  EXPECT_EQ(target.submitAppend("Archiv.2007", message, 1), kGatewayOk);
  EXPECT_EQ(gateway_.awaitAppend().result, kGatewayOk);
  finish();
  EXPECT_EQ(passwords_.lines(), "");
  EXPECT_EQ(log_.str().find("Warning"), std::string::npos) << log_.str();
}

// Each send of the peer below is a round trip: the client waits for it.
// Greeting, login, the names, SELECT: four before the first append, the
// two listings asked together, the SUBSCRIBE with the SELECT.
TEST_F(MigrationTargetTest, StandardServerAccountReachesItsFirstAppendInFourRoundTrips) {
  quickLogin(peer_, "V0", "LITERAL+ SPECIAL-USE");
  standardNames(peer_, 1);
  subscribing(peer_, 3, "Gesendet", "* 0 EXISTS\r\nV3 OK\r\n", "OK");
  peer_.expectBytes("V5 APPEND \"Gesendet\" {1+}\r\na\r\n").send("V5 OK\r\n");
  MigrationTarget& target = start(true);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  EXPECT_EQ(target.createFolder(target.place("Sent Items"), kFolderTypeMail), 0);
  OneByte message;
  EXPECT_EQ(target.submitAppend("Gesendet", message, 1), kGatewayOk);
  EXPECT_EQ(gateway_.awaitAppend().result, kGatewayOk);
  finish();
}

TEST_F(MigrationTargetTest, StandardServerAsksOnlyWhatTheAccountsFoldersNeed) {
  // The INBOX needs neither the separator nor the special folders: greeting,
  // login, SELECT.
  quickLogin(peer_, "V0", "LITERAL+");
  subscribing(peer_, 1, "INBOX", "* 3 EXISTS\r\nV1 OK\r\n", "OK");
  // A level of its own needs the separator, asked alone.
  peer_.expect("V3 LIST \"\" \"\"").send("* LIST () \".\" \"\"\r\nV3 OK\r\n");
  peer_.expect("V4 LOGOUT").expectClosed();
  // The next account's connection knows the separator already.
  quickLogin(peer_, "V5", "LITERAL+");
  subscribing(peer_, 6, "x_y.z", "V6 OK\r\n", "OK");
  MigrationTarget& target = start(true);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  EXPECT_EQ(target.createFolder(target.place("inbox"), kFolderTypeMail), 3);
  EXPECT_EQ(target.place("Archiv.2007").wireName, "Archiv_2007");
  gateway_.disconnect(true, false);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  EXPECT_EQ(target.createFolder(target.place("x.y/z"), kFolderTypeMail), -1);
  finish();
}

TEST_F(MigrationTargetTest, StandardServerEnablesUtf8BeforeTheFirstSelect) {
  quickLogin(peer_, "V0", "UTF8=ACCEPT");
  peer_.expect("V1 ENABLE UTF8=ACCEPT").send("* ENABLED UTF8=ACCEPT\r\nV1 OK\r\n");
  subscribing(peer_, 2, "INBOX", "V2 OK\r\n", "OK");
  peer_.expect("V4 LIST \"\" \"\"").send("* LIST () \"/\" \"\"\r\nV4 OK\r\n");
  MigrationTarget& target = start(true);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  EXPECT_EQ(target.createFolder(target.place("INBOX"), kFolderTypeMail), -1);
  // Enabled once and before the SELECT: the name now goes in UTF-8.
  EXPECT_EQ(target.place("K\xc3\xa4se").wireName, "K\xc3\xa4se");
  finish();
}

TEST_F(MigrationTargetTest, StandardServerRefusingASubscribeWarnsAndTheFolderGoesOn) {
  quickLogin(peer_, "V0", "LITERAL+");
  subscribing(peer_, 1, "INBOX", "* 2 EXISTS\r\nV1 OK\r\n", "NO [NOPERM] not allowed");
  // A connection lost before the SUBSCRIBE's answer is lost for the run.
  peer_.expect("V3 SELECT \"INBOX\"").expect("V4 SUBSCRIBE \"INBOX\"").send("V3 OK\r\n").close();
  MigrationTarget& target = start(true);
  EXPECT_TRUE(target.openAccount(mailbox_, false));
  EXPECT_EQ(target.createFolder(target.place("INBOX"), kFolderTypeMail), 2);
  EXPECT_EQ(log_.str(),
            "   Warning: the target refused to subscribe folder \"INBOX\" of <ann@example.com> "
            "(NO [NOPERM] not allowed): its messages go on, clients that show subscribed "
            "folders only do not show it\n");
  try {
    target.createFolder(target.place("INBOX"), kFolderTypeMail);
    ADD_FAILURE() << "a lost connection must not pass for a refusal";
  } catch (const QLConnectionLostException& error) {
    EXPECT_STREQ(error.what(), "cannot subscribe to folder INBOX");
  }
  finish();
}

TEST_F(MigrationTargetTest, AuditAsksEachAccountsSubscriptionsOnce) {
  quickLogin(peer_, "V0", "LITERAL+");
  peer_.expect("V1 LSUB \"\" \"*\"")
      .send("* LSUB () \".\" inbox\r\n* LSUB () \".\" Archiv\r\nV1 OK\r\n");
  peer_.expect("V2 LOGOUT").expectClosed();
  // What the account before had subscribed is no guide to this one.
  quickLogin(peer_, "V3", "LITERAL+");
  peer_.expect("V4 LSUB \"\" \"*\"").send("V4 NO [SERVERBUG] oops\r\n");
  MigrationTarget& target = start(true);
  const auto named = [](const std::string& wireName) {
    FolderPlace place;
    place.wireName = place.shownName = wireName;
    return place;
  };
  ASSERT_TRUE(target.actAs(mailbox_));
  EXPECT_TRUE(target.subscribed(named("INBOX")));  // INBOX in any case
  EXPECT_TRUE(target.subscribed(named("Archiv")));
  EXPECT_FALSE(target.subscribed(named("Archiv.2007")));
  EXPECT_FALSE(target.subscribed(named("archiv")));
  gateway_.disconnect(true, false);
  ASSERT_TRUE(target.actAs(mailbox_));
  // Subscriptions the server will not list are not held against a folder.
  EXPECT_TRUE(target.subscribed(named("Archiv.2007")));
  EXPECT_TRUE(target.subscribed(named("Archiv")));
  finish();
  EXPECT_EQ(log_.str(),
            "Warning: the target would not list the subscribed folders of <ann@example.com> "
            "(NO [SERVERBUG] oops): they are not compared\n");
}

TEST_F(MigrationTargetTest, StandardServerRefusingTheLoginFailsTheAccountAlone) {
  standardLogin(peer_).expect("V2 LOGOUT").send("V2 OK\r\n");
  peer_.accept().send("* OK ready\r\n").expect("V3 AUTHENTICATE PLAIN").send("+ \r\n");
  peer_.readLine().send("V3 NO [AUTHENTICATIONFAILED] no\r\n");
  peer_.accept().send("* OK ready\r\n").expect("V4 AUTHENTICATE PLAIN").send("+ \r\n");
  peer_.readLine().send("V4 NO [AUTHENTICATIONFAILED] no\r\n");
  MigrationTarget& target = start(true);
  ASSERT_TRUE(target.actAs(mailbox_));
  gateway_.disconnect(true);
  // The folders of the account before are no guide to this one's.
  EXPECT_FALSE(target.actAs(mailbox_));
  EXPECT_FALSE(target.canPlace());
  try {
    target.openAccount(mailbox_, false);
    ADD_FAILURE() << "a refused login must fail the account";
  } catch (const QLStoreException& error) {
    EXPECT_STREQ(error.what(), "the target refused the login for <ann@example.com>");
  }
  EXPECT_NE(log_.str().find("   Error: the target refused the login for <ann@example.com>: "
                            "accounts are not created on an IMAP server"),
            std::string::npos);
  finish();
}

TEST_F(MigrationTargetTest, StandardServerRefusingTheAdministratorEndsTheRun) {
  peer_.accept().send("* OK ready\r\n").expect("V0 AUTHENTICATE PLAIN").send("+ \r\n");
  peer_.readLine().send("V0 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
  MigrationTarget& target = start(true);
  try {
    target.openAccount(mailbox_, false);
    ADD_FAILURE() << "a refused administrator must end the run";
  } catch (const QLStoreException&) {
    ADD_FAILURE() << "a refused administrator is not one account's fault";
  } catch (const QLNetworkException& error) {
    EXPECT_STREQ(error.what(),
                 "the target refused the administrator's login (-admin \"admin\" with the master "
                 "password, AUTHENTICATIONFAILED)");
  }
  EXPECT_NE(log_.str().find("for <ann@example.com>, the first account tried: check -admin "
                            "and the master password\n"),
            std::string::npos);
  EXPECT_EQ(log_.str().find("it may not exist there"), std::string::npos);
  finish();
}

TEST_F(MigrationTargetTest, StandardServerRefusingOnlyTheAccountSaysWhy) {
  peer_.accept().send("* OK ready\r\n").expect("V0 AUTHENTICATE PLAIN").send("+ \r\n");
  peer_.readLine().send("V0 NO [AUTHORIZATIONFAILED] no\r\n");
  // Ending the connection at the login is how some servers refuse an
  // account they do not have.
  peer_.accept().send("* OK ready\r\n").expect("V1 AUTHENTICATE PLAIN").send("+ \r\n");
  peer_.readLine().close();
  MigrationTarget& target = start(true);
  EXPECT_THROW(target.openAccount(mailbox_, false), QLStoreException);
  EXPECT_NE(log_.str().find("   Info: the server accepted the administrator but not as "
                            "<ann@example.com> (AUTHORIZATIONFAILED)\n"),
            std::string::npos);
  EXPECT_FALSE(target.actAs(mailbox_));
  EXPECT_NE(log_.str().find("Info: <ann@example.com>: the server ended the connection at "
                            "the login, as it does for an account it does not have\n"),
            std::string::npos);
  finish();
}

TEST_F(MigrationTargetTest, OnlyAStandardServerLeavesFoldersWithoutMailOut) {
  const Folder calendar = folder("Kalender", "IPF.Appointment");
  const Folder contacts = folder("Kontakte", "IPF.Contact");
  const Folder mail = folder("INBOX", "IPF.Note");
  const Folder notes = folder("Notes", "IPF.StickyNote");
  MigrationTarget& target = start(false);
  for (const Folder* each : {&calendar, &contacts, &mail, &notes}) {
    EXPECT_TRUE(target.keeps(*each)) << each->name();
    EXPECT_EQ(target.whySkipped(*each), "") << each->name();
  }
  // The settings live as long as the targets that refer to them.
  MigrationSettings mailOnly = settings_, everything = settings_;
  mailOnly.standardTarget = everything.standardTarget = true;
  everything.createNonMailFolders = true;
  const std::unique_ptr<MigrationTarget> server =
      makeMigrationTarget(mailOnly, connection_, gateway_, reporter_, passwords_);
  EXPECT_EQ(server->whySkipped(calendar),
            "a calendar folder, the target keeps mail only (-nonMailFolders create)");
  EXPECT_STREQ(server->skippedKind(contacts), "contacts");
  EXPECT_TRUE(server->keeps(mail));
  EXPECT_TRUE(server->keeps(notes));
  const std::unique_ptr<MigrationTarget> creating =
      makeMigrationTarget(everything, connection_, gateway_, reporter_, passwords_);
  EXPECT_TRUE(creating->keeps(calendar));
  EXPECT_TRUE(creating->keeps(contacts));
  finish();
}

TEST_F(MigrationTargetTest, CheckSaysWhatAMigrationWouldDoWithAnExistingAccount) {
  MigrationTarget& target = start(false);
  EXPECT_EQ(target.checkAccount("ann@x", false).line, "");
  EXPECT_TRUE(target.checkAccount("ann@x", false).fine);
  EXPECT_FALSE(target.checkAccount("ann@x", true).fine);  // skipped without -force
  settings_.force = true;
  EXPECT_TRUE(target.checkAccount("ann@x", true).fine);
  settings_.standardTarget = true;
  const std::unique_ptr<MigrationTarget> server =
      makeMigrationTarget(settings_, connection_, gateway_, reporter_, passwords_);
  // Accounts are not created there: one that cannot be logged in to fails.
  EXPECT_FALSE(server->checkAccount("ann@x", false).fine);
  EXPECT_TRUE(server->checkAccount("ann@x", true).fine);
  finish();
}

}  // namespace
}  // namespace lodemig
