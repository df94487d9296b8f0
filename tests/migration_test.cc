// End-to-end tests of a migration run: the lodemig program migrates stores the
// tests build into the stand-in target server, and the tests compare the
// console, the log, the password file and what the server stored.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <tuple>
#include <vector>

#include "driver/run.h"
#include "tests/migration_fixture.h"
#include "tests/process.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

TEST_F(MigrationTest, EveryFolderAndMessageOfEveryAccountKindArrives) {
  builder_.account("", "john", AccountDirectory)
      .settings("{ RealName = \"John Smith\"; Password = johnpw; }")
      .info(
          "{ #StorageUsed = #2048; INBOX = { Class = IPF.Note; Messages = #2; };"
          " \"Archive/2007\" = { Class = IPF.Note; Messages = #1; };"
          " \"Bad:Name?\" = { Messages = #1; };"
          " Calendar = { Class = IPF.Appointment; Messages = #1; };"
          " Drafts = { Class = IPF.Note; Messages = #1; };"
          " Empty = { Class = IPF.Note; Messages = #0; };"
          " More = { Class = IPF.Note; Messages = #1; }; }");
  builder_.mailboxFile("", "john", "INBOX",
                       {{"SA", "1", "Wed Jun 30 21:49:08 1993", "Subject: one\r\n\r\nfirst\r\n"},
                        {"", "2", "5-1-2007_7:3:9_", "Subject: two\r\n\r\nsecond\r\n"}});
  builder_.mailboxFile("", "john", "Archive/2007",
                       {{"F", "3", "Mon Feb 12 10:00:00 2007", "Subject: old\r\n\r\nx\r\n"}});
  builder_.mailboxFile("", "john", "Bad:Name?",
                       {{"", "4", "Mon Feb 12 10:00:00 2007", "Subject: bad\r\n\r\ny\r\n"}});
  builder_.messageFile("", "john", "Calendar", "1-S-20070823103000-host",
                       "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n");
  builder_.messageFile("", "john", "Drafts", "2-D-20070101120000-host", "Subject: d\nbody\n");
  builder_.mailboxFile("", "john", "Empty", messages("empty", 1));
  builder_.mailboxFile("", "john", "More", messages("more", 2));

  builder_.account("example.org", "jane", MailboxFile)
      .settings("{ PasswordEncryption = md5; Password = 0123abcd; }")
      .info("{ #StorageUsed = #100; INBOX = { Messages = #1; }; }");
  builder_.mailboxFile("example.org", "jane", "INBOX", messages("jane", 1));

  builder_.account("example.net", "bob", MessageDirectory)
      .settings("{ RealName = Bob; PasswordEncryption = crypt; Password = zz; }")
      .info("{ INBOX = { Messages = #2; }; Sent = { Messages = #1; }; }");
  builder_.messageFile("example.net", "bob", "INBOX", "a-S-20070823103000-h", "bob 1\r\n");
  builder_.messageFile("example.net", "bob", "INBOX", "b--20070823103001-h", "bob 2\r\n");
  builder_.messageFile("example.net", "bob", "Sent", "c-A-20070823103002-h", "bob 3\r\n");

  startServer();
  ProcessResult result = migrate();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");

  // What arrived.
  EXPECT_EQ(accountFile("john@example.com"), "password: johnpw\nfullname: John Smith\n");
  EXPECT_EQ(foldersFile("john@example.com"),
            "X-MAIL INBOX\nX-MAIL Archive\nX-MAIL Archive/2007\n- Bad_Name_\n"
            "X-CALENDAR Calendar\nX-MAIL Drafts\nX-MAIL Empty\nX-MAIL More\n");
  const std::string day = "12-Feb-2007 10:00:00 +0000";
  EXPECT_EQ(
      storedMessages("john@example.com"),
      (std::vector<Stored>{
          {"Archive/2007", "\\Flagged ", day, "X-APPEND", "Subject: old\r\n\r\nx\r\n"},
          {"Bad_Name_", "", day, "X-APPEND", "Subject: bad\r\n\r\ny\r\n"},
          {"Calendar", "\\Seen ", "23-Aug-2007 10:30:00 +0000", "X-APPEND",
           "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"},
          {"Drafts", "\\Draft ", "01-Jan-2007 12:00:00 +0000", "X-APPEND",
           "Subject: d\r\nbody\r\n"},
          {"INBOX", "\\Seen \\Answered ", "30-Jun-1993 21:49:08 +0000", "X-APPEND",
           "Subject: one\r\n\r\nfirst\r\n"},
          {"INBOX", "", "05-Jan-2007 07:03:09 +0000", "X-APPEND", "Subject: two\r\n\r\nsecond\r\n"},
          {"More", "\\Seen ", "30-Jun-1993 21:49:08 +0000", "X-APPEND",
           "Subject: more 1\r\n\r\nbody\r\n"},
          {"More", "\\Seen ", "30-Jun-1993 21:49:08 +0000", "X-APPEND",
           "Subject: more 2\r\n\r\nbody\r\n"},
      }));
  EXPECT_EQ(foldersFile("jane@example.org"), "X-MAIL INBOX\n");
  EXPECT_EQ(storedMessages("jane@example.org"), std::vector<Stored>{inboxMessage("jane", 1)});
  EXPECT_EQ(foldersFile("bob@example.net"), "X-MAIL INBOX\n- Sent\n");
  std::vector<Stored> bob = storedMessages("bob@example.net");
  std::sort(bob.begin(), bob.end());
  EXPECT_EQ(bob, (std::vector<Stored>{
                     {"INBOX", "", "23-Aug-2007 10:30:01 +0000", "X-APPEND", "bob 2\r\n"},
                     {"INBOX", "\\Seen ", "23-Aug-2007 10:30:00 +0000", "X-APPEND", "bob 1\r\n"},
                     {"Sent", "\\Answered ", "23-Aug-2007 10:30:02 +0000", "X-APPEND", "bob 3\r\n"},
                 }));
  EXPECT_TRUE(storedMessages("admin").empty());
  EXPECT_EQ(metaField(accountFile("bob@example.net"), "fullname"), "Bob");

  // Generated passwords: the allowed ranges, different even within one second.
  const std::string janePassword = storedPassword("jane@example.org");
  const std::string bobPassword = storedPassword("bob@example.net");
  for (const std::string& password : {janePassword, bobPassword}) {
    ASSERT_EQ(password.size(), 6u) << password;
    for (char c : password) {
      EXPECT_TRUE((c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y') || (c >= '0' && c <= '8'))
          << password;
    }
  }
  EXPECT_NE(janePassword, bobPassword);

  // The password file, private.
  std::string record = onlyLodemigFile(work_, "pass");
  EXPECT_EQ(countOf(record, "\n"), 3);
  EXPECT_TRUE(contains(record, "<john@example.com>, password: \"johnpw\"\n"));
  EXPECT_TRUE(
      contains(record, "<jane@example.org>, password: \"" + janePassword + "\" (generated)\n"));
  EXPECT_TRUE(
      contains(record, "<bob@example.net>, password: \"" + bobPassword + "\" (generated)\n"));
  struct stat info;
  ASSERT_EQ(stat(lodemigFiles(work_, "pass")[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // The console: header, one block per domain in listing order, result.
  const std::string out = maskTimes(result.out);
  const std::string header =
      "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n\n"
      "Quillon path: \"" +
      store_ + "\"\nTorvane hostname: 127.0.0.1:" + server_->portText() +
      "\nStart time: T\nInfo: domains to migrate (mask): *\n"
      "Info: users to migrate (mask): *\nInfo: primary domain: example.com\n";
  const std::string johnBlock =
      "\ndomain (example.com)\n + mailbox <john>, size: 2.0KB\n" +
      folderLine("Archive/2007", {"1/1", "1/1"}, "1") +
      "Warning: folder-name \"Bad:Name?\" contain forbidden chars. "
      "Name \"Bad_Name_\" will be usead instead it.\n" +
      folderLine("Bad:Name?", {"1/1", "1/1"}, "1") + folderLine("Calendar", {"1/1", "1/1"}, "1") +
      folderLine("Drafts", {"1/1", "1/1"}, "1") + folderLine("Empty", {}, "0") +
      folderLine("INBOX", {"1/2", "1/2", "2/2"}, "2") +
      folderLine("More", {"1/1", "1/1", "2/1"}, "1");
  const std::string janeBlock = "\ndomain (example.org)\n + mailbox <jane>, size: 100B\n" +
                                folderLine("INBOX", {"1/1", "1/1"}, "1");
  const std::string bobBlock = "\ndomain (example.net)\n + mailbox <bob>, size: 0B\n" +
                               folderLine("INBOX", {"1/2", "1/2", "2/2"}, "2") +
                               folderLine("Sent", {"1/1", "1/1"}, "1");
  const std::string tail = "\nFinish time: T\n\nResult: migration successful\n";
  const bool orgFirst = out.find("(example.org)") < out.find("(example.net)");
  // After the result, the run's summary (its time and rate vary).
  const std::size_t summary = out.find("Info: accounts: ");
  EXPECT_EQ(out.substr(0, summary),
            header + johnBlock + (orgFirst ? janeBlock + bobBlock : bobBlock + janeBlock) + tail);
  EXPECT_TRUE(contains(out.substr(summary == std::string::npos ? 0 : summary),
                       "Info: accounts: 3 migrated, 0 skipped, 0 failed\n"
                       "Info: folders: 10, 0 not ok\n"))
      << out;

  // The log: the same report without the console's counters, and its own lines.
  const std::string log = onlyLodemigFile(work_, "log");
  EXPECT_EQ(countOf(log,
                    "Info: Ostrel MailServer 6.3.0 or newer detected, search indexing "
                    "disabled (improve migration speed).\n"),
            3);
  EXPECT_TRUE(contains(log, "   - \"More\", messages: 1\n"));
  EXPECT_TRUE(contains(log, "   - \"Empty\", messages: 0\n"));
  // The log says where the password is, never the password.
  EXPECT_TRUE(
      contains(log, "   Info: created user <jane@example.org>, password: in the password file\n"));
  EXPECT_FALSE(contains(log, janePassword)) << log;
  EXPECT_FALSE(contains(log, "\b"));
  EXPECT_TRUE(contains(maskTimes(log), " + mailbox <john>, size: 2.0KB, time: T\n"));
  EXPECT_TRUE(contains(maskTimes(log), tail));
}

TEST_F(MigrationTest, OlderServerGetsPlainAppendAndLineEndsCanStayAsStored) {
  builder_.account("", "ann", MessageDirectory)
      .settings("{ Password = annpw; }")
      .info("{ INBOX = { Messages = #1; }; }");
  builder_.messageFile("", "ann", "INBOX", "1-S-20070823103000-h", "Subject: a\nbody\n");
  startServer({"--version", "6.2.0"});
  ProcessResult result = migrate({"-disableCrLfFixing"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(storedMessages("ann@example.com"),
            (std::vector<Stored>{{"INBOX", "\\Seen ", "23-Aug-2007 10:30:00 +0000", "APPEND",
                                  "Subject: a\nbody\n"}}));
  EXPECT_FALSE(contains(onlyLodemigFile(work_, "log"), "6.3.0 or newer"));
}

// Messages past one piece go from the store file straight to the socket when
// nothing in them changes, and through the pieces when line ends are fixed.
TEST_F(MigrationTest, LargeMessagesArriveExactlyWithAndWithoutFixing) {
  std::string crLf, bareLf;
  for (int line = 0; crLf.size() < 200000; ++line) {
    const std::string text = "line " + std::to_string(line) + " of a large message";
    crLf += text + "\r\n";
    bareLf += text + "\n";
  }
  builder_.account("", "ann", MailboxFile)
      .settings("{ Password = annpw; }")
      .info("{ INBOX = { Messages = #2; }; }");
  builder_.mailboxFile("", "ann", "INBOX",
                       {{"S", "1", "Wed Jun 30 21:49:08 1993", crLf},
                        {"", "2", "Wed Jun 30 21:49:09 1993", bareLf}});
  std::string fixed;
  for (std::size_t at = 0; at < bareLf.size(); ++at) {
    // An LF that is the first byte of a 65535-byte piece stays as it is.
    if (bareLf[at] == '\n' && at % 65535 != 0) {
      fixed += '\r';
    }
    fixed += bareLf[at];
  }
  for (bool fixing : {true, false}) {
    SCOPED_TRACE(fixing ? "fixing" : "not fixing");
    startServer();
    ProcessResult result = migrate(fixing ? std::vector<std::string>{}
                                          : std::vector<std::string>{"-disableCrLfFixing"});
    EXPECT_EQ(result.exitStatus, 0);
    const std::vector<Stored> stored = storedMessages("ann@example.com");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_TRUE(stored[0].content == crLf);
    EXPECT_TRUE(stored[1].content == (fixing ? fixed : bareLf));
  }
}

TEST_F(MigrationTest, PasswordChoice) {
  builder_.domain("");
  builder_.account("example.org", "clear", MessageDirectory)
      .settings("{ Password = storepw; }")
      .info("{ INBOX = { Messages = #0; }; }");
  builder_.account("example.org", "crypt", MessageDirectory)
      .settings("{ PasswordEncryption = md5; Password = hashed; }")
      .info("{ INBOX = { Messages = #0; }; }");
  struct Case {
    std::vector<std::string> arguments;
    std::string clear;
    std::string crypt;  // empty: generated
  };
  const Case cases[] = {
      {{"-domain", "example.org", "-user", "*", "-setPass", "SP"}, "storepw", "SP"},
      {{"-domain", "example.org", "-user", "*", "-forceSetPass", "FP"}, "FP", "FP"},
      // Without a user mask the preset passwords have no effect.
      {{"-setPass", "SP", "-forceSetPass", "FP"}, "storepw", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    startServer();
    ScopedTempDir work;
    ProcessResult result = migrate(c.arguments, work.path());
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(storedPassword("clear@example.org"), c.clear);
    std::string crypt = storedPassword("crypt@example.org");
    std::string record = onlyLodemigFile(work.path(), "pass");
    EXPECT_TRUE(contains(record, "<clear@example.org>, password: \"" + c.clear + "\"\n"));
    if (c.crypt.empty()) {
      EXPECT_EQ(crypt.size(), 6u);
      EXPECT_TRUE(
          contains(record, "<crypt@example.org>, password: \"" + crypt + "\" (generated)\n"));
    } else {
      EXPECT_EQ(crypt, c.crypt);
      EXPECT_TRUE(contains(record, "<crypt@example.org>, password: \"" + crypt + "\"\n"));
    }
  }
}

TEST_F(MigrationTest, ExistingAccountNeedsForceAndKeepsItsPassword) {
  inboxAccount("john", 1);
  startServer({"--account", "john@example.com:old"});
  ProcessResult skipped = migrate();
  EXPECT_TRUE(contains(skipped.out,
                       " + mailbox <john>, size: 0B\n"
                       "   Info: cannot migrate, user already exist: use \"-force\" "
                       "argument\n"));
  EXPECT_TRUE(contains(skipped.out, "Result: migration successful\n"));
  EXPECT_EQ(skipped.exitStatus, 0);
  EXPECT_TRUE(storedMessages("john@example.com").empty());

  ProcessResult forced = migrate({"-force"});
  EXPECT_EQ(forced.exitStatus, 0);
  EXPECT_EQ(storedMessages("john@example.com"), std::vector<Stored>{inboxMessage("john", 1)});
  EXPECT_EQ(storedPassword("john@example.com"), "old");
  EXPECT_FALSE(contains(allFiles(work_, "log"), "created user"));
  // Both runs' lines are kept, whether or not they started in the same second.
  EXPECT_EQ(allFiles(work_, "pass"),
            "<john@example.com> already exist, hold current password\n"
            "<john@example.com> already exist, hold current password\n");
}

TEST_F(MigrationTest, RefusedMessageIsReportedAndTheNextOneSent) {
  inboxAccount("ann", 3);
  startServer({"--refuse-append", "2"});
  ProcessResult result = migrate();
  EXPECT_EQ(storedMessages("ann@example.com"),
            (std::vector<Stored>{inboxMessage("ann", 1), inboxMessage("ann", 3)}));
  EXPECT_TRUE(contains(result.out, "2/3\nError: cannot migrate message nr.: 2\n"));
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n"));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"),
                       "Error: append message error\nError: cannot migrate message nr.: 2\n"));
}

TEST_F(MigrationTest, TargetThatCannotBeUsedEndsTheRunAtTheFirstDomain) {
  inboxAccount("ann", 1);
  startServer();
  ProcessResult wrongPassword = migrate({"-password", "wrong"});
  EXPECT_EQ(wrongPassword.exitStatus, 1);
  EXPECT_TRUE(contains(maskTimes(wrongPassword.out),
                       "Info: primary domain: example.com\n"
                       "\nError: problem with authentication to Torvane\n"
                       "Finish time: T\n\nResult: migration failed\n"));
  EXPECT_TRUE(
      contains(onlyLodemigFile(work_, "log"), "Error: problem with authentication to Torvane\n"));
  EXPECT_FALSE(contains(wrongPassword.out, "domain ("));

  server_->stop();  // now nothing listens on its port
  ScopedTempDir work;
  ProcessOptions options;
  options.workingDirectory = work.path();
  // Without -primaryDomain the default domain is named after this host.
  ProcessResult unreachable = runProcess(LODEMIG_BINARY,
                                         {"-path", store_, "-migrate", "-server", "127.0.0.1",
                                          "-port", server_->portText(), "-password", "master"},
                                         options);
  EXPECT_EQ(unreachable.exitStatus, 3);
  EXPECT_TRUE(contains(unreachable.out,
                       "\nInfo: primary domain is not specified, the hostname is used instead: "));
  EXPECT_TRUE(contains(maskTimes(unreachable.out),
                       "\nError: cannot connect to Torvane\n"
                       "  cause: cannot connect to 127.0.0.1:" +
                           server_->portText() +
                           ": Connection refused\nFinish time: T\n\n"
                           "Result: migration failed\n"))
      << unreachable.out;
  EXPECT_TRUE(
      contains(onlyLodemigFile(work.path(), "log"), "Network error: cannot connect to Torvane\n"));
}

TEST_F(MigrationTest, LostConnectionWhileCreatingTheAccountEndsTheRun) {
  inboxAccount("ann", 1);
  // Commands 1-2 are the test connection's login and logout, 3 the mailbox's
  // login, 4 its X-CREATEUSER.
  startServer({"--bye-at", "4"});
  ProcessResult result = migrate();
  EXPECT_TRUE(contains(result.out,
                       "\nError: cannot create user\n"
                       "  cause: account <ann@example.com>: 127.0.0.1:" +
                           server_->portText() + " ended the connection: * BYE"))
      << result.out;
  EXPECT_FALSE(contains(result.out, "user already exist"));
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"), "Network error: cannot create user\n"));
  EXPECT_TRUE(lodemigFiles(work_, "pass").empty());
  EXPECT_EQ(result.exitStatus, 3);
}

TEST_F(MigrationTest, RefusedIdentitySwitchFailsOnlyThatMailbox) {
  inboxAccount("amy", 1);
  inboxAccount("ben", 1);
  startServer({"--refuse-setuser", "amy@example.com"});
  ProcessResult result = migrate();
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate mailbox <amy>\n"));
  EXPECT_TRUE(storedMessages("amy@example.com").empty());
  EXPECT_EQ(storedMessages("ben@example.com"), std::vector<Stored>{inboxMessage("ben", 1)});
  EXPECT_TRUE(storedMessages("admin").empty());
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"), "Error: problem with identity switching\n"));
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(MigrationTest, StoreErrorInAFolderReconnectsAndGoesOnWithTheNextFolder) {
  builder_.account("", "cid", AccountDirectory)
      .settings("{ Password = cidpw; }")
      .info("{ A = { Messages = #3; }; B = { Messages = #1; }; }");
  builder_.messageFile("", "cid", "A", "1-S-20070823103000-h", "a 1\r\n");
  builder_.messageFile("", "cid", "A", "2-S-20070823103000-h", "a 2\r\n");
  // A message file that cannot be opened.
  const std::string dangling = builder_.messageDirectoryPath("", "cid", "A") + "/3-S-x-h";
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), dangling.c_str()), 0);
  builder_.mailboxFile("", "cid", "B", messages("b", 1));
  startServer();
  ProcessResult result = migrate();

  std::vector<Stored> stored = storedMessages("cid@example.com");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored.back(), (Stored{"B", "\\Seen ", "30-Jun-1993 21:49:08 +0000", "X-APPEND",
                                   "Subject: b 1\r\n\r\nbody\r\n"}));
  for (std::size_t i = 0; i + 1 < stored.size(); ++i) {
    EXPECT_EQ(stored[i].folder, "A");
  }
  EXPECT_LE(stored.size(), 3u);
  EXPECT_TRUE(storedMessages("admin").empty());
  EXPECT_TRUE(
      contains(result.out,
               "\nError: cannot migrate folder \"A\"\n  cause: account <cid@example.com>, "
               "folder \"A\": cannot read messages file \"3-S-x-h\": No such file or directory\n"))
      << result.out;
  EXPECT_TRUE(
      contains(onlyLodemigFile(work_, "log"), "Error: cannot read messages file \"3-S-x-h\"\n"));
  // The account was provisioned again on the new connection.
  EXPECT_EQ(onlyLodemigFile(work_, "pass"),
            "<cid@example.com>, password: \"cidpw\"\n"
            "<cid@example.com> already exist, hold current password\n");
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(MigrationTest, ConnectionDroppedInsideAnAppendLosesNothingIntoOtherAccounts) {
  inboxAccount("dan", 3);
  startServer({"--drop-append", "2"});
  ProcessResult result = migrate();
  std::vector<Stored> stored = storedMessages("dan@example.com");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored[0], inboxMessage("dan", 1));
  std::vector<Stored> distinct = stored;
  std::sort(distinct.begin(), distinct.end());
  EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end()) << "stored twice";
  EXPECT_TRUE(storedMessages("admin").empty());
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n"));
  EXPECT_EQ(result.exitStatus, 3);
}

TEST_F(MigrationTest, QuietRunWritesNothingToTheConsoleAndTheSameLog) {
  inboxAccount("eve", 2);
  startServer();
  ScopedTempDir loudWork;
  ProcessResult loud = migrate({}, loudWork.path());
  const std::string loudPort = server_->portText();
  startServer();
  ScopedTempDir quietWork;
  ProcessResult quiet = migrate({"-quiet"}, quietWork.path());
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.exitStatus, 0);
  EXPECT_EQ(loud.exitStatus, 0);

  // The summary's duration and rate depend on the clock, not on -quiet.
  const auto withoutDuration = [](std::string log) {
    const std::size_t at = log.find("Info: time: ");
    return at == std::string::npos ? log : log.erase(at, log.find('\n', at) - at);
  };
  std::string loudLog = withoutDuration(maskTimes(onlyLodemigFile(loudWork.path(), "log")));
  std::string quietLog = withoutDuration(maskTimes(onlyLodemigFile(quietWork.path(), "log")));
  ASSERT_TRUE(contains(onlyLodemigFile(quietWork.path(), "log"), "Info: time: "));
  const std::string loudHost = "127.0.0.1:" + loudPort + "\n";
  ASSERT_TRUE(contains(loudLog, loudHost));
  loudLog.replace(loudLog.find(loudHost), loudHost.size(),
                  "127.0.0.1:" + server_->portText() + "\n");
  EXPECT_EQ(quietLog, loudLog);
  EXPECT_EQ(storedMessages("eve@example.com").size(), 2u);
}

// Makes the run files of every start second from now on, for a while, the
// device /dev/full is (a link is not followed): each write to them fails as on
// a full disk. `extensions` names which of "log" and "pass". False when this
// process may not make device nodes.
bool runFilesOnFullDevice(const std::string& work, std::initializer_list<const char*> extensions) {
  makeDirectories(work);
  const std::time_t now = std::time(nullptr);
  for (int second = 0; second < 30; ++second) {
    for (const char* extension : extensions) {
      const std::string name = work + "/lodemig_" + startTimestamp(now + second) + "." + extension;
      if (mknod(name.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) {
        return false;
      }
    }
  }
  return true;
}

// What a run with a broken password file must show: the error naming the
// file, then the password of the account whose line it could not take; with
// `accountsLeft`, the end of the run before the next account.
void expectPasswordOnStandardError(const ProcessResult& result, const std::string& line,
                                   bool accountsLeft) {
  EXPECT_TRUE(contains(result.err, ".pass: No space left on device, its line follows:\n" + line))
      << result.err;
  EXPECT_EQ(contains(result.out,
                     "\nError: no further accounts are created, the password file "
                     "cannot be written\nFinish time: "),
            accountsLeft)
      << result.out;
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n"));
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(MigrationTest, PasswordFileThatCannotBeWrittenStopsCreatingAccounts) {
  inboxAccount("ann", 2);
  inboxAccount("ben", 1);
  startServer();
  if (!runFilesOnFullDevice(work_, {"pass"})) {
    GTEST_SKIP() << "only root may make a device node";
  }
  ProcessResult result = migrate();
  const std::string line = "<ann@example.com>, password: \"pwann\"\n";
  expectPasswordOnStandardError(result, line, true);
  // The account whose line went astray is finished; no other is created.
  EXPECT_EQ(storedMessages("ann@example.com").size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(accountDirectory("ben@example.com")));
  const std::string log = onlyLodemigFile(work_, "log");
  EXPECT_TRUE(contains(log, ".pass: No space left on device\n")) << log;
  EXPECT_TRUE(contains(log, "Error: no further accounts are created\n"));
}

TEST_F(MigrationTest, FullDiskFailsTheRunButKeepsThePasswords) {
  builder_.account("", "gen", AccountDirectory)
      .settings("{ RealName = Gen; }")
      .info("{ INBOX = { Messages = #1; }; }");
  builder_.mailboxFile("", "gen", "INBOX", messages("gen", 1));
  startServer();
  if (!runFilesOnFullDevice(work_, {"log", "pass"})) {
    GTEST_SKIP() << "only root may make a device node";
  }
  ProcessResult result = migrate();
  const std::string password = storedPassword("gen@example.com");
  ASSERT_EQ(password.size(), 6u) << result.out << result.err;
  expectPasswordOnStandardError(
      result, "<gen@example.com>, password: \"" + password + "\" (generated)\n", false);
  EXPECT_EQ(countOf(result.err, ".log: No space left on device\n"), 1) << result.err;
  EXPECT_EQ(storedMessages("gen@example.com").size(), 1u);

  // The same on a real file system that has run full, where one may be mounted.
  ScopedTempDir full;
  if (mount("tmpfs", full.path().c_str(), "tmpfs", 0, "size=16k") != 0) {
    return;
  }
  {
    std::ofstream filler(full / "filler", std::ios::binary);
    filler << std::string(64 * 1024, 'x');  // takes what room there is, and fails
  }
  startServer();
  ProcessResult onTmpfs = migrate({}, full.path());
  const std::string tmpfsPassword = storedPassword("gen@example.com");
  umount2(full.path().c_str(), MNT_DETACH);
  expectPasswordOnStandardError(
      onTmpfs, "<gen@example.com>, password: \"" + tmpfsPassword + "\" (generated)\n", false);
  EXPECT_EQ(countOf(onTmpfs.err, ".log: No space left on device\n"), 1) << onTmpfs.err;
}

TEST_F(MigrationTest, SilentServerIsGivenUpAfterTheTimeout) {
  inboxAccount("ann", 1);
  // Every tagged answer comes after 4 s: longer than the run waits.
  startServer({"--delay-ms", "4000"});
  ProcessResult result = migrate({"-timeout", "1"});
  EXPECT_TRUE(contains(result.out, "\nError: cannot connect to Torvane\n")) << result.out;
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_FALSE(result.timedOut);
}

// A store of all three account kinds for the journal's trials: `Stored`
// records of every message, in no particular order.
std::vector<std::pair<std::string, Stored>> journalStore(StoreBuilder& builder) {
  std::vector<std::pair<std::string, Stored>> expected;
  const char date[] = "Wed Jun 30 21:49:08 1993";
  const std::string day = "30-Jun-1993 21:49:08 +0000";
  auto mailbox = [&](const std::string& domain, const std::string& account,
                     const std::string& folder, int count) {
    std::vector<MailboxMessage> list;
    for (int i = 1; i <= count; ++i) {
      std::string content = "Subject: " + account + " " + folder + " " + std::to_string(i) +
                            "\r\n\r\n" + std::string(static_cast<std::size_t>(i * 37), 'b') +
                            "\r\n";
      list.push_back({i % 3 == 0 ? "" : "S", std::to_string(i), date, content});
      expected.push_back({account + "@" + (domain.empty() ? "example.com" : domain),
                          {folder, i % 3 == 0 ? "" : "\\Seen ", day, "X-APPEND", content}});
    }
    builder.mailboxFile(domain, account, folder, list);
  };
  auto directory = [&](const std::string& domain, const std::string& account,
                       const std::string& folder, int count) {
    for (int i = 1; i <= count; ++i) {
      std::string content = account + " " + folder + " " + std::to_string(i) + "\r\n";
      builder.messageFile(domain, account, folder,
                          std::to_string(1000 + i) + "-S-20070823103000-host", content);
      expected.push_back({account + "@" + (domain.empty() ? "example.com" : domain),
                          {folder, "\\Seen ", "23-Aug-2007 10:30:00 +0000", "X-APPEND", content}});
    }
  };
  builder.account("", "ann", AccountDirectory)
      .info(
          "{ INBOX = { Messages = #90; }; Drafts = { Messages = #30; }; Sent = { Messages = #40; "
          "}; }");
  mailbox("", "ann", "INBOX", 90);
  directory("", "ann", "Drafts", 30);
  mailbox("", "ann", "Sent", 40);
  builder.account("", "bea", MailboxFile)
      .settings("{ Password = beapw; }")
      .info("{ INBOX = { Messages = #80; }; }");
  mailbox("", "bea", "INBOX", 80);
  builder.account("example.org", "cid", MessageDirectory).info("{ INBOX = { Messages = #60; }; }");
  directory("example.org", "cid", "INBOX", 60);
  builder.account("", "ann", AccountDirectory).settings("{ RealName = Ann; }");
  builder.account("example.org", "cid", MessageDirectory).settings("{ RealName = Cid; }");
  return expected;
}

// Kills the migration at random instants and runs it again with the same
// journal until it succeeds: every message must then be on the target once,
// as stored, and every created account's password in a password file.
TEST_F(MigrationTest, KilledRunsResumeWithoutLossOrDouble) {
  const std::vector<std::pair<std::string, Stored>> expected = journalStore(builder_);
  std::mt19937 random(20261207);
  int killedMidway = 0;
  int unrecordedArrivals = 0;  // trials where the target's count settled what no record said
  for (int trial = 0; trial < 30; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    // The last ten with appends in flight and accounts at the same time.
    const std::vector<std::string> speed =
        trial < 20 ? std::vector<std::string>{}
                   : std::vector<std::string>{"-window", "8", "-jobs", "3"};
    // Every answer a little late, so that a kill lands inside the run.
    startServer({"--delay-ms", "1"});
    ScopedTempDir work;
    const std::string journal = work / "journal";
    ProcessOptions killed;
    killed.workingDirectory = work.path();
    killed.signalAfterMilliseconds = 5 + static_cast<int>(random() % 400);
    std::vector<std::string> all = {"-path",     store_,           "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com",       "-journal",
                                    journal,     "-quiet"};
    all.insert(all.end(), speed.begin(), speed.end());
    ProcessResult first = runProcess(LODEMIG_BINARY, all, killed);
    killedMidway += first.exitStatus == 128 + 9 ? 1 : 0;
    int runs = 0;
    ProcessResult again;
    do {
      ProcessOptions options;
      options.workingDirectory = work.path();
      again = runProcess(LODEMIG_BINARY, all, options);
    } while (again.exitStatus != 0 && ++runs < 5);
    ASSERT_EQ(again.exitStatus, 0)
        << again.err << readFile(lodemigFiles(work.path(), "log").back());
    // Messages the target held but no record named: found by identity.
    if (std::regex_search(allFiles(work.path(), "log"), std::regex(": [1-9][0-9]* matched, "))) {
      ++unrecordedArrivals;
    }

    std::map<std::string, std::vector<Stored>> want;
    for (const auto& [account, message] : expected) {
      want[account].push_back(message);
    }
    for (auto& [account, messages] : want) {
      std::vector<Stored> got = storedMessages(account);
      std::sort(got.begin(), got.end());
      std::sort(messages.begin(), messages.end());
      EXPECT_EQ(got.size(), messages.size()) << account;
      EXPECT_TRUE(got == messages) << account;
      const std::string password = storedPassword(account);
      EXPECT_TRUE(contains(allFiles(work.path(), "pass"),
                           "<" + account + ">, password: \"" + password + "\""))
          << account << " " << password;
    }
  }
  // The trials must have interrupted real work, not only runs already over.
  EXPECT_GE(killedMidway, 15);
  EXPECT_GE(unrecordedArrivals, 1);
  std::cout << "killed midway: " << killedMidway
            << " of 30, unrecorded arrivals matched: " << unrecordedArrivals << "\n";
}

TEST_F(MigrationTest, JournalOfAnotherRunOrDamagedIsRefusedBeforeAnythingIsSent) {
  inboxAccount("ann", 2);
  startServer();
  const std::string journal = dir_ / "journal";
  ASSERT_EQ(migrate({"-journal", journal}).exitStatus, 0);
  const std::string firstPort = server_->portText();
  const std::string original = readFile(journal);
  startServer();
  // Journals of the text format runs wrote before: imported when whole and
  // of this run, refused, and left as they are, when not.
  const std::string header = "lodemig-journal 1\t" + std::filesystem::canonical(store_).string() +
                             "\t127.0.0.1:" + server_->portText() + "\n";
  struct Case {
    std::string text;
    std::string refusal;
  };
  const std::string moveAway = "; move it away to start a new journal\n";
  const Case cases[] = {
      {"lodemig-journal 1\t/elsewhere\t127.0.0.1:1\n",
       " is of another store or target\nArgument error: the journal's store is /elsewhere, this "
       "run's " +
           std::filesystem::canonical(store_).string() + "\n"},
      {header + "account\tann@example.com\n", " is damaged at line 2" + moveAway},
      {header + "stored\ta\tb\tc\tx\t1\nfolder-done\ta\tb\n", " is damaged at line 2" + moveAway},
      {header + "count\ta\tb\t1\nnonsense\nfolder-done\ta\tb\n",
       " is damaged at line 3" + moveAway},
  };
  const std::string text = dir_ / "text-journal";
  for (const Case& c : cases) {
    writeFile(text, c.text);
    ProcessResult result = migrate({"-journal", text});
    EXPECT_EQ(result.out, "Argument error: journal " + text + c.refusal) << c.text;
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(readFile(text), c.text);
  }
  EXPECT_FALSE(std::filesystem::exists(accountDirectory("ann@example.com")));
  // A torn last line is only a record the crash cut short: dropped, and the
  // rest imported.
  writeFile(text, header + "account-done\tann@example.com\nstored\tann@exa");
  ProcessResult torn = migrate({"-journal", text});
  EXPECT_EQ(torn.exitStatus, 0) << torn.out;
  EXPECT_TRUE(contains(torn.out,
                       " + mailbox <ann>, size: 0B\n"
                       "   Info: already migrated, as the journal records\n"));
  EXPECT_EQ(readFile(text + ".txt"), header + "account-done\tann@example.com\nstored\tann@exa");
  EXPECT_FALSE(std::filesystem::exists(accountDirectory("ann@example.com")));

  // The first run's journal names the first server's address.
  ProcessResult other = migrate({"-journal", journal});
  EXPECT_EQ(other.out, "Argument error: journal " + journal +
                           " is of another store or target\nArgument error: the journal's target "
                           "is 127.0.0.1:" +
                           firstPort + ", this run's 127.0.0.1:" + server_->portText() +
                           "; if it is the same server, add -retarget\n");
  EXPECT_EQ(other.exitStatus, 2);
  EXPECT_EQ(readFile(journal), original);
  // The same server under its new address: -retarget takes the journal and
  // records the address, so that later runs need no -retarget.
  ProcessResult moved = migrate({"-journal", journal, "-retarget"});
  EXPECT_EQ(moved.exitStatus, 0) << moved.out;
  EXPECT_TRUE(contains(moved.out, "   Info: already migrated, as the journal records\n"));
  EXPECT_EQ(migrate({"-journal", journal}).exitStatus, 0);
  EXPECT_FALSE(std::filesystem::exists(accountDirectory("ann@example.com")));
}

TEST_F(MigrationTest, StopSignalEndsTheRunBetweenMessagesAndTheJournalResumes) {
  inboxAccount("ann", 200);
  const std::pair<int, int> signals[] = {{2, 130}, {15, 143}};
  for (const auto& [signal, status] : signals) {
    SCOPED_TRACE(signal);
    startServer({"--delay-ms", "2"});
    ScopedTempDir work;
    const std::string journal = work / "journal";
    std::vector<std::string> all = {"-path",     store_,           "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com",       "-journal",
                                    journal};
    ProcessOptions options;
    options.workingDirectory = work.path();
    // Once the run is well into the folder.
    options.signalWhen = [&] { return arrivedCount("ann@example.com") >= 20; };
    options.signal = signal;
    ProcessResult stopped = runProcess(LODEMIG_BINARY, all, options);
    EXPECT_EQ(stopped.exitStatus, status);
    const std::string name = signal == 2 ? "SIGINT" : "SIGTERM";
    const std::string said = "\nInfo: the run was interrupted by " + name +
                             ": run the same command again, with the same -journal, to resume\n";
    EXPECT_TRUE(
        contains(maskTimes(stopped.out), said + "\nFinish time: T\n\nResult: migration failed\n"))
        << stopped.out;
    EXPECT_TRUE(contains(onlyLodemigFile(work.path(), "log"), said));
    const std::size_t arrived = storedMessages("ann@example.com").size();
    EXPECT_GT(arrived, 0u);
    EXPECT_LT(arrived, 200u);

    options.signalWhen = nullptr;
    ProcessResult resumed = runProcess(LODEMIG_BINARY, all, options);
    EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
    std::vector<Stored> got = storedMessages("ann@example.com");
    std::vector<Stored> want;
    for (int i = 1; i <= 200; ++i) {
      want.push_back(inboxMessage("ann", i));
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_TRUE(got == want) << got.size();
  }
}

TEST_F(MigrationTest, RetryGetsPastDroppedConnectionsAndByeWithEveryMessageOnce) {
  const std::vector<std::string> faults[] = {
      {"--drop-append", "2", "--drop-append", "5"},
      // Commands 1-2 are the domain's test connection, 3-6 the account's
      // login, creation, switch and version; 8 and 9 are appends.
      {"--bye-at", "8", "--bye-at", "12"},
      {"--bye-at", "3"},  // the account's first login
  };
  for (const std::vector<std::string>& fault : faults) {
    SCOPED_TRACE(::testing::PrintToString(fault));
    inboxAccount("eva", 6);
    startServer(fault);
    ScopedTempDir work;
    ProcessResult result = migrate({"-retry", "3"}, work.path());
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "Result: migration successful\n"));
    EXPECT_TRUE(contains(result.out, ", try 1 of 3 in 1 s\n")) << result.out;
    // A lost version check makes the rest plain APPENDs: only the messages count.
    std::vector<std::string> got;
    for (const Stored& message : storedMessages("eva@example.com")) {
      got.push_back(message.folder + "|" + message.flags + "|" + message.content);
    }
    std::vector<std::string> want;
    for (int i = 1; i <= 6; ++i) {
      const Stored message = inboxMessage("eva", i);
      want.push_back(message.folder + "|" + message.flags + "|" + message.content);
    }
    EXPECT_EQ(got, want);
    EXPECT_TRUE(storedMessages("admin").empty());
  }
}

TEST_F(MigrationTest, ThreeAccountsInARowLostAfterTheirRetriesStopTheRun) {
  for (const char* name : {"amy", "bo", "cy", "dee"}) {
    inboxAccount(name, 2);
  }
  std::vector<std::string> fault;
  for (int append = 1; append <= 6; ++append) {
    fault.insert(fault.end(), {"--drop-append", std::to_string(append)});
  }
  startServer(fault);
  ProcessResult result = migrate({"-retry", "1"});
  EXPECT_EQ(result.exitStatus, 3);
  const std::string out = maskTimes(result.out);
  EXPECT_EQ(countOf(out, "   Warning: cannot append message, try 1 of 1 in 1 s\n"), 3) << out;
  // The walk's order is the directory's: whichever three come first.
  EXPECT_EQ(countOf(out, " + mailbox <"), 3) << out;
  EXPECT_EQ(countOf(out, "\nError: cannot migrate mailbox <"), 2) << out;
  EXPECT_TRUE(contains(out,
                       "\nError: cannot append message: 3 accounts in a row failed, "
                       "Torvane seems down\n  cause: account <"))
      << out;
  EXPECT_TRUE(contains(out, " closed the connection\nFinish time: T\n\nResult: migration failed\n"))
      << out;
}

}  // namespace
}  // namespace lodemig::testing
