#include "store/message_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "imap/digest.h"
#include "store/folder.h"
#include "store/message.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

// A mailbox-file message: its header with `uidPart` between the '-' and the
// ')', and its content (a separator line follows unless it is the last).
std::string mboxMessage(const std::string& uidPart, const std::string& content) {
  return "From <a@example.org>(S-" + uidPart + ") Wed Jun 30 21:49:08 1993\r\n" + content;
}

std::string mbox(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& message : messages) {
    text += (text.empty() ? "" : "\r\n") + message;
  }
  return text;
}

// What the content form must be for bytes that are sent as they are.
std::string digestOf(const std::string& sent) {
  return "d:" + std::to_string(sent.size()) + ":" + ostrel::crypto::md5Hex(sent);
}

class MessageIdentityTest : public ::testing::Test {
 protected:
  // The identities of every message of a folder, asked for while each
  // message is current.
  std::vector<std::string> identities(Folder& folder, bool fixCrLf = true) {
    std::vector<std::string> result;
    Message message(&folder);
    folder.open("acct");
    folder.setFixCrLf(fixCrLf);
    for (bool more = folder.firstMessage(message); more && result.size() < 100;
         more = folder.nextMessage(message)) {
      result.push_back(message.identity());
      EXPECT_EQ(message.identity(), result.back()) << "asked twice";
    }
    folder.close();
    return result;
  }

  std::vector<std::string> mailboxIdentities(const std::string& text, bool fixCrLf = true) {
    writeFile(dir_ / "acct.mbox", text);
    Folder folder(&log_);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    return identities(folder, fixCrLf);
  }

  // The directory's identities, sorted: the listing's order is the system's.
  std::vector<std::string> directoryIdentities() {
    Folder folder(&log_);
    folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
    std::vector<std::string> result = identities(folder);
    std::sort(result.begin(), result.end());
    return result;
  }

  ScopedTempDir dir_;
  std::ostringstream log_;
};

TEST_F(MessageIdentityTest, PresentUniqueUidsNameTheMessageWithoutReadingIt) {
  writeFile(dir_ / "acct.mbox", mbox({mboxMessage("7", "one"), mboxMessage("9", "two!")}));
  Folder folder(&log_);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  Message message(&folder);
  folder.open("acct");
  ASSERT_TRUE(folder.firstMessage(message));
  EXPECT_EQ(message.identity(), "u:7:3");
  ASSERT_TRUE(folder.nextMessage(message));
  // With the file closed, any read of the content would throw.
  folder.close();
  EXPECT_EQ(message.identity(), "u:9:4");
}

TEST_F(MessageIdentityTest, MissingAndRepeatedUidsTakeTheContentDigest) {
  EXPECT_EQ(mailboxIdentities(mbox({mboxMessage("1", "first"), mboxMessage("", "no uid"),
                                    mboxMessage("1", "again"), mboxMessage("2", "second"),
                                    mboxMessage("1", "again")})),
            (std::vector<std::string>{"u:1:5", digestOf("no uid"), digestOf("again"), "u:2:6",
                                      digestOf("again")}));
  // An exact copy under the same uid is a second message all the same.
  EXPECT_EQ(mailboxIdentities(mbox({mboxMessage("4", "same"), mboxMessage("4", "same")})),
            (std::vector<std::string>{"u:4:4", digestOf("same")}));
  EXPECT_EQ(log_.str().find("Error"), std::string::npos);
}

TEST_F(MessageIdentityTest, ContentDigestReadFailureIsAStoreError) {
  writeFile(dir_ / "acct.mbox", mboxMessage("", "lost"));
  Folder folder(&log_);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  Message message(&folder);
  folder.open("acct");
  ASSERT_TRUE(folder.firstMessage(message));
  folder.close();
  try {
    message.identity();
    ADD_FAILURE() << "no exception";
  } catch (const QLStoreException& error) {
    EXPECT_STREQ(error.what(), "message cannot be read");
  }
}

TEST_F(MessageIdentityTest, CompactedMailboxFileKeepsEveryOtherIdentity) {
  const std::vector<std::string> messages = {
      mboxMessage("1", "a\r\n"),      mboxMessage("2", "bb\r\n"),  mboxMessage("", "none\r\n"),
      mboxMessage("2", "repeat\r\n"), mboxMessage("3", "ccc\r\n"), mboxMessage("3", "c2\r\n"),
      mboxMessage("10", "ten\r\n"),   mboxMessage("4", "late\r\n")};
  const std::vector<std::string> before = mailboxIdentities(mbox(messages));
  ASSERT_EQ(before.size(), messages.size());
  // Each message but the first holders of a repeated uid ("2" and "3") may go.
  for (std::size_t removed : {0, 2, 3, 5, 6, 7}) {
    std::vector<std::string> rest = messages;
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(removed));
    std::vector<std::string> expected = before;
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(removed));
    EXPECT_EQ(mailboxIdentities(mbox(rest)), expected) << "without message " << removed;
  }
  // Without the first holder of "2", its repeat is the holder now.
  std::vector<std::string> rest = messages;
  rest.erase(rest.begin() + 1);
  EXPECT_EQ(mailboxIdentities(mbox(rest))[2], "u:2:8");
}

TEST_F(MessageIdentityTest, DigestDoesNotDependOnTheStoresLineEnds) {
  const std::string lf = mailboxIdentities(mboxMessage("", "Subject: x\n\nbody\nend\n"))[0];
  const std::string crlf =
      mailboxIdentities(mboxMessage("", "Subject: x\r\n\r\nbody\r\nend\r\n"))[0];
  EXPECT_EQ(lf, digestOf("Subject: x\r\n\r\nbody\r\nend\r\n"));
  EXPECT_EQ(crlf, lf);
  // Without line-end fixing the bytes sent, and so the digest, are the store's.
  EXPECT_EQ(mailboxIdentities(mboxMessage("", "a\nb\n"), false)[0], digestOf("a\nb\n"));
}

TEST_F(MessageIdentityTest, HostileUidsStayApart) {
  // Uids are the store's texts: "07" is not "7", and a ':' inside one cannot
  // make two different (uid, size) pairs read alike.
  EXPECT_EQ(
      mailboxIdentities(mbox({mboxMessage("7", "x"), mboxMessage("07", "x"),
                              mboxMessage("1:2", "xy"), mboxMessage("1", "2:xy"),
                              mboxMessage("9 9", "x"), mboxMessage("99999999999999999999", "x")})),
      (std::vector<std::string>{"u:7:1", "u:07:1", "u:1:2:2", "u:1:4", "u:9 9:1",
                                "u:99999999999999999999:1"}));
}

TEST_F(MessageIdentityTest, RegisterTellsFirstSightings) {
  const struct {
    const char* uid;
    bool first;
  } steps[] = {{"5", true},
               {"3", true},
               {"5", false},
               {"3", false},
               {"7", true},
               {"4", true},
               {"4", false},
               {"6", true},
               {"7", false},
               {"07", true},
               {"07", false},
               {"abc", true},
               {"abc", false},
               {"", false},
               {"", false},
               {"18446744073709551615", true},
               {"18446744073709551615", false},
               {"9999999999999999999", true},
               {"9999999999999999999", false}};
  UidRegister uids;
  for (const auto& step : steps) {
    EXPECT_EQ(uids.firstSighting(step.uid), step.first) << "uid \"" << step.uid << "\"";
  }
  uids.clear();
  EXPECT_TRUE(uids.firstSighting("5"));
  EXPECT_TRUE(uids.firstSighting("abc"));
  EXPECT_TRUE(uids.firstSighting("4"));
}

TEST_F(MessageIdentityTest, RewalkingAFolderGivesTheSameIdentities) {
  writeFile(dir_ / "acct.mbox", mbox({mboxMessage("1", "a"), mboxMessage("1", "b")}));
  Folder folder(&log_);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  const std::vector<std::string> first = identities(folder);
  EXPECT_EQ(first, (std::vector<std::string>{"u:1:1", digestOf("b")}));
  EXPECT_EQ(identities(folder), first);
}

TEST_F(MessageIdentityTest, FlagLettersChangedKeepTheFileIdentity) {
  writeFile(dir_ / "acct.mdir/1187865000.7--20070823103000-host", "new mail");
  writeFile(dir_ / "acct.mdir/1187865001.8-S-20070823103100-host", "other");
  const std::vector<std::string> before = directoryIdentities();
  EXPECT_EQ(before, (std::vector<std::string>{"f:1187865000.7--20070823103000-host",
                                              "f:1187865001.8--20070823103100-host"}));
  // Marked seen and answered, and the other one unmarked, by the server.
  ASSERT_EQ(::rename((dir_ / "acct.mdir/1187865000.7--20070823103000-host").c_str(),
                     (dir_ / "acct.mdir/1187865000.7-SA-20070823103000-host").c_str()),
            0);
  ASSERT_EQ(::rename((dir_ / "acct.mdir/1187865001.8-S-20070823103100-host").c_str(),
                     (dir_ / "acct.mdir/1187865001.8--20070823103100-host").c_str()),
            0);
  EXPECT_EQ(directoryIdentities(), before);
  // A rename that left the old name behind: the same message twice.
  writeFile(dir_ / "acct.mdir/1187865000.7-S-20070823103000-host", "new mail");
  EXPECT_EQ(directoryIdentities(),
            (std::vector<std::string>{"f:1187865000.7--20070823103000-host",
                                      "f:1187865000.7--20070823103000-host",
                                      "f:1187865001.8--20070823103100-host"}));
}

TEST_F(MessageIdentityTest, HostileFileNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"readme", "f:readme"},
      // Fewer than three '-': the reader finds no flags, so nothing is dropped.
      {"a-S-b", "f:a-S-b"},
      {"-", "f:-"},
      {"---", "f:---"},
      {"-SA--", "f:---"},
      {"a-D-20070101000000-b-c", "f:a--20070101000000-b-c"},
      {"x:y-S-1:2-\n", "f:x:y--1:2-\n"},
      {"f:x-RS-d:1-", "f:f:x--d:1-"},
      {std::string("n\0l-S-t-", 8), std::string("f:n\0l--t-", 9)},
  };
  for (const auto& [name, identity] : cases) {
    EXPECT_EQ(fileNameIdentity(name), identity) << name;
  }
  writeFile(dir_ / "acct.mdir/x:y-S-1:2-\n", "odd");
  EXPECT_EQ(directoryIdentities(), std::vector<std::string>{"f:x:y--1:2-\n"});
}

}  // namespace
}  // namespace lodemig
