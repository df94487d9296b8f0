#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "store/folder.h"
#include "store/message.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

const char kChanged[] = "the messages file changed while being read";

// Folders in live mode: a store whose server keeps writing while it is read.
// The changes are made between the walk's calls.
class FolderLiveTest : public ::testing::Test {
 protected:
  // Walks the INBOX of "acct" in live mode, calling `change` once
  // `changeAfter` messages were handed out (before the last of them is read;
  // 0: before the first is looked for). Describes the walk as "uid:content "
  // per message ("uid:(changed) " when its content read reported the change),
  // then "end", and " / " and the change note when the folder recorded one.
  std::string walk(int changeAfter, const std::function<void()>& change) {
    Folder folder(&log_);
    Message message(&folder);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    folder.setLive(true);
    folder.open("acct");
    folder.setFixCrLf(false);
    if (changeAfter == 0) {
      change();
    }
    std::string walk;
    int handed = 0;
    for (bool more = folder.firstMessage(message); more && handed < 10;
         more = folder.nextMessage(message)) {
      if (++handed == changeAfter) {
        change();
      }
      walk += message.localUid() + ":" + contentOf(message) + " ";
    }
    folder.close();
    return walk + "end" + (folder.sourceChanged() ? " / " + folder.changeNote() : "");
  }

  // The message's content, or "(changed)" when reading it reported the change.
  static std::string contentOf(Message& message) {
    std::string content;
    std::string piece;
    try {
      for (bool next = message.firstChunk(piece); next; next = message.nextChunk(piece)) {
        content += piece;
      }
    } catch (const QLStoreException& error) {
      EXPECT_STREQ(error.what(), kChanged);
      return "(changed)";
    }
    return content;
  }

  void append(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::app) << text;
  }

  // Rewrites the mailbox file in place (the same file, as a compacting server
  // does), not as a new file renamed over it.
  std::function<void()> rewriteTo(const std::string& text) {
    return [this, text] { writeFile(path_, text); };
  }

  // The messages a walk of the message directory "acct.mdir" hands out, as
  // "name|identity|flags|date|stored size", in name order.
  std::set<std::string> listDirectory(bool openFiles) {
    Folder folder(&log_);
    Message message(&folder);
    folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
    folder.setLive(true);
    folder.setOpenFiles(openFiles);
    folder.open("acct");
    std::set<std::string> messages;
    for (bool more = folder.firstMessage(message); more && messages.size() < 10;
         more = folder.nextMessage(message)) {
      messages.insert(message.key().file + "|" + message.identity() + "|" + message.flags() + "|" +
                      message.internalDate() + "|" + std::to_string(message.storedSize()));
    }
    return messages;
  }

  ScopedTempDir dir_;
  std::string path_ = dir_ / "acct.mbox";
  std::ostringstream log_;
};

const std::string kFirst = "From <a>(S-1)\r\none\r\n";
const std::string kSecond = "From <b>(S-2)\r\ntwo\r\n";

TEST_F(FolderLiveTest, UnchangedFileIsReadAsWithoutLiveMode) {
  writeFile(path_, kFirst + kSecond);
  EXPECT_EQ(walk(0, [] {}), "1:one 2:two\r\n end");
  const std::string liveLog = log_.str();
  log_.str("");
  Folder folder(&log_);
  Message message(&folder);
  folder.assign("INBOX", dir_.path(), MailboxFile);
  folder.open("acct");
  while (folder.nextMessage(message)) {
  }
  EXPECT_EQ(log_.str(), liveLog);
  std::int64_t size = 0;
  std::int64_t modified = 0;
  ASSERT_TRUE(folder.fileStamp(size, modified));
  struct stat info;
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(size, info.st_size);
  EXPECT_EQ(modified, info.st_mtim.tv_sec * std::int64_t{1000000000} + info.st_mtim.tv_nsec);
}

// Empty messages, bare LFs, a last header without a line end: an unchanged
// file of any shape is confirmed message by message.
TEST_F(FolderLiveTest, UnchangedFilesOfEveryShapeAreConfirmed) {
  const std::string a = "From <a>(S-1)\r\n";
  const std::string b = "From <b>(-2)\r\n";
  const std::pair<std::string, std::string> cases[] = {
      {a + "l1\nl2\n\n" + b + "x\n", "1:l1\nl2 2:x\n end"},
      {a + b + "x", "1: 2:x end"},
      {a + "x\r\n" + b, "1:x 2: end"},
      {a + "\n" + b, "1: 2: end"},
      {a + "x\r\n\r\nFrom <c>(-3)", "1:x\r\n 3: end"},
      {"junk\r\n" + a + "body", "1:body end"},
  };
  for (const auto& [text, expected] : cases) {
    writeFile(path_, text);
    EXPECT_EQ(walk(0, [] {}), expected) << text;
  }
}

// Only the messages that were whole at the opened size are handed out.
TEST_F(FolderLiveTest, GrownFileHandsOutWhatWasWholeWhenOpened) {
  const std::string third = "\r\nFrom <c>(S-3)\r\nthree\r\n";
  const std::string grew = " / the messages file grew while being read";
  const struct {
    const char* what;
    std::string atOpen;
    std::string appended;
    int changeAfter;
    std::string walk;
  } cases[] = {
      {"appended before the walk", kFirst + kSecond, third, 0, "1:one 2:two\r\n end" + grew},
      {"appended while the last is read", kFirst + kSecond, third, 2, "1:one 2:two\r\n end" + grew},
      {"appended behind an end without a line end", kFirst + "From <b>(S-2)\r\ntwo", third, 1,
       "1:one 2:two end" + grew},
      // The second was being written when the file was opened.
      {"last cut, completed", kFirst + "From <b>(S-2)\r\ntw", "o\r\n", 1, "1:one end" + grew},
      {"last cut, completed and followed", kFirst + "From <b>(S-2)\r\ntw", "o\r\n" + third, 1,
       "1:one end" + grew},
      {"header cut", kFirst + "From <b>(S-", "2)\r\ntwo\r\n", 0, "1:one end" + grew},
      // Not even parsed: it would be logged as malformed.
      {"malformed header appended", kFirst, "\r\nFrom <c>(S3)\r\nthree\r\n", 0,
       "1:one\r\n end" + grew},
  };
  for (const auto& c : cases) {
    writeFile(path_, c.atOpen);
    EXPECT_EQ(walk(c.changeAfter, [&] { append(c.appended); }), c.walk) << c.what;
  }
  // Nothing appended is logged as read, or at all.
  EXPECT_EQ(log_.str().find("local uid: 3"), std::string::npos);
  EXPECT_EQ(log_.str().find("Error"), std::string::npos) << log_.str();
}

TEST_F(FolderLiveTest, ShrunkFileHandsOutNothingCut) {
  const std::string second = "From <b>(S-2)\r\n" + std::string(300000, 'x') + "\r\n";
  const std::string third = "From <c>(S-3)\r\nthree\r\n";
  const std::string shrank = " / the messages file shrank while being read";
  auto truncateTo = [this](std::size_t size) {
    return [this, size] { std::filesystem::resize_file(path_, size); };
  };
  const struct {
    const char* what;
    int changeAfter;
    std::size_t size;
    std::string walk;
  } cases[] = {
      {"cut in the second", 1, kFirst.size() + 200000, "1:one end" + shrank},
      {"cut in the second being read", 2, kFirst.size() + 200000, "1:one 2:(changed) end" + shrank},
      // Cut where the third's separator began: the second is whole.
      {"third gone", 2, kFirst.size() + second.size() - 2,
       "1:one 2:" + std::string(300000, 'x') + " end" + shrank},
      {"emptied", 0, 0, "end" + shrank},
  };
  for (const auto& c : cases) {
    writeFile(path_, kFirst + second + third);
    EXPECT_EQ(walk(c.changeAfter, truncateTo(c.size)), c.walk) << c.what;
  }
}

// A compacting server drops the first message and moves the others up in
// place, between the walk's finding the second and the reading of it.
TEST_F(FolderLiveTest, FileRewrittenWithOffsetsMovedGivesNothingMixed) {
  const std::string second = "From <b>(S-2)\r\n" + std::string(100, 'b') + "\r\n";
  const std::string third = "From <c>(S-3)\r\n" + std::string(1000, 'c') + "\r\n";
  writeFile(path_, kFirst + second + third);
  EXPECT_EQ(walk(2, rewriteTo(second + third)),
            "1:one 2:(changed) end / the messages file shrank while being read");
  // Also when the file is short of the second's bytes at its old place.
  writeFile(path_, kFirst + second + third);
  EXPECT_EQ(walk(2, rewriteTo(second)),
            "1:one 2:(changed) end / the messages file shrank while being read");
}

TEST_F(FolderLiveTest, ChangeOfTheSameSizeIsCaughtByTheHeaderLineOrTheFileTime) {
  const std::string flagged = "From <a>(A-1)\r\none\r\n";
  writeFile(path_, kFirst + kSecond);
  // Flags rewritten in place after the first was found: its header differs,
  // and the walk stops there.
  EXPECT_EQ(walk(1, rewriteTo(flagged + kSecond)),
            "1:(changed) end / the messages file was rewritten while being read");
  // After it was read: only the time when the walk is over tells.
  writeFile(path_, kFirst + kSecond);
  auto touch = [this] {
    std::filesystem::last_write_time(
        path_, std::filesystem::last_write_time(path_) - std::chrono::seconds(10));
  };
  EXPECT_EQ(walk(2, touch),
            "1:one 2:two\r\n end / the messages file was rewritten while being read");
}

TEST_F(FolderLiveTest, VanishedMessageFileIsSkipped) {
  for (const char* name : {"1-S-20070101000000-h", "2--20070101000000-h", "3-F-20070101000000-h"}) {
    writeFile(dir_ / "acct.mdir/" + name, name);
  }
  for (bool live : {false, true}) {
    SCOPED_TRACE(live ? "live" : "default");
    Folder folder(&log_);
    Message message(&folder);
    folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
    folder.setLive(live);
    folder.open("acct");
    ASSERT_TRUE(folder.firstMessage(message));
    std::set<std::string> handed{message.fileName()};
    // Removes one the listing has not handed out yet.
    std::string gone;
    for (const char* name : {"1-S-20070101000000-h", "2--20070101000000-h"}) {
      if (gone.empty() && handed.count(name) == 0) {
        gone = name;
        ::unlink((dir_ / "acct.mdir/" + gone).c_str());
      }
    }
    try {
      while (folder.nextMessage(message) && handed.size() < 10) {
        EXPECT_EQ(contentOf(message), message.fileName());
        handed.insert(message.fileName());
      }
      EXPECT_TRUE(live);
    } catch (const QLStoreException& error) {
      EXPECT_FALSE(live);
      EXPECT_EQ(error.what(), "cannot read messages file \"" + gone + "\"");
      writeFile(dir_ / "acct.mdir/" + gone, gone);
      continue;
    }
    EXPECT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed.count(gone), 0u);
    EXPECT_TRUE(folder.sourceChanged());
    EXPECT_EQ(folder.changeNote(), "message file \"" + gone + "\" vanished");
  }
}

TEST_F(FolderLiveTest, MessageFileChangedWhileReadIsNotCompleted) {
  const std::string name = "1-S-20070101000000-h";
  writeFile(dir_ / "acct.mdir/" + name, "content");
  Folder folder(&log_);
  Message message(&folder);
  folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
  folder.setLive(true);
  folder.open("acct");
  ASSERT_TRUE(folder.firstMessage(message));
  std::string piece;
  ASSERT_TRUE(message.firstChunk(piece));
  std::ofstream(dir_ / "acct.mdir/" + name, std::ios::app) << " and more";
  try {
    message.nextChunk(piece);
    ADD_FAILURE() << "the end was confirmed";
  } catch (const QLStoreException& error) {
    EXPECT_STREQ(error.what(), kChanged);
  }
  EXPECT_EQ(folder.changeNote(), "message file \"" + name + "\" changed while being read");
  std::int64_t size = 0;
  std::int64_t modified = 0;
  EXPECT_FALSE(folder.fileStamp(size, modified));
}

TEST_F(FolderLiveTest, ListingOnlyWalkGivesTheSameIdentitiesAndFlags) {
  for (const char* name : {"1187953123.5-SF-20070823103000-host", "2--20070101000000-h",
                           "3-D-20070101000000-h", "readme"}) {
    writeFile(dir_ / "acct.mdir/" + name, std::string("content of ") + name);
  }
  std::set<std::string> full = listDirectory(true);
  const std::string fullLog = log_.str();
  log_.str("");
  std::set<std::string> listed = listDirectory(false);
  EXPECT_EQ(log_.str(), fullLog);  // the same "read message" lines
  ASSERT_EQ(listed.size(), 4u);
  ASSERT_EQ(full.size(), 4u);
  // The same but for the stored size, which the listing does not know.
  auto drop = [](const std::string& text) { return text.substr(0, text.rfind('|')); };
  for (auto f = full.begin(), l = listed.begin(); f != full.end(); ++f, ++l) {
    EXPECT_EQ(drop(*f), drop(*l));
    EXPECT_NE(f->substr(f->rfind('|')), "|0");
    EXPECT_EQ(l->substr(l->rfind('|')), "|0");
  }
  // Its messages cannot be read.
  Folder folder(&log_);
  folder.assign("INBOX", dir_ / "acct.mdir", MessageDirectory);
  folder.setOpenFiles(false);
  Folder copy(folder);
  copy.open("acct");
  Message copied(&copy);
  ASSERT_TRUE(copy.firstMessage(copied));
  std::string piece;
  EXPECT_THROW(copied.firstChunk(piece), QLStoreException);
}

}  // namespace
}  // namespace lodemig
