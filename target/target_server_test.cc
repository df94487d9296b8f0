#include "target/target_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "imap/digest.h"
#include "target/content_digest.h"
#include "target/line_client.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig::target {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;

constexpr char kChallenge[] = "<1896.697170952@postoffice.reston.mci.net>";

class TargetServerTest : public ::testing::Test {
 protected:
  // Starts a server on a free port, storing under the temporary directory,
  // with one account and a fixed challenge unless the test says otherwise.
  void start(TargetOptions options = TargetOptions()) {
    options.port = 0;
    if (options.storeDirectory == "none") {
      options.storeDirectory.clear();
    } else if (options.storeDirectory.empty()) {
      options.storeDirectory = dir_.path();
    }
    if (options.fixedChallenge.empty()) {
      options.fixedChallenge = kChallenge;
    } else if (options.fixedChallenge == "random") {
      options.fixedChallenge.clear();
    }
    options.accounts.push_back({"tim@example.com", "tanstaaftanstaaf"});
    server_ = std::make_unique<TargetServer>(options);
    server_->start();
    runner_ = std::thread([this] { server_->run(); });
  }

  // Stops the server and returns its summary line.
  std::string stop() {
    if (server_ == nullptr) {
      return "";
    }
    server_->stop();
    runner_.join();
    const std::string summary = server_->summaryLine();
    server_.reset();
    return summary;
  }

  void TearDown() override { stop(); }

  std::unique_ptr<LineClient> connect() {
    auto client = std::make_unique<LineClient>(server_->port());
    EXPECT_TRUE(client->connected());
    EXPECT_EQ("* OK lodemig-target IMAP4rev1 server ready\r\n", client->readLine());
    return client;
  }

  // A connection logged in with X-MASTERAUTH, acting as `account` when given.
  std::unique_ptr<LineClient> admin(const std::string& account = "") {
    auto client = connect();
    EXPECT_EQ(std::string("+ ") + kChallenge + "\r\n",
              client->sendAndReadLine("M1 X-MASTERAUTH\r\n"));
    EXPECT_EQ("M1 OK X-MASTERAUTH completed\r\n",
              client->exchange(ostrel::crypto::md5Hex(std::string(kChallenge) + "master") + "\r\n",
                               "M1"));
    if (!account.empty()) {
      EXPECT_EQ("M2 OK X-SETUSER completed\r\n",
                client->exchange("M2 X-SETUSER \"" + account + "\"\r\n", "M2"));
    }
    return client;
  }

  struct Exchange {
    const char* command;
    const char* answer;
  };
  // Sends each command tagged "T" and compares the tagged answer.
  template <std::size_t N>
  static void expectAnswers(LineClient& client, const Exchange (&cases)[N]) {
    for (const Exchange& c : cases) {
      EXPECT_EQ(std::string("T ") + c.answer + "\r\n",
                client.exchange(std::string("T ") + c.command + "\r\n", "T"))
          << c.command;
    }
  }

  // The text of the exception the constructor throws for `options`.
  static std::string constructionError(const TargetOptions& options) {
    try {
      TargetServer server(options);
    } catch (const QLException& e) {
      return e.what();
    }
    return "no exception";
  }

  std::string account(const std::string& address, const std::string& file) {
    return readFile(dir_ / ("accounts/" + address + "/" + file));
  }

  ScopedTempDir dir_;
  std::unique_ptr<TargetServer> server_;
  std::thread runner_;
};

TEST_F(TargetServerTest, MasterAuthAcceptsOnlyTheLowerCaseDigestOfChallengeAndPassword) {
  start();
  admin();  // the right reply, checked inside
  auto client = connect();
  client->sendAndReadLine("A1 X-MASTERAUTH\r\n");
  EXPECT_EQ(
      "A1 NO [AUTHENTICATIONFAILED] Master authentication failed\r\n",
      client->exchange(ostrel::crypto::md5Hex(std::string(kChallenge) + "wrong") + "\r\n", "A1"));
  client->sendAndReadLine("A2 X-MASTERAUTH\r\n");
  std::string upper = ostrel::crypto::md5Hex(std::string(kChallenge) + "master");
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  EXPECT_EQ("A2 NO [AUTHENTICATIONFAILED] Master authentication failed\r\n",
            client->exchange(upper + "\r\n", "A2"));
  // Still not logged in.
  EXPECT_EQ("A3 BAD Not authenticated\r\n", client->exchange("A3 SELECT INBOX\r\n", "A3"));
}

TEST_F(TargetServerTest, MasterAuthChallengesAreFresh) {
  TargetOptions options;
  options.fixedChallenge = "random";
  options.storeDirectory = "none";
  start(options);
  auto client = connect();
  const std::string first = client->sendAndReadLine("A1 X-MASTERAUTH\r\n");
  EXPECT_TRUE(std::regex_match(first, std::regex("\\+ <[0-9]+\\.[0-9]+@lodemig-target>\r\n")))
      << first;
  client->exchange("*\r\n", "A1");
  const std::string second = client->sendAndReadLine("A2 X-MASTERAUTH\r\n");
  EXPECT_NE(first, second);
  const std::string challenge = second.substr(2, second.size() - 4);
  EXPECT_EQ("A2 OK X-MASTERAUTH completed\r\n",
            client->exchange(ostrel::crypto::md5Hex(challenge + "master") + "\r\n", "A2"));
}

TEST_F(TargetServerTest, CramMd5FollowsTheRfcExample) {
  start();
  auto client = connect();
  EXPECT_EQ("+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n",
            client->sendAndReadLine("C1 AUTHENTICATE CRAM-MD5\r\n"));
  EXPECT_EQ(
      "C1 NO [AUTHENTICATIONFAILED] Authentication failed\r\n",
      client->exchange(
          ostrel::crypto::base64Encode("tim@example.com b913a602c7eda7a495b4e6e7334d3891") + "\r\n",
          "C1"));
  client->sendAndReadLine("C2 AUTHENTICATE CRAM-MD5\r\n");
  EXPECT_EQ(
      "C2 OK AUTHENTICATE completed\r\n",
      client->exchange(
          ostrel::crypto::base64Encode("tim@example.com b913a602c7eda7a495b4e6e7334d3890") + "\r\n",
          "C2"));
  EXPECT_EQ("C3 OK CREATE completed\r\n", client->exchange("C3 CREATE Drafts\r\n", "C3"));
  EXPECT_EQ("- Drafts\n", account("tim@example.com", "folders").substr(13));
}

TEST_F(TargetServerTest, LoginTakesQuotedOrAtomArgumentsAndGivesNoMasterRights) {
  start();
  auto client = connect();
  EXPECT_EQ("L1 NO [AUTHENTICATIONFAILED] Authentication failed\r\n",
            client->exchange("L1 LOGIN tim@example.com wrong\r\n", "L1"));
  EXPECT_EQ("L2 NO [AUTHENTICATIONFAILED] Authentication failed\r\n",
            client->exchange("L2 LOGIN admin \"\"\r\n", "L2"));
  EXPECT_EQ("L3 OK LOGIN completed\r\n",
            client->exchange("L3 LOGIN \"Tim@Example.com\" tanstaaftanstaaf\r\n", "L3"));
  EXPECT_EQ("L4 NO X-SETUSER needs the master login\r\n",
            client->exchange("L4 X-SETUSER \"tim@example.com\"\r\n", "L4"));
  EXPECT_EQ("L5 NO X-CREATEUSER needs the master login\r\n",
            client->exchange("L5 X-CREATEUSER (NAME {1+}\r\nx DOMAIN {1+}\r\ny)\r\n", "L5"));
  EXPECT_EQ("L6 BAD Already authenticated\r\n",
            client->exchange("L6 LOGIN tim@example.com tanstaaftanstaaf\r\n", "L6"));
}

TEST_F(TargetServerTest, CreateUserTakesLiteralsAndRefusesExistingAccounts) {
  start();
  auto client = admin();
  EXPECT_EQ("U1 OK X-CREATEUSER completed\r\n",
            client->exchange(
                "U1 X-CREATEUSER (NAME {7+}\r\nann lee DOMAIN {7+}\r\nx ample PASSWORD "
                "\"p\\\"w\\\\\" FULLNAME \"Ann \\\"A\\\" Lee\" GROUPS ( \"g1\"  \"g2\"))\r\n",
                "U1"));
  EXPECT_EQ("password: p\"w\\\nfullname: Ann \"A\" Lee\n", account("ann lee@x ample", "account"));
  EXPECT_EQ("X-MAIL INBOX\n", account("ann lee@x ample", "folders"));
  EXPECT_EQ("U2 NO [ALREADYEXISTS] Account exists\r\n",
            client->exchange("U2 X-CREATEUSER (NAME {7+}\r\nANN LEE DOMAIN {7+}\r\nx ample "
                             "PASSWORD \"other\")\r\n",
                             "U2"));
  EXPECT_EQ("password: p\"w\\\nfullname: Ann \"A\" Lee\n", account("ann lee@x ample", "account"));
  // Without FULLNAME, with a synchronizing literal.
  EXPECT_EQ("+ Ready\r\n", client->sendAndReadLine("U3 X-CREATEUSER (NAME {3}\r\n"));
  EXPECT_EQ("U3 OK X-CREATEUSER completed\r\n",
            client->exchange("bob DOMAIN \"y.org\" PASSWORD \"pw\")\r\n", "U3"));
  EXPECT_EQ("password: pw\nfullname: \n", account("bob@y.org", "account"));
}

TEST_F(TargetServerTest, CreateUserRefusesNamesThatLeaveTheStore) {
  start();
  auto client = admin();
  const Exchange cases[] = {
      {"X-CREATEUSER (NAME \"../../x\" DOMAIN \"y\" PASSWORD \"p\")", "NO Invalid account"},
      {"X-CREATEUSER (NAME \"a@b\" DOMAIN \"y\" PASSWORD \"p\")", "NO Invalid account"},
      {"X-CREATEUSER (NAME \"\" DOMAIN \"y\" PASSWORD \"p\")", "NO Invalid account"},
      {"X-CREATEUSER (NAME {2+}\r\na\n DOMAIN \"y\")", "NO Invalid account"},
      {"X-CREATEUSER (NAME \"a\" PASSWORD \"p\")", "BAD X-CREATEUSER needs NAME and DOMAIN"},
      {"X-CREATEUSER (NAME \"a\" DOMAIN \"y\" COLOR \"red\")", "BAD Unknown X-CREATEUSER item"},
      {"X-CREATEUSER (NAME \"a\" DOMAIN)", "BAD Malformed X-CREATEUSER list"},
      {"X-CREATEUSER NAME", "BAD X-CREATEUSER needs a parenthesized list"},
  };
  expectAnswers(*client, cases);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "x"));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir_ / "accounts"),
                             std::filesystem::directory_iterator()))
      << "only tim's";
}

TEST_F(TargetServerTest, SetUserSwitchesAccountsUnlessUnknownOrRefused) {
  TargetOptions options;
  options.accounts.push_back({"ann@example.com", "a"});
  options.refuseSetUser.push_back("ANN@example.com");
  start(options);
  auto client = admin();
  EXPECT_EQ("S1 NO No such account\r\n",
            client->exchange("S1 X-SETUSER \"nobody@example.com\"\r\n", "S1"));
  EXPECT_EQ("S2 NO X-SETUSER refused\r\n",
            client->exchange("S2 X-SETUSER \"ann@example.com\"\r\n", "S2"));
  EXPECT_EQ("S3 OK X-SETUSER completed\r\n",
            client->exchange("S3 X-SETUSER \"tim@example.com\"\r\n", "S3"));
  client->exchange("S4 CREATE \"Tims\"\r\n", "S4");
  EXPECT_EQ("X-MAIL INBOX\n- Tims\n", account("tim@example.com", "folders"));
}

TEST_F(TargetServerTest, RefuseSetUserStarRefusesEveryAccount) {
  TargetOptions options;
  options.refuseSetUser.push_back("*");
  start(options);
  auto client = admin();
  EXPECT_EQ("S1 NO X-SETUSER refused\r\n",
            client->exchange("S1 X-SETUSER \"tim@example.com\"\r\n", "S1"));
}

TEST_F(TargetServerTest, CreateRecordsTheKindWordBeforeTheName) {
  start();
  auto client = admin("tim@example.com");
  const Exchange cases[] = {
      {"CREATE (X-MAIL) \"Sent Items\"", "OK CREATE completed"},
      {"CREATE (X-CALENDAR GUID \"{abc}\") \"Calendar\"", "OK CREATE completed"},
      {"CREATE (GUID \"g\" X-TODO) Tasks", "OK CREATE completed"},
      {"CREATE (GUID \"g\") \"Guid only\"", "OK CREATE completed"},
      {"CREATE () \"Empty list\"", "OK CREATE completed"},
      {"CREATE \"Sent Items/Old\"", "OK CREATE completed"},
      {"CREATE (x-note) \"Notes\"", "OK CREATE completed"},
      {"CREATE \"Sent Items\"", "NO [ALREADYEXISTS] Folder exists"},
      {"CREATE (X-MAIL) \"inbox\"", "NO [ALREADYEXISTS] Folder exists"},
      {"CREATE (X-BOGUS) \"B\"", "BAD Unknown folder kind"},
      {"CREATE (X-MAIL X-NOTE) \"B\"", "BAD Unknown folder kind"},
      {"CREATE (X-MAIL GUID) \"B\"", "BAD Malformed kind list"},
      {"CREATE \"\"", "NO Invalid folder name"},
      {"CREATE \"B\" (X-MAIL)", "BAD CREATE needs a folder name, after an optional kind list"},
  };
  expectAnswers(*client, cases);
  EXPECT_EQ(
      "X-MAIL INBOX\nX-MAIL Sent Items\nX-CALENDAR Calendar\nX-TODO Tasks\n- Guid only\n"
      "- Empty list\n- Sent Items/Old\nX-NOTE Notes\n",
      account("tim@example.com", "folders"));
}

TEST_F(TargetServerTest, SelectAnswersOkOnlyForFoldersOfTheActingAccount) {
  start();
  auto client = admin();
  client->exchange("A CREATE \"Admins\"\r\n", "A");
  const std::string selected = client->exchange("B SELECT \"Admins\"\r\n", "B");
  EXPECT_NE(std::string::npos, selected.find("\r\n* 0 EXISTS\r\n")) << selected;
  EXPECT_NE(std::string::npos, selected.find("\r\nB OK [READ-WRITE] SELECT completed\r\n"));
  client->exchange("C X-SETUSER \"tim@example.com\"\r\n", "C");
  EXPECT_EQ("D NO [NONEXISTENT] No such folder\r\n",
            client->exchange("D SELECT \"Admins\"\r\n", "D"));
  client->exchange("E APPEND inbox {1+}\r\nx\r\n", "E");
  EXPECT_EQ(
      "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n* 1 EXISTS\r\n* 0 RECENT\r\n"
      "* OK [UIDVALIDITY 1] UIDs valid\r\n* OK [UIDNEXT 2] Predicted next UID\r\n"
      "F OK [READ-WRITE] SELECT completed\r\n",
      client->exchange("F SELECT INBOX\r\n", "F"));
}

TEST_F(TargetServerTest, AppendStoresExactBytesWithFlagsDateAndCommand) {
  start();
  auto client = admin("tim@example.com");
  client->exchange("A CREATE (X-MAIL) \"Sent\"\r\n", "A");
  // Message bytes that look like protocol: a tagged line, a literal
  // announcement, a lone LF and a NUL byte.
  const char raw[] = "Subject: x\r\n\r\nB OK fake\r\n{5}\r\nlone\nnul\0end";
  const std::string body(raw, sizeof raw - 1);
  EXPECT_EQ(
      "B OK [APPENDUID 1 1] APPEND completed\r\n",
      client->exchange("B APPEND \"Sent\" (\\Seen \\Answered ) \"30-Jun-1993 21:49:08 +0000\" {" +
                           std::to_string(body.size()) + "+}\r\n" + body + "\r\n",
                       "B"));
  EXPECT_EQ("+ Ready\r\n", client->sendAndReadLine("C X-APPEND INBOX {5}\r\n"));
  EXPECT_EQ("C OK [APPENDUID 1 1] X-APPEND completed\r\n", client->exchange("hello\r\n", "C"));
  EXPECT_EQ("D OK [APPENDUID 1 2] APPEND completed\r\n",
            client->exchange("D APPEND INBOX {0+}\r\n\r\n", "D"));
  EXPECT_EQ("E NO [TRYCREATE] No such folder\r\n",
            client->exchange("E APPEND \"Nope\" {1+}\r\nx\r\n", "E"));
  EXPECT_EQ(body, account("tim@example.com", "messages/000001.eml"));
  EXPECT_EQ(
      "folder: Sent\nflags: \\Seen \\Answered \ndate: 30-Jun-1993 21:49:08 +0000\n"
      "command: APPEND\n",
      account("tim@example.com", "messages/000001.meta"));
  EXPECT_EQ("hello", account("tim@example.com", "messages/000002.eml"));
  EXPECT_EQ("folder: INBOX\nflags: \ndate: \ncommand: X-APPEND\n",
            account("tim@example.com", "messages/000002.meta"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "accounts/tim@example.com/messages/000003.eml"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "accounts/tim@example.com/messages/000004.eml"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "accounts/admin"));
}

TEST_F(TargetServerTest, AppendWithoutSetUserLandsInTheAdministratorsMailbox) {
  start();
  auto client = admin();
  EXPECT_EQ("A OK [APPENDUID 1 1] APPEND completed\r\n",
            client->exchange("A APPEND INBOX {3+}\r\nabc\r\n", "A"));
  EXPECT_EQ("abc", account("admin", "messages/000001.eml"));
  EXPECT_EQ("X-MAIL INBOX\n", account("admin", "folders"));
  EXPECT_EQ("", account("tim@example.com", "messages/000001.eml"));
  EXPECT_NE(std::string::npos, stop().find("accounts: 1 folders: 1 messages: 1 bytes: 3 "));
}

TEST_F(TargetServerTest, AppendRejectsMalformedArguments) {
  start();
  auto client = admin("tim@example.com");
  const Exchange cases[] = {
      {"APPEND INBOX \"date\" (\\Seen) {1+}\r\nx", "BAD Malformed APPEND"},
      {"APPEND INBOX ((\\Seen)) {1+}\r\nx", "BAD Malformed flag list"},
      {"X-APPEND INBOX x y {1+}\r\nx", "BAD Malformed X-APPEND"},
      {"APPEND INBOX", "BAD Malformed APPEND"},
      {"APPEND INBOX {1+}\r\nx more", "BAD Malformed APPEND"},
  };
  expectAnswers(*client, cases);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "accounts/tim@example.com/messages/000001.eml"));
}

TEST_F(TargetServerTest, MalformedAndUnknownCommandsAreAnsweredBadVersionCheckIsNot) {
  TargetOptions options;
  options.version = "6.2.0";
  start(options);
  auto client = connect();
  // Answered before any login, with the configured version.
  EXPECT_EQ("V0 OK X-CHECKVERSION 6.2.0\r\n", client->exchange("V0 X-CHECKVERSION\r\n", "V0"));
  EXPECT_EQ("A BAD Unknown command\r\n", client->exchange("A FROB x\r\n", "A"));
  EXPECT_EQ("* BAD Missing tag\r\n", client->exchange("\r\n", "*"));
  EXPECT_EQ("* BAD Missing tag\r\n", client->exchange(" A NOOP\r\n", "*"));
  EXPECT_EQ("B BAD Unterminated quoted string\r\n", client->exchange("B LOGIN \"x\r\n", "B"));
  EXPECT_EQ("C BAD Unbalanced parenthesis\r\n",
            client->exchange("C CREATE (X-MAIL \"a\"\r\n", "C"));
  EXPECT_EQ("D BAD Missing command name\r\n", client->exchange("D\r\n", "D"));
  // A syntax error before a synchronizing literal ends the command at once;
  // before a non-synchronizing one the literal is read and dropped.
  EXPECT_EQ("E BAD Unbalanced parenthesis\r\n", client->exchange("E LOGIN ) {5}\r\n", "E"));
  EXPECT_EQ("F BAD Bad escape in quoted string\r\n",
            client->exchange("F LOGIN \"\\x\" {8+}\r\nG NOOP\r\n\r\n", "F"));
  EXPECT_EQ("G OK NOOP completed\r\n", client->exchange("G NOOP\r\n", "G"));
}

TEST_F(TargetServerTest, LogoutSaysByeThenOkAndCloses) {
  start();
  auto client = connect();
  EXPECT_EQ("* BYE lodemig-target logging out\r\nZ OK LOGOUT completed\r\n",
            client->exchange("Z LOGOUT\r\n", "Z"));
  EXPECT_TRUE(client->closedByServer());
}

TEST_F(TargetServerTest, RefuseAppendRefusesOnlyTheNthAppendOfTheServer) {
  TargetOptions options;
  options.refuseAppend.push_back(2);
  start(options);
  auto first = admin("tim@example.com");
  EXPECT_EQ("A OK [APPENDUID 1 1] APPEND completed\r\n",
            first->exchange("A APPEND INBOX {1+}\r\n1\r\n", "A"));
  auto second = admin("tim@example.com");
  EXPECT_EQ("B NO APPEND refused\r\n", second->exchange("B APPEND INBOX {1+}\r\n2\r\n", "B"));
  EXPECT_EQ("C OK [APPENDUID 1 2] X-APPEND completed\r\n",
            first->exchange("C X-APPEND INBOX {1+}\r\n3\r\n", "C"));
  EXPECT_EQ("1", account("tim@example.com", "messages/000001.eml"));
  EXPECT_EQ("3", account("tim@example.com", "messages/000002.eml"));
  EXPECT_EQ("", account("tim@example.com", "messages/000003.eml"));
}

TEST_F(TargetServerTest, DropAppendClosesWithoutAnsweringOrStoring) {
  TargetOptions options;
  options.dropAppend.push_back(1);
  start(options);
  auto client = admin("tim@example.com");
  client->send("A APPEND INBOX {5+}\r\nfirst\r\n");
  EXPECT_TRUE(client->closedByServer());
  auto again = admin("tim@example.com");
  EXPECT_EQ("B OK [APPENDUID 1 1] APPEND completed\r\n",
            again->exchange("B APPEND INBOX {6+}\r\nsecond\r\n", "B"));
  EXPECT_EQ("second", account("tim@example.com", "messages/000001.eml"));
  EXPECT_NE(std::string::npos, stop().find(" messages: 1 bytes: 6 "));
}

TEST_F(TargetServerTest, ByeAtEndsTheConnectionAtTheNthCommand) {
  TargetOptions options;
  options.byeAt.push_back(3);
  start(options);
  auto client = admin();  // commands 1 (X-MASTERAUTH)
  EXPECT_EQ("A OK NOOP completed\r\n", client->exchange("A NOOP\r\n", "A"));
  EXPECT_EQ("* BYE Server shutting down the connection\r\n",
            client->exchange("B APPEND INBOX {3+}\r\nabc\r\n", "B"));
  EXPECT_TRUE(client->closedByServer());
  EXPECT_NE(std::string::npos, stop().find(" messages: 0 "));
}

TEST_F(TargetServerTest, DelayHoldsBackTaggedAnswers) {
  TargetOptions options;
  options.delayMs = 100;
  start(options);
  const auto before = std::chrono::steady_clock::now();
  auto client = connect();
  EXPECT_EQ("A OK NOOP completed\r\n", client->exchange("A NOOP\r\n", "A"));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
}

TEST_F(TargetServerTest, TranscriptKeepsEveryByteOfEachConnection) {
  TargetOptions options;
  options.transcriptDirectory = dir_ / "transcripts";
  start(options);
  auto first = connect();
  first->exchange("A NOOP\r\n", "A");
  auto second = connect();
  second->exchange("B APPEND x {2+}\r\n\r\n\r\n", "B");
  first->exchange("C LOGOUT\r\n", "C");
  stop();
  EXPECT_EQ("A NOOP\r\nC LOGOUT\r\n", readFile(dir_ / "transcripts/conn-1.txt"));
  EXPECT_EQ("B APPEND x {2+}\r\n\r\n\r\n", readFile(dir_ / "transcripts/conn-2.txt"));
}

TEST_F(TargetServerTest, LineOverTheBoundEndsTheConnection) {
  TargetOptions options;
  options.maxCommandLength = 64;
  start(options);
  auto client = connect();
  EXPECT_EQ("A OK NOOP completed\r\n",
            client->exchange("A NOOP " + std::string(55, 'x') + "\r\n", "A"));
  EXPECT_EQ("* BYE Command line too long\r\n",
            client->exchange("B NOOP " + std::string(58, 'x') + "\r\n", "*"));
  EXPECT_TRUE(client->closedByServer());
}

TEST_F(TargetServerTest, LiteralsOverTheBoundAreRefused) {
  TargetOptions options;
  options.maxCommandLength = 64;
  options.maxLiteralSize = 100;
  start(options);
  auto client = admin("tim@example.com");
  // Synchronizing: nothing was sent yet, so the connection goes on.
  EXPECT_EQ("A BAD Literal too large\r\n", client->exchange("A APPEND INBOX {101}\r\n", "A"));
  EXPECT_EQ("B BAD Literal too large\r\n", client->exchange("B LOGIN {65}\r\n", "B"));
  EXPECT_EQ("C OK [APPENDUID 1 1] APPEND completed\r\n",
            client->exchange("C APPEND INBOX {100+}\r\n" + std::string(100, 'm') + "\r\n", "C"));
  // Non-synchronizing: the bytes are coming, the connection has to end.
  EXPECT_EQ("* BYE Literal too large\r\n",
            client->exchange("D APPEND INBOX {18446744073709551616+}\r\n", "*"));
  EXPECT_TRUE(client->closedByServer());
}

TEST_F(TargetServerTest, CountingModeKeepsNoFilesButCountsAndDigests) {
  TargetOptions options;
  options.storeDirectory = "none";
  start(options);
  auto client = admin();
  client->exchange("A X-CREATEUSER (NAME {3+}\r\nann DOMAIN {1+}\r\nx PASSWORD \"p\")\r\n", "A");
  client->exchange("B X-SETUSER \"ann@x\"\r\n", "B");
  client->exchange("C CREATE (X-MAIL) \"Sent\"\r\n", "C");
  EXPECT_EQ("D OK [APPENDUID 1 1] APPEND completed\r\n",
            client->exchange("D APPEND Sent {5+}\r\nhello\r\n", "D"));
  EXPECT_EQ("E OK [APPENDUID 1 1] APPEND completed\r\n",
            client->exchange("E APPEND INBOX {6+}\r\n world\r\n", "E"));
  EXPECT_EQ("accounts: 2 folders: 3 messages: 2 bytes: 11 digest: 3f0d85421d29693e", stop());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(TargetServerTest, AppendsThatStoreNothingLeaveCountsAndDigestAlone) {
  TargetOptions options;
  options.storeDirectory = "none";
  options.refuseAppend.push_back(2);
  start(options);
  auto client = admin("tim@example.com");
  const Exchange cases[] = {
      {"APPEND INBOX {1+}\r\n1", "OK [APPENDUID 1 1] APPEND completed"},
      {"APPEND INBOX {1+}\r\n2", "NO APPEND refused"},
      {"APPEND \"Nope\" {1+}\r\nx", "NO [TRYCREATE] No such folder"},
      {"APPEND INBOX ((\\Seen)) {1+}\r\ny", "BAD Malformed flag list"},
      {"X-APPEND INBOX {1+}\r\n3", "OK [APPENDUID 1 2] X-APPEND completed"},
  };
  expectAnswers(*client, cases);
  // The digest of the messages "1" and "3" alone.
  EXPECT_EQ("accounts: 1 folders: 1 messages: 2 bytes: 2 digest: b833969653c10607", stop());
}

TEST_F(TargetServerTest, BothModesDigestEachMessageAsItArrives) {
  // Longer than one receive buffer, so that it arrives in several pieces.
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<char>((i * 131 + (i >> 7)) & 255);
  }
  const std::vector<std::string> messages = {"ab", big, "c", ""};
  StoreDigest expected;
  for (const std::string& bytes : messages) {
    ContentDigest message;
    message.update(bytes.data(), bytes.size());
    expected.add(message);
  }
  for (const char* directory : {"none", ""}) {
    TargetOptions options;
    options.noUidplus = true;  // answers as a server without UIDPLUS gives them
    options.storeDirectory = directory;
    start(options);
    auto client = admin("tim@example.com");
    for (const std::string& bytes : messages) {
      EXPECT_EQ(
          "A OK APPEND completed\r\n",
          client->exchange(
              "A APPEND INBOX {" + std::to_string(bytes.size()) + "+}\r\n" + bytes + "\r\n", "A"));
    }
    EXPECT_EQ("accounts: 1 folders: 1 messages: 4 bytes: 300003 digest: " + expected.hex(), stop())
        << "store directory \"" << directory << "\"";
  }
  EXPECT_EQ(big, account("tim@example.com", "messages/000002.eml"));
}

TEST_F(TargetServerTest, FetchShowsSizeDateAndFlagsOfEachAppendInArrivalOrder) {
  // Counting mode: the records are kept without a store directory too.
  TargetOptions options;
  options.noUidplus = true;  // answers as a server without UIDPLUS gives them
  options.storeDirectory = "none";
  start(options);
  auto client = admin("tim@example.com");
  client->exchange("A CREATE Sent\r\n", "A");
  const Exchange appends[] = {
      {"APPEND INBOX (\\Seen  \\Answered ) \"07-Dec-2026 10:00:00 +0000\" {5+}\r\nhello",
       "OK APPEND completed"},
      {"X-APPEND INBOX {3+}\r\nabc", "OK X-APPEND completed"},
      {"APPEND Sent (\\Draft) {1+}\r\nx", "OK APPEND completed"},
      {"APPEND INBOX () \" 7-Dec-2026 10:00:00 +0000\" {0+}\r\n", "OK APPEND completed"},
  };
  expectAnswers(*client, appends);
  client->exchange("B SELECT INBOX\r\n", "B");
  EXPECT_EQ(
      "* 1 FETCH (RFC822.SIZE 5 INTERNALDATE \"07-Dec-2026 10:00:00 +0000\" FLAGS (\\Seen "
      "\\Answered))\r\n"
      "* 2 FETCH (RFC822.SIZE 3 INTERNALDATE \"01-Jan-2000 00:00:00 +0000\" FLAGS ())\r\n"
      "* 3 FETCH (RFC822.SIZE 0 INTERNALDATE \" 7-Dec-2026 10:00:00 +0000\" FLAGS ())\r\n"
      "C OK FETCH completed\r\n",
      client->exchange("C FETCH 1:* (RFC822.SIZE INTERNALDATE FLAGS)\r\n", "C"));
  // Items in the order asked, numbers ascending whatever order they came in.
  EXPECT_EQ(
      "* 1 FETCH (FLAGS (\\Seen \\Answered) RFC822.SIZE 5)\r\n"
      "* 3 FETCH (FLAGS () RFC822.SIZE 0)\r\nD OK FETCH completed\r\n",
      client->exchange("D FETCH 3,1 (FLAGS RFC822.SIZE)\r\n", "D"));
  // A message appended after the SELECT is there at once.
  client->exchange("E APPEND INBOX (\\Flagged) {2+}\r\nzz\r\n", "E");
  EXPECT_EQ(
      "* 2 FETCH (INTERNALDATE \"01-Jan-2000 00:00:00 +0000\")\r\n"
      "* 3 FETCH (INTERNALDATE \" 7-Dec-2026 10:00:00 +0000\")\r\n"
      "* 4 FETCH (INTERNALDATE \"01-Jan-2000 00:00:00 +0000\")\r\nF OK FETCH completed\r\n",
      client->exchange("F fetch 4:2 internaldate\r\n", "F"));
  EXPECT_EQ("* STATUS Sent (MESSAGES 1)\r\nG OK STATUS completed\r\n",
            client->exchange("G STATUS Sent (MESSAGES)\r\n", "G"));
}

TEST_F(TargetServerTest, FetchAndStatusRefuseWhatTheyCannotAnswer) {
  TargetOptions options;
  options.noUidplus = true;
  start(options);
  auto anonymous = connect();
  const Exchange unauthenticated[] = {
      {"FETCH 1:* FLAGS", "BAD Not authenticated"},
      {"STATUS INBOX (MESSAGES)", "BAD Not authenticated"},
  };
  expectAnswers(*anonymous, unauthenticated);
  auto client = admin("tim@example.com");
  EXPECT_EQ("A BAD No folder selected\r\n", client->exchange("A FETCH 1:* FLAGS\r\n", "A"));
  client->exchange("B SELECT INBOX\r\n", "B");
  const Exchange selected[] = {
      {"FETCH 1:* (RFC822.SIZE INTERNALDATE FLAGS)", "BAD No such message"},
      {"APPEND INBOX {1+}\r\nx", "OK APPEND completed"},
      {"FETCH 2 FLAGS", "BAD No such message"},
      {"FETCH 1,2 FLAGS", "BAD No such message"},
      {"FETCH 0 FLAGS", "BAD Invalid sequence set"},
      {"FETCH 1:x FLAGS", "BAD Invalid sequence set"},
      {"FETCH 1 (FLAGS BODY[])", "BAD Unknown FETCH item"},
      {"FETCH 1 ()", "BAD Unknown FETCH item"},
      {"FETCH 1", "BAD FETCH needs a sequence set and items"},
      {"SELECT Nope", "NO [NONEXISTENT] No such folder"},
      {"FETCH 1 FLAGS", "BAD No folder selected"},
      {"STATUS Nope (MESSAGES)", "NO [NONEXISTENT] No such folder"},
      {"STATUS INBOX (UNSEEN)", "BAD Unknown STATUS item"},
      {"STATUS INBOX MESSAGES", "BAD STATUS needs a folder name and a list of items"},
  };
  expectAnswers(*client, selected);
  // Switching accounts leaves nothing selected either.
  client->exchange("C SELECT INBOX\r\n", "C");
  client->exchange("D X-SETUSER \"tim@example.com\"\r\n", "D");
  EXPECT_EQ("E BAD No folder selected\r\n", client->exchange("E FETCH 1 FLAGS\r\n", "E"));
  client->exchange("F CREATE \"Sent Items\"\r\n", "F");
  EXPECT_EQ("* STATUS \"Sent Items\" (MESSAGES 0)\r\nG OK STATUS completed\r\n",
            client->exchange("G STATUS \"Sent Items\" (MESSAGES)\r\n", "G"));
}

TEST_F(TargetServerTest, AppendLimitIsAnnouncedAndLargerMessagesAreRefusedInStep) {
  TargetOptions options;
  options.noUidplus = true;  // answers as a server without UIDPLUS gives them
  options.appendLimit = 10;
  options.refuseAppend.push_back(2);
  start(options);
  auto client = admin("tim@example.com");
  EXPECT_EQ(
      "* CAPABILITY IMAP4rev1 LITERAL+ AUTH=CRAM-MD5 X-MASTERAUTH X-CHECKVERSION X-CREATEUSER "
      "X-SETUSER X-APPEND APPENDLIMIT=10\r\nA OK CAPABILITY completed\r\n",
      client->exchange("A CAPABILITY\r\n", "A"));
  const Exchange cases[] = {
      // The refused message looks like a command: it is read through, not run.
      {"APPEND INBOX {11+}\r\nX LOGOUT\r\n1", "NO [TOOBIG] Message too large"},
      {"APPEND INBOX {10+}\r\n0123456789", "OK APPEND completed"},
      // The second append counted: the refused one was not.
      {"X-APPEND INBOX {4+}\r\nnext", "NO X-APPEND refused"},
      // Synchronizing: refused before the continuation.
      {"APPEND INBOX {11}", "NO [TOOBIG] Message too large"},
      {"NOOP", "OK NOOP completed"},
  };
  expectAnswers(*client, cases);
  EXPECT_EQ("0123456789", account("tim@example.com", "messages/000001.eml"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "accounts/tim@example.com/messages/000002.eml"));
  EXPECT_NE(std::string::npos, stop().find(" messages: 1 bytes: 10 "));
}

TEST_F(TargetServerTest, CompressIsOfferedOnlyWhenAskedAndOnlyAfterTheLogin) {
  TargetOptions options;
  options.storeDirectory = "none";
  start(options);
  auto plain = admin();
  EXPECT_EQ(std::string::npos, plain->exchange("A CAPABILITY\r\n", "A").find("COMPRESS"));
  EXPECT_EQ("B BAD Unknown command\r\n", plain->exchange("B COMPRESS DEFLATE\r\n", "B"));
  stop();
  options.compress = true;
  start(options);
  auto client = connect();
  EXPECT_EQ(std::string::npos, client->exchange("A CAPABILITY\r\n", "A").find("COMPRESS"));
  auto admitted = admin();
  EXPECT_NE(std::string::npos,
            admitted->exchange("A CAPABILITY\r\n", "A").find(" COMPRESS=DEFLATE\r\n"));
  EXPECT_EQ("B BAD COMPRESS takes DEFLATE\r\n", admitted->exchange("B COMPRESS GZIP\r\n", "B"));
  EXPECT_EQ("C OK DEFLATE active\r\n", admitted->exchange("C COMPRESS DEFLATE\r\n", "C"));
}

TEST_F(TargetServerTest, LoseDoubleAndAlterAnswerOkButStoreOtherwise) {
  TargetOptions options;
  options.noUidplus = true;  // answers as a server without UIDPLUS gives them
  options.storeDirectory = "none";
  options.loseAppend.push_back(1);
  options.doubleAppend.push_back(2);
  options.alterAppend = {3, 4};
  start(options);
  auto client = admin("tim@example.com");
  const Exchange cases[] = {
      {"APPEND INBOX {4+}\r\nlost", "OK APPEND completed"},
      {"APPEND INBOX (\\Seen) {3+}\r\ntwo", "OK APPEND completed"},
      {"APPEND INBOX (\\Seen \\flagged) {4+}\r\nflag", "OK APPEND completed"},
      {"X-APPEND INBOX (\\Seen) {5+}\r\nplain", "OK X-APPEND completed"},
      {"APPEND INBOX {4+}\r\nkept", "OK APPEND completed"},
  };
  expectAnswers(*client, cases);
  EXPECT_EQ("* STATUS INBOX (MESSAGES 5)\r\nA OK STATUS completed\r\n",
            client->exchange("A STATUS INBOX (MESSAGES)\r\n", "A"));
  client->exchange("B SELECT INBOX\r\n", "B");
  EXPECT_EQ(
      "* 1 FETCH (FLAGS (\\Seen) RFC822.SIZE 3)\r\n* 2 FETCH (FLAGS (\\Seen) RFC822.SIZE 3)\r\n"
      "* 3 FETCH (FLAGS (\\Seen) RFC822.SIZE 4)\r\n"
      "* 4 FETCH (FLAGS (\\Seen \\Flagged) RFC822.SIZE 5)\r\n"
      "* 5 FETCH (FLAGS () RFC822.SIZE 4)\r\nC OK FETCH completed\r\n",
      client->exchange("C FETCH 1:* (FLAGS RFC822.SIZE)\r\n", "C"));
  EXPECT_NE(std::string::npos, stop().find(" messages: 5 bytes: 19 "));
}

TEST_F(TargetServerTest, StopEndsOpenConnections) {
  start();
  auto idle = connect();
  auto literal = admin("tim@example.com");
  literal->send("A APPEND INBOX {10+}\r\nhalf");
  EXPECT_EQ("B OK NOOP completed\r\n", idle->exchange("B NOOP\r\n", "B"));
  // The digest of no message at all.
  EXPECT_EQ("accounts: 1 folders: 1 messages: 0 bytes: 0 digest: ef46db3751d8e999", stop());
  EXPECT_TRUE(idle->closedByServer());
  EXPECT_TRUE(literal->closedByServer());
}

TEST_F(TargetServerTest, RefusesAReusedStoreAndRepeatedAccounts) {
  lodemig::testing::writeFile(dir_ / "accounts/old@x/account", "password: \nfullname: \n");
  TargetOptions reused;
  reused.storeDirectory = dir_.path();
  EXPECT_EQ("store directory already holds accounts: " + dir_.path() + "/accounts",
            constructionError(reused));
  TargetOptions twice;
  twice.accounts = {{"a@x", "1"}, {"A@X", "2"}};
  EXPECT_EQ("account given twice: A@X", constructionError(twice));
}

}  // namespace
}  // namespace lodemig::target

namespace lodemig::target {
namespace {

class TargetUidTest : public TargetServerTest {};

TEST_F(TargetUidTest, UidsAreAnnouncedFetchedSearchedAndNeverReused) {
  start();
  auto client = admin("tim@example.com");
  for (const char* body : {"Message-ID: <a@x>\r\n\r\none", "Subject: none\r\n\r\ntwo", "three"}) {
    client->exchange(
        "A APPEND INBOX {" + std::to_string(std::strlen(body)) + "+}\r\n" + body + "\r\n", "A");
  }
  client->exchange("B SELECT INBOX\r\n", "B");
  EXPECT_EQ(
      "* 1 FETCH (UID 1 RFC822.SIZE 24 BODY[HEADER.FIELDS (MESSAGE-ID)] {21}\r\n"
      "Message-ID: <a@x>\r\n\r\n)\r\n"
      "* 2 FETCH (UID 2 RFC822.SIZE 20 BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n"
      "C OK UID FETCH completed\r\n",
      client->exchange(
          "C UID FETCH 1:2 (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])\r\n", "C"));
  EXPECT_EQ("* 1 FETCH (UID 1 FLAGS (\\Deleted))\r\nD OK UID STORE completed\r\n",
            client->exchange("D UID STORE 1 +FLAGS (\\Deleted)\r\n", "D"));
  EXPECT_EQ("* 1 EXPUNGE\r\nE OK UID EXPUNGE completed\r\n",
            client->exchange("E UID EXPUNGE 1:3\r\n", "E"));
  // "n:*" names the last message even when n is past it.
  EXPECT_EQ("* SEARCH 3\r\nF OK UID SEARCH completed\r\n",
            client->exchange("F UID SEARCH UID 9:*\r\n", "F"));
  EXPECT_EQ("* STATUS INBOX (UIDNEXT 4 MESSAGES 2 UIDVALIDITY 1)\r\nG OK STATUS completed\r\n",
            client->exchange("G STATUS INBOX (UIDNEXT MESSAGES UIDVALIDITY)\r\n", "G"));
  client.reset();
  stop();
  // A reopened store keeps the UIDs, and the expunged one stays used.
  TargetOptions reopened;
  reopened.reopenStore = true;
  start(reopened);
  auto again = admin("tim@example.com");
  EXPECT_EQ("H OK [APPENDUID 1 4] APPEND completed\r\n",
            again->exchange("H APPEND INBOX {4+}\r\nfour\r\n", "H"));
  again->exchange("I SELECT INBOX\r\n", "I");
  EXPECT_EQ("* SEARCH 2 3 4\r\nJ OK UID SEARCH completed\r\n",
            again->exchange("J UID SEARCH ALL\r\n", "J"));
}

TEST_F(TargetUidTest, UidCommandsRefuseWhatTheyCannotSelect) {
  start();
  auto anonymous = connect();
  const Exchange unauthenticated[] = {
      {"UID FETCH 1 FLAGS", "BAD Not authenticated"},
      {"UID SEARCH ALL", "BAD Not authenticated"},
      {"UID STORE 1 +FLAGS (\\Seen)", "BAD Not authenticated"},
      {"UID EXPUNGE 1", "BAD Not authenticated"},
      {"EXPUNGE", "BAD Not authenticated"},
  };
  expectAnswers(*anonymous, unauthenticated);
  auto client = admin("tim@example.com");
  const Exchange unselected[] = {
      {"UID FETCH 1 FLAGS", "BAD No folder selected"},
      {"UID SEARCH UID 1", "BAD No folder selected"},
      {"UID STORE 1 +FLAGS \\Seen", "BAD No folder selected"},
      {"UID EXPUNGE 1", "BAD No folder selected"},
      {"EXPUNGE", "BAD No folder selected"},
      {"APPEND INBOX {1+}\r\nx", "OK [APPENDUID 1 1] APPEND completed"},
  };
  expectAnswers(*client, unselected);
  client->exchange("A SELECT INBOX\r\n", "A");
  const Exchange selected[] = {
      // Argument errors come before the folder is looked at, set errors after.
      {"UID FETCH 1 BODY[]", "BAD Unknown FETCH item"},
      {"UID STORE 1 FLAGS \\Seen", "BAD UID STORE only adds or removes flags"},
      {"UID SEARCH UID", "BAD UID SEARCH takes ALL or UID and a UID set"},
      {"UID FETCH 0 FLAGS", "BAD Invalid UID set"},
      {"UID SEARCH UID 1:x", "BAD Invalid UID set"},
      {"UID STORE 1, +FLAGS \\Seen", "BAD Invalid UID set"},
      {"UID EXPUNGE :1", "BAD Invalid UID set"},
      {"UID", "BAD UID needs a command"},
      {"UID COPY 1 Trash", "BAD Unknown UID command"},
  };
  expectAnswers(*client, selected);
}

TEST_F(TargetUidTest, UidSetsNameOnlyTheUidsTheFolderHolds) {
  start();
  auto client = admin("tim@example.com");
  for (int i = 0; i < 4; ++i) {
    client->exchange("A APPEND INBOX {1+}\r\nx\r\n", "A");
  }
  client->exchange("B SELECT INBOX\r\n", "B");
  const Exchange quiet[] = {
      {"UID STORE 2 +FLAGS.SILENT (\\deleted)", "OK UID STORE completed"},
      {"UID FETCH 7:9 FLAGS", "OK UID FETCH completed"},
      {"UID EXPUNGE 3:4", "OK UID EXPUNGE completed"},
  };
  expectAnswers(*client, quiet);
  EXPECT_EQ("* 2 EXPUNGE\r\nC OK EXPUNGE completed\r\n", client->exchange("C EXPUNGE\r\n", "C"));
  // Now UIDs 1, 3 and 4 are left as messages 1 to 3.
  EXPECT_EQ("* SEARCH 1 3 4\r\nD OK UID SEARCH completed\r\n",
            client->exchange("D UID SEARCH UID 1:2,3,9:*\r\n", "D"));
  EXPECT_EQ(
      "* 2 FETCH (UID 3 FLAGS (\\Seen))\r\n* 3 FETCH (UID 4 FLAGS (\\Seen))\r\n"
      "E OK UID STORE completed\r\n",
      client->exchange("E UID STORE 2:* +FLAGS (\\Seen)\r\n", "E"));
  EXPECT_EQ(
      "* 1 FETCH (UID 1 FLAGS ())\r\n* 3 FETCH (UID 4 FLAGS (\\Seen))\r\n"
      "F OK UID FETCH completed\r\n",
      client->exchange("F UID FETCH 4,1 FLAGS\r\n", "F"));
  EXPECT_EQ("* 2 FETCH (UID 3 FLAGS ())\r\nG OK UID STORE completed\r\n",
            client->exchange("G UID STORE 3 -FLAGS (\\Seen)\r\n", "G"));
}

TEST_F(TargetUidTest, WithoutUidplusNoAppendUidAndNoUidExpunge) {
  TargetOptions options;
  options.noUidplus = true;
  start(options);
  auto client = admin("tim@example.com");
  EXPECT_EQ("A OK APPEND completed\r\n", client->exchange("A APPEND INBOX {1+}\r\nx\r\n", "A"));
  client->exchange("B SELECT INBOX\r\n", "B");
  EXPECT_EQ("C BAD Unknown UID command\r\n", client->exchange("C UID EXPUNGE 1\r\n", "C"));
  EXPECT_EQ(std::string::npos, client->exchange("D CAPABILITY\r\n", "D").find("UIDPLUS"));
}

TEST_F(TargetUidTest, RefuseThenCutAnswersNoAndStoresNothingAfter) {
  TargetOptions options;
  options.refuseThenCut.push_back(2);
  start(options);
  auto client = admin("tim@example.com");
  client->send(
      "A APPEND INBOX {1+}\r\n1\r\nB APPEND INBOX {1+}\r\n2\r\nC APPEND INBOX {1+}\r\n3\r\n");
  EXPECT_EQ("A OK [APPENDUID 1 1] APPEND completed\r\n", client->readLine());
  EXPECT_EQ("B NO APPEND refused\r\n", client->readLine());
  EXPECT_TRUE(client->closedByServer());
  EXPECT_NE(std::string::npos, stop().find(" messages: 1 bytes: 1 "));
}

TEST_F(TargetUidTest, StallStoresTheDeadConnectionsAppendsOnceTheClientHasGone) {
  TargetOptions options;
  options.stallAt.push_back(2);
  options.deliveries.push_back({"tim@example.com", "INBOX", 2, 0});
  start(options);
  auto client = admin("tim@example.com");
  EXPECT_EQ("A OK [APPENDUID 1 3] APPEND completed\r\n",
            client->exchange("A APPEND INBOX {1+}\r\n1\r\n", "A"));
  client->send("B APPEND INBOX {1+}\r\n2\r\nC NOOP\r\nD APPEND INBOX {1+}\r\n3\r\n");
  // Nothing is answered; the stalled appends arrive once the client is gone.
  auto other = admin("tim@example.com");
  EXPECT_NE(std::string::npos,
            other->exchange("E STATUS INBOX (MESSAGES)\r\n", "E").find("(MESSAGES 3)"));
  client.reset();
  std::string status;
  for (int i = 0; i < 500 && status.find("(MESSAGES 5)") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = other->exchange("F STATUS INBOX (MESSAGES)\r\n", "F");
  }
  EXPECT_NE(std::string::npos, status.find("(MESSAGES 5)")) << status;
  EXPECT_EQ("2", account("tim@example.com", "messages/000004.eml"));
  EXPECT_NE(std::string::npos,
            account("tim@example.com", "messages/000001.eml").find("Message-ID: <delivered-1-"));
}

}  // namespace
}  // namespace lodemig::target
