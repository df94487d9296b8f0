#include "migration/migrator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <sstream>

#include "tests/scripted_peer.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

TEST(FormatSizeTest, UnitsAndOneDecimal) {
  struct Case {
    std::int64_t count;
    const char* text;
  };
  const Case cases[] = {
      {0, "0B"},
      {1023, "1023B"},
      {1024, "1.0KB"},
      {1536, "1.5KB"},
      {1048575, "1024.0KB"},
      {1048576, "1.0MB"},
      {1073741823, "1024.0MB"},
      {1073741824, "1.0GB"},
      // Beyond 32 bits: storage figures of large accounts.
      {2147483648LL, "2.0GB"},
      {5497558138880LL, "5120.0GB"},
      {-1023, "-1023B"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatSize(c.count), c.text) << c.count;
  }
}

TEST(GeneratePasswordTest, KeepsLengthAndCharacterRanges) {
  std::set<char> seen;
  for (int i = 0; i < 300; ++i) {
    std::string password = generatePassword(6);
    ASSERT_EQ(password.size(), 6u);
    for (char c : password) {
      bool allowed = (c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y') || (c >= '0' && c <= '8');
      ASSERT_TRUE(allowed) << password;
      seen.insert(c);
    }
  }
  // 1800 draws reach every one of the 59 characters (the chance of missing
  // one is far below 1e-9), and none outside the ranges.
  EXPECT_EQ(seen.size(), 59u);
  EXPECT_EQ(generatePassword(0), "");
}

TEST(GeneratePasswordTest, CallsInTheSameSecondDiffer) {
  std::set<std::string> passwords;
  for (int i = 0; i < 50; ++i) {
    passwords.insert(generatePassword(6));
  }
  EXPECT_EQ(passwords.size(), 50u);
}

TEST(ReplaceForbiddenCharsTest, ReplacesTheEightCharactersOnly) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Inbox", "Inbox"},
      {"a:b?c", "a_b_c"},
      {"<>:*?\"|\\", "________"},
      {"Archive/2007", "Archive/2007"},
      {"x/y:z", "x/y_z"},
      {"", ""},
      {"\xe9t\xe9 [1] {2}", "\xe9t\xe9 [1] {2}"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    replaceForbiddenChars(text, '_');
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(SplitPathTest, KeepsEmptyPieces) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(splitPath("", "/"), Pieces{});
  EXPECT_EQ(splitPath("INBOX", "/"), Pieces{"INBOX"});
  EXPECT_EQ(splitPath("a/b/c", "/"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(splitPath("a//b", "/"), (Pieces{"a", "", "b"}));
  EXPECT_EQ(splitPath("/a/", "/"), (Pieces{"", "a", ""}));
  EXPECT_EQ(splitPath("/", "/"), (Pieces{"", ""}));
  EXPECT_EQ(splitPath("a.b/c", "./"), (Pieces{"a", "b", "c"}));
}

TEST(CtimeTextTest, MatchesTheCLibraryForm) {
  const std::time_t instants[] = {0, 741476948, 1700000000, 1709251199};
  for (std::time_t when : instants) {
    EXPECT_EQ(ctimeText(when), std::ctime(&when)) << when;
  }
}

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
  Migrator migrator(log, console);
  migrator.configure(dir / "store", "127.0.0.1", peer.port(), "master", true, false, "", "", true,
                     true);
  migrator.gateway().setTimeoutSeconds(3);
  migrator.migrateAll("*", "*", "example.com");
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

}  // namespace
}  // namespace lodemig
