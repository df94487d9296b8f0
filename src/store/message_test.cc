#include "store/message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "store/folder.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

class MessageTest : public ::testing::Test {
 protected:
  // Puts `content` into the folder's open file behind `offset` filler bytes
  // and points the message at it.
  void place(const std::string& content, bool fixCrLf, std::size_t offset = 0) {
    folder_.close();
    writeFile(dir_ / "acct.mbox", std::string(offset, 'o') + content + "trailer");
    folder_.assign("INBOX", dir_.path(), MailboxFile);
    folder_.open("acct");
    message_.setRange(offset, content.size(), fixCrLf);
  }

  std::vector<std::string> pieces() {
    std::vector<std::string> result;
    std::string buffer;
    for (bool more = message_.firstChunk(buffer); more && result.size() < 1000;
         more = message_.nextChunk(buffer)) {
      result.push_back(buffer);
    }
    EXPECT_TRUE(buffer.empty());
    return result;
  }

  template <typename Action>
  void expectCannotRead(Action action) {
    try {
      action();
      ADD_FAILURE() << "no exception";
    } catch (const QLStoreException& error) {
      EXPECT_STREQ(error.what(), "message cannot be read");
    }
  }

  void readAllPieces() {
    std::string piece;
    for (bool more = message_.firstChunk(piece); more; more = message_.nextChunk(piece)) {
    }
  }

  ScopedTempDir dir_;
  std::ostringstream log_;
  Folder folder_{&log_};
  Message message_{&folder_};
};

TEST_F(MessageTest, DeliversTheContentWithAndWithoutLineEndFixing) {
  const struct {
    std::string content;
    bool fixCrLf;
    std::string delivered;
  } cases[] = {
      {"a\nb\r\nc\n", true, "a\r\nb\r\nc\r\n"},
      {"a\nb\r\nc\n", false, "a\nb\r\nc\n"},
      {"\nX\n", true, "\nX\r\n"},
      {"\n\n\r\r\n", true, "\n\r\n\r\r\n"},
      {std::string("a\0\nb", 4), true, std::string("a\0\r\nb", 5)},
      {"", true, ""},
  };
  for (const auto& c : cases) {
    place(c.content, c.fixCrLf, 10);
    EXPECT_EQ(message_.contentSize(), c.delivered.size()) << c.content;
    std::vector<std::string> got = pieces();
    EXPECT_EQ(got.size(), c.content.empty() ? 0u : 1u);
    EXPECT_EQ(got.empty() ? "" : got[0], c.delivered) << c.content;
    EXPECT_EQ(message_.storedSize(), c.content.size());
  }
}

TEST_F(MessageTest, PiecesSplitAt65535BytesAndTheSecondPieceKeepsItsFirstLineFeed) {
  std::string content(70000, 'x');
  content[65533] = '\n';  // last byte but one of the first piece: fixed
  content[65535] = '\n';  // first byte of the second piece: left alone
  content[65536] = '\n';  // follows an LF: fixed
  place(content, true, 1);
  std::vector<std::string> got = pieces();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].substr(65532), "x\r\nx");
  EXPECT_EQ(got[1].size(), 4466u);
  EXPECT_EQ(got[1].substr(0, 4), "\n\r\nx");
  EXPECT_EQ(message_.contentSize(), 65536u + 4466u);
  place(content, false, 1);
  got = pieces();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), 65535u);
  EXPECT_EQ(got[0] + got[1], content);
}

TEST_F(MessageTest, ContentSizeIsCachedUntilTheNextRange) {
  place("a\nb\n", true);
  EXPECT_EQ(message_.contentSize(), 6u);
  folder_.file()->failFrom(0);
  EXPECT_EQ(message_.contentSize(), 6u);  // not read again
  message_.setRange(0, 4, true);
  expectCannotRead([&] { message_.contentSize(); });
}

TEST_F(MessageTest, LineEndsCountedByTheReaderSpareTheSizePass) {
  place("a\nb\r\nc", true);
  message_.setLineEndsToFix(1);
  folder_.file()->failFrom(0);
  EXPECT_EQ(message_.contentSize(), 7u);  // not read
  folder_.file()->failFrom(-1);
  EXPECT_EQ(pieces(), std::vector<std::string>{"a\r\nb\r\nc"});
  place("a\r\nb", true);
  message_.setLineEndsToFix(0);
  EXPECT_EQ(message_.contentSize(), 4u);
  EXPECT_EQ(pieces(), std::vector<std::string>{"a\r\nb"});
  place("a\nb", false);  // nothing is fixed without fixCrLf
  message_.setLineEndsToFix(1);
  EXPECT_EQ(message_.contentSize(), 3u);
  EXPECT_EQ(pieces(), std::vector<std::string>{"a\nb"});
  // A size past the limit is still refused.
  message_.setRange(0, std::numeric_limits<std::uint32_t>::max(), true);
  message_.setLineEndsToFix(1);
  expectCannotRead([&] { message_.contentSize(); });
}

TEST_F(MessageTest, FailingOrShrunkFileNeverGivesAShortMessage) {
  place(std::string(200000, 'y'), true);
  folder_.file()->failFrom(100000);
  expectCannotRead([&] { message_.contentSize(); });
  std::string buffer;
  ASSERT_TRUE(message_.firstChunk(buffer));
  EXPECT_EQ(buffer.size(), Message::kPieceSize);
  expectCannotRead([&] { readAllPieces(); });

  place(std::string(3000000, 'z'), false);
  ASSERT_EQ(::truncate((dir_ / "acct.mbox").c_str(), 2000000), 0);
  EXPECT_EQ(message_.contentSize(), 3000000u);  // known without reading
  expectCannotRead([&] { readAllPieces(); });

  folder_.close();
  expectCannotRead([&] { readAllPieces(); });
}

TEST_F(MessageTest, ContentOfFourGigabytesIsRefusedNotWrapped) {
  place("abc", false);
  message_.setRange(0, std::uint64_t{1} << 32, false);
  expectCannotRead([&] { message_.contentSize(); });
  expectCannotRead([&] { readAllPieces(); });
  message_.setRange(0, std::numeric_limits<std::uint32_t>::max(), false);
  EXPECT_EQ(message_.contentSize(), std::numeric_limits<std::uint32_t>::max());
}

// Live mode: the piece call that finds the end confirms that the file still
// holds the message where the walk found it.
TEST_F(MessageTest, LiveEndConfirmsTheMessageWhereTheWalkFoundIt) {
  const std::string first = "From <a>(S-1)\r\nbody\r\n";
  const struct {
    const char* what;
    std::string appended;
    bool confirmed;
  } cases[] = {
      {"unchanged", "", true},
      {"another message appended", "\r\nFrom <b>(S-2)\r\nx", true},
      {"bytes appended without a header", "\r\nmore", false},
      {"a header appended without the separator", "From <b>(S-2)\r\nx", false},
  };
  for (const auto& c : cases) {
    writeFile(dir_ / "acct.mbox", first);
    Folder folder(&log_);
    Message message(&folder);
    folder.assign("INBOX", dir_.path(), MailboxFile);
    folder.setLive(true);
    folder.open("acct");
    ASSERT_TRUE(folder.firstMessage(message));
    std::ofstream(dir_ / "acct.mbox", std::ios::app) << c.appended;
    std::string piece;
    ASSERT_TRUE(message.firstChunk(piece));
    EXPECT_EQ(piece, "body\r\n");
    try {
      EXPECT_FALSE(message.nextChunk(piece));
      EXPECT_TRUE(c.confirmed) << c.what;
    } catch (const QLStoreException& error) {
      EXPECT_FALSE(c.confirmed) << c.what;
      EXPECT_STREQ(error.what(), "the messages file changed while being read");
      EXPECT_EQ(folder.changeNote(), "the messages file grew while being read");
    }
    EXPECT_EQ(folder.sourceChanged(), !c.confirmed) << c.what;
  }
}

// The system's copy of the stored bytes would pass the confirmation by.
TEST_F(MessageTest, LiveModeOffersNoStoredRange) {
  place("abc", false, 2);
  int fd = -1;
  std::uint64_t offset = 0;
  ASSERT_TRUE(message_.storedRange(fd, offset));
  EXPECT_EQ(offset, 2u);
  folder_.setLive(true);
  EXPECT_FALSE(message_.storedRange(fd, offset));
}

}  // namespace
}  // namespace lodemig
