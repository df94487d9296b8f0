#include "store/folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "store/message.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::StoreBuilder;
using lodemig::testing::writeFile;

const std::string kDate = "Wed Jun 30 21:49:08 1993";
const std::string kImapDate = "30-Jun-1993 21:49:08 +0000";

class FolderTest : public ::testing::Test {
 protected:
  // Opens the folder and describes every message as "uid|flags|date|content"
  // (content with line ends fixed when asked), then closes it.
  std::vector<std::string> readAll(Folder& folder, const std::string& account,
                                   bool fixCrLf = false) {
    std::vector<std::string> result;
    Message message(&folder);
    folder.open(account);
    folder.setFixCrLf(fixCrLf);
    for (bool more = folder.firstMessage(message); more && result.size() < 100;
         more = folder.nextMessage(message)) {
      std::string content;
      std::string piece;
      for (bool next = message.firstChunk(piece); next; next = message.nextChunk(piece)) {
        content += piece;
      }
      EXPECT_EQ(message.contentSize(), content.size());
      result.push_back(message.localUid() + "|" + message.flags() + "|" + message.internalDate() +
                       "|" + content);
    }
    folder.close();
    return result;
  }

  // The INBOX of the mailbox-file account "acct" whose file holds `text`.
  std::vector<std::string> readMailbox(const std::string& text, bool fixCrLf = false) {
    writeFile(dir_ / "acct.mbox", text);
    Folder folder(&log_);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    return readAll(folder, "acct", fixCrLf);
  }

  // Opens the INBOX of "acct" on `text` and reads its first message.
  void openMailbox(Folder& folder, Message& message, const std::string& text) {
    writeFile(dir_ / "acct.mbox", text);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    folder.open("acct");
    ASSERT_TRUE(folder.firstMessage(message));
  }

  // Walks the INBOX of "acct", calling `change` once `changeAfter` messages
  // were handed out (before the last of them is read). Describes the walk as
  // "uid:bytes " per message ("uid:(cut) " when its content could not be
  // read whole), then "end", or "changed" when the walk reported the file
  // changed, or another error's text.
  std::string walkChanging(int changeAfter, const std::function<void()>& change) {
    Folder folder(&log_);
    Message message(&folder);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    folder.open("acct");
    std::string walk;
    int handed = 0;
    try {
      if (changeAfter == 0) {
        change();
      }
      folder.setFixCrLf(false);
      for (bool more = folder.firstMessage(message); more && handed < 10;
           more = folder.nextMessage(message)) {
        if (++handed == changeAfter) {
          change();
        }
        std::string content;
        std::string piece;
        try {
          for (bool next = message.firstChunk(piece); next; next = message.nextChunk(piece)) {
            content += piece;
          }
          walk += message.localUid() + ":" + std::to_string(content.size()) + " ";
        } catch (const QLStoreException& error) {
          EXPECT_STREQ(error.what(), "message cannot be read");
          walk += message.localUid() + ":(cut) ";
        }
      }
      return walk + "end";
    } catch (const QLStoreException& error) {
      const std::string text = error.what();
      return walk + (text == "the messages file changed while being read" ? "changed" : text);
    }
  }

  template <typename Action>
  void expectStoreError(Action action, const std::string& text) {
    try {
      action();
      ADD_FAILURE() << "no exception, expected " << text;
    } catch (const QLStoreException& error) {
      EXPECT_EQ(error.what(), text);
    }
    EXPECT_NE(log_.str().find("Error: " + text + "\n"), std::string::npos) << log_.str();
  }

  ScopedTempDir dir_;
  std::ostringstream log_;
};

TEST(FolderConversionTest, NamesFlagsAndTypes) {
  EXPECT_EQ(folderFileName("a/b/c"), "a.folder/b.folder/c");
  EXPECT_EQ(monthName(1) + monthName(12) + monthName(0) + monthName(13), "JanDec");
  EXPECT_EQ(convertFlags("SA"), "\\Seen \\Answered ");
  EXPECT_EQ(convertFlags("sa"), "");
  EXPECT_EQ(convertFlags("DFRAPSS?"), "\\Seen \\Deleted \\Answered \\Flagged \\Recent \\Draft ");
  const std::pair<const char*, FolderType> types[] = {
      {"TextMailbox", 5}, {"IPF.Note", 5},    {"IPF.stickyNote", 0},  {"IPF.StickyNote", 0},
      {"IPF.Task", 3},    {"IPF.Journal", 4}, {"IPF.Appointment", 2}, {"IPF.Contact", 1},
      {"ipf.note", 0},    {"IPF.Default", 0}};
  Folder folder(nullptr);
  for (const auto& [folderClass, type] : types) {
    folder.setFolderClass(folderClass);
    EXPECT_EQ(folder.type(), type) << folderClass;
  }
}

TEST(FolderConversionTest, Timestamps) {
  const std::pair<std::string, std::string> header[] = {
      {kDate + "\r", kImapDate},
      {"30-6-1993_21:49:08_", kImapDate},
      {"Mon Feb 30 10:00:00 2007", "30-Feb-2007 10:00:00 +0000"},
      {"5-1-2007_7:3:9_", "05-Jan-2007 07:03:09 +0000"},
      {"Mon Foo 10 10:00:00 2007", ""},
      {"Mon jan 10 10:00:00 2007", ""},
      {"Mon Jan 10 24:00:00 2007", ""},
      {"Mon Jan 10 23:00:60 2007", ""},
      {"Mon Jan 0 10:00:00 2007", ""},
      {"Mon Jan -1 10:00:00 2007", ""},
      {"10-13-2007_10:00:00_", ""},
      {"", ""},
      {std::string(56, ' ') + kDate, kImapDate},
      {std::string(57, ' ') + kDate, ""}};
  for (const auto& [text, date] : header) {
    EXPECT_EQ(convertHeaderTimestamp(text), date) << text;
  }
  const std::pair<std::string, std::string> name[] = {
      {"20070823103000999", "23-Aug-2007 10:30:00 +0000"},
      {"20071301000000", ""},
      {"20070132000000", ""},
      {"20070101240000", ""},
      {"20070101000060", ""},
      {"2007010112", ""},
      {"", ""}};
  for (const auto& [text, date] : name) {
    EXPECT_EQ(convertNameTimestamp(text), date) << text;
  }
}

// The conversions read the usual forms by hand; whatever they accept must give
// what the sscanf patterns give, and everything else is left to those.
TEST(FolderConversionTest, TimestampShortcutsAgreeWithTheScanPatterns) {
  std::vector<std::string> header = {
      kDate,
      kDate + "\r",
      kDate + " extra fields",
      kDate + "7",
      "Wed Jun  5 21:49:08 1993",
      "Wed Jun 5 1:2:3 0",
      "Wed Jun 05 21:49:08 0993",
      "Wed Jun 30 21:49:08 1234567890",
      "Wed Jun 30 21:49:08 123456789",
      "Wed Jun 30 21:49:08 -1993",
      "Wed Jun 30 21:49:08 +1993",
      "Wed Jun 30 21:49:08",
      "Wed Jun 30 21:49",
      "Wed Jun 30",
      "Wed Jun",
      "Jun 30 21:49:08 1993",
      " Wed Jun 30 21:49:08 1993",
      "Wed  Jun 30 21:49:08 1993",
      "Wed\tJun\t30 21:49:08 1993",
      "Wed Jun 30  21:49:08 1993",
      "Wed Jun 30 21: 49:08 1993",
      "Wed Jun 30 21:49 :08 1993",
      "Wed Jun 30 021:49:08 1993",
      "Wed Jun 300 21:49:08 1993",
      "Wed Jun 32 21:49:08 1993",
      "Wed Jun 31 23:59:59 1993",
      "Wed Jun 30 21:60:08 1993",
      "Wed Jun +30 21:49:08 1993",
      "Wed June 30 21:49:08 1993",
      "Wed JUN 30 21:49:08 1993",
      "Wednesday Jun 30 21:49:08 1993",
      std::string(25, 'W') + " Jun 30 21:49:08 1993",
      std::string(60, 'W') + " Jun 3 1:4:8 1",
      std::string(100, 'W') + "Jun 30 21:49:08 1993",
      "1 Jun 30 21:49:08 1993",
      "30-6-1993_21:49:08_",
      "30-6-1993_21:49:08_\r",
      "30-6-1993_21:49:08",
      "30-6-1993_21:49:08_x",
      "30-6-1993_21:49:08_ Jun 5 1:2:3 4",
      "30-6-1993_21:49:08_ \r\n\t ",
      "30-6-1993_21:49:08 ",
      "5-1-2007_7:3:9_",
      "05-01-2007_07:03:09_",
      "5-13-2007_7:3:9_",
      "5-0-2007_7:3:9_",
      "0-1-2007_7:3:9_",
      "5--1-2007_7:3:9_",
      "5-+1-2007_7:3:9_",
      "5-1-2007_-7:3:9_",
      "5-1-2007 _7:3:9_",
      " 5-1-2007_7:3:9_",
      "5-1-2007_7:3:",
      "5-1-2007_7:3:99_",
      "5-1-2007_7:3:9_" + std::string(64, ' '),
      "5-1-2007_7:3:9_" + std::string(66, ' '),
      "5-1-12345678901_7:3:9_",
      "5-1-0_7:3:9_",
      std::string(56, ' ') + kDate,
      std::string(57, ' ') + kDate,
      "",
      " ",
      "\r",
      kDate + std::string("\0x", 2),
      "Wed Jun 30 21:49:08 19" + std::string("\0", 1) + "93",
      "30-6-1993_21:49:08" + std::string("\0", 1) + " Jun 5 1:2:3 4"};
  for (const std::string& text : header) {
    EXPECT_EQ(convertHeaderTimestamp(text), scanHeaderTimestamp(text)) << "[" << text << "]";
  }
  std::vector<std::string> name = {"20070823103000",
                                   "20070823103000-host",
                                   "200708231030009",
                                   "2007082310300",
                                   "20071301000000",
                                   "20070100000000",
                                   "20070132000000",
                                   "20070131240000",
                                   "20070131235960",
                                   "00000101000000",
                                   " 2007082310300",
                                   "+2007082310300",
                                   "2007-8231030000",
                                   "2007 823103000",
                                   "20070823 03000",
                                   "2007082310300x",
                                   "",
                                   "x"};
  for (const std::string& text : name) {
    EXPECT_EQ(convertNameTimestamp(text), scanNameTimestamp(text)) << "[" << text << "]";
  }
  // Every prefix of the usual forms, and every one-byte change of them.
  const std::string kBytes = " \t\r0159-+:_xJ";
  auto variants = [&kBytes](const std::string& base) {
    std::vector<std::string> result;
    for (std::size_t at = 0; at <= base.size(); ++at) {
      result.push_back(base.substr(0, at));
      for (char c : kBytes) {
        result.push_back(base.substr(0, at) + c + base.substr(at));
        if (at < base.size()) {
          result.push_back(base.substr(0, at) + c + base.substr(at + 1));
        }
      }
    }
    return result;
  };
  for (const std::string& base : {kDate + "\r", std::string("Sun Jan  2 03:04:05 2006"),
                                  std::string("30-6-1993_21:49:08_\r")}) {
    for (const std::string& text : variants(base)) {
      EXPECT_EQ(convertHeaderTimestamp(text), scanHeaderTimestamp(text)) << "[" << text << "]";
    }
  }
  for (const std::string& text : variants("20070823103000")) {
    EXPECT_EQ(convertNameTimestamp(text), scanNameTimestamp(text)) << "[" << text << "]";
  }
}

TEST_F(FolderTest, TwoMessagesByteForByte) {
  EXPECT_EQ(
      readMailbox("From <alice>(SA-1) " + kDate + "\r\nSubject: x\r\n\r\nbody\r\n\r\n" +
                  "From <bob>(-2) 30-6-1993_21:49:08_\r\nlast\r\n"),
      (std::vector<std::string>{"1|\\Seen \\Answered |" + kImapDate + "|Subject: x\r\n\r\nbody\r\n",
                                "2||" + kImapDate + "|last\r\n"}));
  EXPECT_EQ(log_.str(), "    Info: read message, local uid: 1 offset: 45 size: 20 date: \"" +
                            kImapDate + "\" flags: (\\Seen \\Answered )\n" +
                            "    Info: read message, local uid: 2 offset: 103 size: 6 date: \"" +
                            kImapDate + "\" flags: ()\n");
}

TEST_F(FolderTest, MessageBoundaries) {
  const std::string a = "From <a>(S-1) " + kDate + "\r\n";
  const std::string b = "From <b>(-2) " + kDate + "\r\n";
  const struct {
    std::string text;
    std::vector<std::string> messages;
  } cases[] = {
      {"", {}},
      {"no header\r\nFrom <x> (S-3) " + kDate + "\r\n", {}},
      {"junk\r\n" + a + "body\r\n", {"1|\\Seen |" + kImapDate + "|body\r\n"}},
      // A body line that starts like a header ends the message; what follows
      // up to the next real header belongs to no message.
      {a + "body\r\nFrom <quoted\r\nlost\r\n" + b + "x\r\n",
       {"1|\\Seen |" + kImapDate + "|body", "2||" + kImapDate + "|x\r\n"}},
      // Two bytes are dropped before the next header, also with bare LFs.
      {a + "l1\nl2\n\n" + b + "x\n",
       {"1|\\Seen |" + kImapDate + "|l1\nl2", "2||" + kImapDate + "|x\n"}},
      // A header right before another gives an empty message.
      {a + b + "x", {"1|\\Seen |" + kImapDate + "|", "2||" + kImapDate + "|x"}},
      {a + "x\r\n" + b, {"1|\\Seen |" + kImapDate + "|x", "2||" + kImapDate + "|"}},
      {"From <a>(S-1-2)\r\nx", {"1-2|\\Seen ||x"}},
      // The last line, without a line end, is a header of an empty message.
      {a + "x\r\n\r\nFrom <c>(-3)", {"1|\\Seen |" + kImapDate + "|x\r\n", "3|||"}},
      {"From <a>b>(F-x)Xjunk\r\nx", {"x|\\Flagged ||x"}},
      {"From <a(b>(-)  " + kDate + "\r\nx", {"||" + kImapDate + "|x"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(readMailbox(c.text), c.messages) << c.text;
  }
  EXPECT_EQ(log_.str().find("Error"), std::string::npos);
  EXPECT_EQ(readMailbox(a + "l1\nl2\n\n" + b + "x\n", true),
            (std::vector<std::string>{"1|\\Seen |" + kImapDate + "|l1\r\nl2",
                                      "2||" + kImapDate + "|x\r\n"}));
}

TEST_F(FolderTest, MalformedHeaderIsLoggedWithThePreviousUidAndSkipped) {
  const std::string bad = "From <carol>(S3) " + kDate + "\r";
  EXPECT_EQ(readMailbox(bad + "\nx\r\nFrom <a>(S-7)\r\none\r\n\r\n" + bad + "\nskipped\r\n" +
                        "From <b>(A-8)\r\ntwo"),
            (std::vector<std::string>{"7|\\Seen ||one\r\n", "8|\\Answered ||two"}));
  std::string log = log_.str();
  EXPECT_EQ(log.find("Error: wrong message header format(uid = ): " + bad + "\n"), 0u);
  EXPECT_NE(log.find("Error: wrong message header format(uid = 7): " + bad + "\n"),
            std::string::npos);
}

TEST_F(FolderTest, EveryPrefixOfAHeaderLine) {
  const std::string header = "From <alice>(SA-1) " + kDate;
  const std::size_t marker = header.find(">(") + 2;
  const std::size_t close = header.find(')') + 1;
  for (std::size_t length = 0; length <= header.size(); ++length) {
    log_.str("");
    std::string prefix = header.substr(0, length);
    std::vector<std::string> got = readMailbox(prefix + "\r\nbody\r\n");
    bool warned = log_.str().find("Warning: cannot parse timestamp.\n") != std::string::npos;
    if (length < close) {
      EXPECT_TRUE(got.empty()) << prefix;
      EXPECT_EQ(log_.str().find("Error: wrong message header format(uid = ): "),
                length < marker ? std::string::npos : 0u)
          << prefix;
    } else {
      ASSERT_EQ(got.size(), 1u) << prefix;
      EXPECT_EQ(got[0].rfind("1|\\Seen \\Answered |", 0), 0u);
      EXPECT_EQ(got[0].find("||body"), warned ? 18u : std::string::npos) << prefix;
    }
  }
}

TEST_F(FolderTest, WalkEndsQuietlyAndCanRestart) {
  Folder folder(&log_);
  Message message(&folder);
  openMailbox(folder, message, "From <a>(S-1)\r\nbody\r\n");
  EXPECT_FALSE(folder.nextMessage(message));
  EXPECT_FALSE(folder.nextMessage(message));
  ASSERT_TRUE(folder.firstMessage(message));
  EXPECT_EQ(message.contentSize(), 6u);
  folder.close();
  EXPECT_FALSE(folder.nextMessage(message));
}

TEST_F(FolderTest, ReadErrorDuringTheWalkIsAStoreError) {
  const std::string first = "From <a>(S-1)\r\nbody\r\n\r\n";
  Folder folder(&log_);
  Message message(&folder);
  openMailbox(folder, message, first + "From <b>(S-2)\r\n" + std::string(300000, 'x'));
  folder.file()->failFrom(static_cast<std::int64_t>(first.size()) + 1000);
  folder.setFixCrLf(false);
  expectStoreError([&] { folder.nextMessage(message); }, "message cannot be read");
}

TEST_F(FolderTest, ReadErrorInTheNextHeaderLineEndsTheWalkWhereItStopped) {
  const std::string first = "From <a>(S-1)\r\nbody\r\n\r\n";
  writeFile(dir_ / "acct.mbox", first + "From <b>(S-2) " + kDate + "\r\nx\r\n");
  Folder folder(&log_);
  Message message(&folder);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  folder.open("acct");
  // Within the second header line, after its "From <".
  folder.file()->failFrom(static_cast<std::int64_t>(first.size()) + 9);
  expectStoreError([&] { folder.firstMessage(message); }, "message cannot be read");
  // The message was measured up to where the reading failed.
  EXPECT_NE(log_.str().find("    Info: read message, local uid: 1 offset: 15 size: 17 "),
            std::string::npos)
      << log_.str();
}

// Positions around the read buffer's edges: the walk looks at the buffered
// bytes in place and must find lines, header starts and the LFs to fix across
// the edges exactly as within one buffer.
TEST_F(FolderTest, MessagesAcrossReadBufferEdges) {
  const std::int64_t edge = static_cast<std::int64_t>(ostrel::utils::InputFile::kBufferSize);
  const std::string first = "From <a>(S-1) " + kDate + "\r\n";
  const std::string second = "From <b>(A-2) " + kDate + "\r\n";
  const std::int64_t start = static_cast<std::int64_t>(first.size());
  const std::int64_t secondAt = 5 * edge - 3;  // "Fro" before the edge, "m <" after
  std::string text = first + std::string(static_cast<std::size_t>(secondAt - start), 'x');
  auto put = [&text](std::int64_t at, const std::string& bytes) {
    text.replace(static_cast<std::size_t>(at), bytes.size(), bytes);
  };
  put(start + 65534, "y\n");         // first byte of the second piece: left alone
  put(edge - 1, "\r\nFrom x");       // CR LF cut by the edge: nothing to fix
  put(2 * edge - 1, "x\n");          // LF first in the buffer after an x: fixed
  put(3 * edge - 5, "\nFrom nope");  // a cut "From " that is no header start
  put(secondAt - 2, "\n\n");         // the two bytes that belong to no message
  text += second + "tail\n";
  const std::string content =
      text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(secondAt - 2 - start));
  for (bool fixCrLf : {false, true}) {
    writeFile(dir_ / "acct.mbox", text);
    Folder folder(&log_);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    Message message(&folder);
    folder.open("acct");
    folder.setFixCrLf(fixCrLf);
    ASSERT_TRUE(folder.firstMessage(message));
    EXPECT_EQ(message.offset(), static_cast<std::uint64_t>(start));
    EXPECT_EQ(message.storedSize(), content.size());
    EXPECT_EQ(message.contentSize(), content.size() + (fixCrLf ? 2 : 0));
    ASSERT_TRUE(folder.nextMessage(message));
    EXPECT_EQ(message.localUid(), "2");
    EXPECT_EQ(message.contentSize(), fixCrLf ? 6u : 5u);
    EXPECT_FALSE(folder.nextMessage(message));
    folder.close();
    // The pieces deliver what was announced (readAll checks the sizes).
    std::vector<std::string> got = readMailbox(text, fixCrLf);
    ASSERT_EQ(got.size(), 2u);
    if (!fixCrLf) {
      EXPECT_TRUE(got[0] == "1|\\Seen |" + kImapDate + "|" + content);
      EXPECT_EQ(got[1], "2|\\Answered |" + kImapDate + "|tail\n");
    }
  }
  EXPECT_EQ(log_.str().find("Error"), std::string::npos);
}

TEST_F(FolderTest, LinesLongerThanTheReadBuffer) {
  const std::size_t longer = ostrel::utils::InputFile::kBufferSize * 2 + 100;
  const std::string a = "From <a>(S-1) " + kDate + "\r\n";
  // It ends the message before it, but is no header: its marker lies beyond
  // the first 64 KiB of the line, the part that is looked at.
  const std::string lateMarker = "From <z" + std::string(70000, ' ') + ">(S-9) " + kDate;
  const std::string longHeader = "From <b>(A-2) " + std::string(longer, ' ');
  const std::string body = "body " + std::string(longer, 'b') + " From <x>(S-3)\r\n";
  std::vector<std::string> got =
      readMailbox(std::string(longer, 'j') + "\r\n" + a + body + "\r\n" + lateMarker +
                  "\r\nlost\r\n\r\n" + longHeader + "\r\nend");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0] == "1|\\Seen |" + kImapDate + "|" + body) << got[0].size();
  EXPECT_EQ(got[1], "2|\\Answered ||end");
  EXPECT_EQ(log_.str().find("Error"), std::string::npos);
  EXPECT_NE(log_.str().find("Warning: cannot parse timestamp.\n"), std::string::npos);
}

// The source server was not stopped: its mailbox file shrank, grew or was
// rewritten after the folder opened it. Every message handed out must be whole
// and the walk must end in an error, where it used to hand out a cut message
// and end quietly.
TEST_F(FolderTest, MailboxFileChangedWhileReadIsAStoreError) {
  const std::string first = "From <a>(S-1)\r\nbody\r\n\r\n";
  const std::string path = dir_ / "acct.mbox";
  // Beyond the read buffer, which may still hold what was read before.
  const auto cut = static_cast<std::uintmax_t>(first.size() + 200000);
  auto truncateTo = [&path](std::uintmax_t size) {
    return [&path, size] { std::filesystem::resize_file(path, size); };
  };
  auto appendThird = [&path] {
    std::ofstream(path, std::ios::app) << "\r\nFrom <c>(S-3)\r\nthird\r\n";
  };
  auto touch = [&path] {
    std::filesystem::last_write_time(
        path, std::filesystem::last_write_time(path) - std::chrono::seconds(10));
  };
  const struct {
    const char* what;
    int changeAfter;
    std::function<void()> change;
    std::string walk;
  } cases[] = {
      {"unchanged", 0, [] {}, "1:6 2:300000 end"},
      {"cut in the second", 0, truncateTo(cut), "1:6 changed"},
      {"cut in the second", 1, truncateTo(cut), "1:6 changed"},
      {"cut in the second being read", 2, truncateTo(cut), "1:6 2:(cut) changed"},
      {"second gone", 0, truncateTo(first.size()), "changed"},
      {"second gone", 1, truncateTo(first.size()), "1:6 changed"},
      {"emptied", 0, truncateTo(0), "changed"},
      {"grown", 1, appendThird, "1:6 2:300000 changed"},
      {"rewritten", 0, touch, "1:6 2:300000 changed"},
      {"rewritten", 2, touch, "1:6 2:300000 changed"},
  };
  for (const auto& c : cases) {
    writeFile(path, first + "From <b>(S-2)\r\n" + std::string(300000, 'x'));
    log_.str("");
    EXPECT_EQ(walkChanging(c.changeAfter, c.change), c.walk) << c.what << " @" << c.changeAfter;
    bool logged =
        log_.str().find("Error: the messages file changed while being read\n") != std::string::npos;
    EXPECT_EQ(logged, c.walk.find("changed") != std::string::npos) << log_.str();
  }
}

TEST_F(FolderTest, MissingMailboxFileIsAStoreError) {
  Folder folder(&log_);
  folder.assign("Sent Items", dir_.path(), MailboxFile);
  expectStoreError([&] { folder.open("acct"); },
                   "cannot read messages file \"" + dir_.path() + "/Sent Items.mbox\"");
  EXPECT_EQ(folder.file(), nullptr);
}

TEST_F(FolderTest, MessagePastTwoGigabytesIsReadExactly) {
  const std::int64_t secondAt = (std::int64_t{1} << 31) + 1000;
  const std::string first = "From <a>(S-1)\r\nfirst\r\n";
  const std::string second = "\r\nFrom <b>(A-2)\r\nsecond message\r\n";
  int fd = ::open((dir_ / "acct.mbox").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
  ASSERT_EQ(::pwrite(fd, second.data(), second.size(), secondAt),
            static_cast<ssize_t>(second.size()));
  ::close(fd);
  Folder folder(&log_);
  Message message(&folder);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  folder.open("acct");
  ASSERT_TRUE(folder.firstMessage(message));
  EXPECT_EQ(message.storedSize(), static_cast<std::uint64_t>(secondAt) - 15);
  ASSERT_TRUE(folder.nextMessage(message));
  const std::uint64_t offset = secondAt + second.size() - 16;
  EXPECT_EQ(message.offset(), offset);
  std::string piece;
  ASSERT_TRUE(message.firstChunk(piece));
  EXPECT_EQ(piece, "second message\r\n");
  EXPECT_FALSE(folder.nextMessage(message));
  EXPECT_NE(log_.str().find("uid: 2 offset: " + std::to_string(offset) + " size: 16 "),
            std::string::npos);
}

TEST_F(FolderTest, MessageFileNamesGiveFlagsAndDates) {
  const std::pair<std::string, std::string> cases[] = {
      {"1187953123.5-SF-20070823103000-host", "\\Seen \\Flagged |23-Aug-2007 10:30:00 +0000"},
      {"123-R-20070101000000", "|"},
      {"x--20071301000000-y", "|"},
      {"x-S-2007010112-y", "\\Seen |"},
      {"readme", "|"},
      {"a-D-20070101000000-b-c", "\\Draft |01-Jan-2007 00:00:00 +0000"},
  };
  Folder folder(&log_);
  folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
  for (const auto& [name, flagsAndDate] : cases) {
    log_.str("");
    writeFile(dir_ / "acct.mdir/" + name, "content");
    EXPECT_EQ(readAll(folder, "acct"), std::vector<std::string>{"|" + flagsAndDate + "|content"});
    ::unlink((dir_ / "acct.mdir/" + name).c_str());
    bool undated = flagsAndDate.back() == '|';
    EXPECT_EQ(log_.str(), "    Info: read message, filename: " + name + "\n" +
                              (undated ? "Warning: cannot parse timestamp.\n" : ""));
  }
}

TEST_F(FolderTest, MessageDirectorySkipsSubdirectoriesAndKeepsEmptyFiles) {
  Folder folder(&log_);
  folder.assign("Gone", dir_.path(), MessageDirectory);
  EXPECT_TRUE(readAll(folder, "acct").empty());
  testing::makeDirectories(dir_ / "acct.mdir/Sub.mdir");
  testing::makeDirectories(dir_ / "acct.mdir/Sub.folder");
  folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
  EXPECT_TRUE(readAll(folder, "acct").empty());
  writeFile(dir_ / "acct.mdir/empty", "");
  EXPECT_EQ(readAll(folder, "acct"), std::vector<std::string>{"|||"});
}

TEST_F(FolderTest, UnreadableMessageFileClosesTheFolder) {
  testing::makeDirectories(dir_ / "acct.mdir");
  ASSERT_EQ(::symlink((dir_ / "nowhere").c_str(), (dir_ / "acct.mdir/1-S-x").c_str()), 0);
  Folder folder(&log_);
  folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
  Message message(&folder);
  folder.open("acct");
  expectStoreError([&] { folder.firstMessage(message); }, "cannot read messages file \"1-S-x\"");
  EXPECT_EQ(log_.str().find("    Info: read message, filename: 1-S-x\nError: "), 0u);
  EXPECT_EQ(folder.file(), nullptr);
  EXPECT_FALSE(folder.nextMessage(message));
}

TEST_F(FolderTest, EachAccountKindFindsItsFolders) {
  StoreBuilder store(dir_.path());
  const std::string john = store.account("", "john", AccountDirectory).path();
  const std::string jane = store.account("", "jane", MailboxFile).path();
  const std::string bob = store.account("", "bob", MessageDirectory).path();
  store.mailboxFile("", "john", "INBOX", {{"S", "1", kDate, "john inbox"}});
  store.mailboxFile("", "john", "Archive/2007", {{"", "2", kDate, "a"}, {"", "3", kDate, "b"}});
  store.mailboxFile("", "john", "Drafts", {{"", "4", kDate, "from the file"}});
  store.messageFile("", "john", "Drafts", "d-D-20070101000000-h", "from the directory");
  store.mailboxFile("", "jane", "INBOX", {{"", "5", kDate, "jane inbox"}});
  store.mailboxFile("", "jane", "Sent", {{"", "6", kDate, "jane sent"}});
  store.messageFile("", "bob", "INBOX", "b-S-20070101000000-h", "bob inbox");
  store.messageFile("", "bob", "Archive/2007", "b--20070101000000-h", "bob archived");
  const struct {
    std::string account;
    std::string path;
    StorageKind kind;
    std::string folder;
    std::string contents;
  } cases[] = {
      {"john", john, AccountDirectory, "INBOX", "john inbox"},
      {"john", john, AccountDirectory, "Archive/2007", "a\r\nb"},
      {"john", john, AccountDirectory, "Drafts", "from the directory"},
      {"jane", jane, MailboxFile, "INBOX", "jane inbox"},
      {"jane", jane, MailboxFile, "Sent", "jane sent"},
      {"bob", bob, MessageDirectory, "INBOX", "bob inbox"},
      {"bob", bob, MessageDirectory, "Archive/2007", "bob archived"},
  };
  for (const auto& c : cases) {
    Folder folder(&log_);
    folder.assign(c.folder, c.path, c.kind);
    std::string contents;
    for (const std::string& message : readAll(folder, c.account)) {
      contents += (contents.empty() ? "" : "\r\n") + message.substr(message.rfind('|') + 1);
    }
    EXPECT_EQ(contents, c.contents) << c.account << " " << c.folder;
  }
}

TEST_F(FolderTest, CopiesCarryNoOpenFile) {
  Folder folder(&log_);
  Message message(&folder);
  openMailbox(folder, message, "From <a>(S-1)\r\n");
  folder.setMessageCount(3);
  folder.setFixCrLf(false);
  Folder copy(folder);
  Folder assigned(&log_);
  assigned = folder;
  EXPECT_EQ(copy.file(), nullptr);
  EXPECT_EQ(assigned.file(), nullptr);
  EXPECT_EQ(std::to_string(copy.messageCount()) + assigned.name(), "3INBOX");
  EXPECT_FALSE(copy.fixCrLf());
}

// The journal names messages by these keys: they must not depend on the run.
TEST_F(FolderTest, KeysNameTheFileAndTheHeaderLine) {
  const std::string first = "From <a>(S-1)\r\nbody\r\n\r\n";
  for (int run = 0; run < 2; ++run) {
    Folder folder(&log_);
    Message message(&folder);
    openMailbox(folder, message, first + "From <b>(S-2)\r\nxy\r\n");
    MessageKey key = message.key();
    EXPECT_EQ(key.file, "acct.mbox");
    EXPECT_EQ(key.headerOffset, 0);
    ASSERT_TRUE(folder.nextMessage(message));
    key = message.key();
    EXPECT_EQ(key.headerOffset, static_cast<std::int64_t>(first.size()));
    EXPECT_EQ(key.storedSize, message.storedSize());
  }
  Folder nested(&log_);
  Message message(&nested);
  writeFile(dir_ / "acct.macnt/Archive.folder/2007.mbox", first);
  nested.assign("Archive/2007", dir_ / "acct.macnt", AccountDirectory);
  nested.open("acct");
  ASSERT_TRUE(nested.firstMessage(message));
  EXPECT_EQ(message.key().file, "Archive.folder/2007.mbox");

  Folder directory(&log_);
  Message file(&directory);
  writeFile(dir_ / "acct.macnt/Drafts.mdir/1-D-20070824125320-h", "draft");
  directory.assign("Drafts", dir_ / "acct.macnt", AccountDirectory);
  directory.open("acct");
  ASSERT_TRUE(directory.firstMessage(file));
  EXPECT_EQ(file.key().file, "Drafts.mdir/1-D-20070824125320-h");
  EXPECT_EQ(file.key().headerOffset, -1);
  EXPECT_EQ(file.key().storedSize, 5u);
}

}  // namespace
}  // namespace lodemig
