#include "utils/input_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/temp_dir.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

class InputFileTest : public ::testing::Test {
 protected:
  void openWith(const std::string& content) {
    writeFile(dir_ / "file", content);
    ASSERT_TRUE(file_.open(dir_ / "file"));
  }

  std::vector<std::string> allLines(std::size_t maxKeep = InputFile::kKeepAll) {
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; i < 100 && file_.readLine(line, maxKeep); ++i) {
      lines.push_back(line);
    }
    return lines;
  }

  std::string readAt(std::int64_t at, std::size_t size) {
    std::string buffer(size, '\0');
    if (!file_.seek(at)) {
      return "(no seek)";
    }
    std::int64_t count = file_.read(buffer.data(), size);
    return count < 0 ? "(failed)" : buffer.substr(0, static_cast<std::size_t>(count));
  }

  ScopedTempDir dir_;
  InputFile file_;
};

TEST_F(InputFileTest, OpenRefusesWhatIsNoRegularFile) {
  writeFile(dir_ / "sub/x", "x");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  DirectoryHandle directory;
  EXPECT_FALSE(file_.open(directory, "fifo"));  // no directory open
  EXPECT_FALSE(directory.open(dir_ / "sub/x"));
  EXPECT_FALSE(directory.open(dir_ / "fifo"));
  ASSERT_TRUE(directory.open(dir_.path()));
  for (const char* name : {"missing", "sub", "fifo"}) {
    const bool missing = std::string(name) == "missing";
    EXPECT_FALSE(file_.open(dir_ / name)) << name;
    EXPECT_EQ(file_.missingAtOpen(), missing) << name;
    EXPECT_FALSE(file_.open(directory, name)) << name;
    EXPECT_EQ(file_.missingAtOpen(), missing) << name;
  }
  EXPECT_EQ(file_.tell(), -1);
  EXPECT_EQ(file_.openedSize(), -1);
  EXPECT_EQ(file_.openedModified(), -1);
  EXPECT_EQ(readAt(0, 1), "(no seek)");
  std::string line;
  EXPECT_FALSE(file_.readLine(line));
}

TEST_F(InputFileTest, OpensByNameInADirectory) {
  writeFile(dir_ / "sub/msg", "abc\n");
  DirectoryHandle directory;
  ASSERT_TRUE(directory.open(dir_ / "sub"));
  ASSERT_TRUE(file_.open(directory, "msg"));
  EXPECT_EQ(file_.openedSize(), 4);
  EXPECT_FALSE(file_.missingAtOpen());
  struct stat info;
  ASSERT_EQ(::stat((dir_ / "sub/msg").c_str(), &info), 0);
  EXPECT_EQ(file_.openedModified(),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec);
  EXPECT_EQ(allLines(), std::vector<std::string>{"abc"});
  directory.close();
  EXPECT_EQ(readAt(1, 2), "bc");  // the file does not need the directory open
}

TEST_F(InputFileTest, PeekHandsOutBufferedBytesAndReadsOnAcrossTheEdge) {
  const std::size_t size = InputFile::kBufferSize;
  std::string content;
  for (std::size_t i = 0; i < size * 2 + 10; ++i) {
    content += static_cast<char>('a' + i % 23);
  }
  openWith(content);
  std::size_t available = 0;
  const char* bytes = file_.peek(available);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(available, size);
  EXPECT_EQ(std::string(bytes, 5), content.substr(0, 5));
  EXPECT_EQ(file_.tell(), 0);
  // Asking for more than is left before the buffer's edge reads on.
  file_.skip(size - 3);
  bytes = file_.peek(available, 100);
  ASSERT_NE(bytes, nullptr);
  ASSERT_GE(available, 100u);
  EXPECT_EQ(std::string(bytes, 100), content.substr(size - 3, 100));
  EXPECT_EQ(file_.tell(), static_cast<std::int64_t>(size - 3));
  ASSERT_NE(file_.peek(available, size * 3), nullptr);  // capped at the buffer
  EXPECT_EQ(available, size);
  // At the end: fewer bytes than asked for, then none.
  ASSERT_TRUE(file_.seek(static_cast<std::int64_t>(content.size()) - 4));
  bytes = file_.peek(available, 100);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes, available), content.substr(content.size() - 4));
  file_.skip(available);
  EXPECT_EQ(file_.peek(available), nullptr);
  EXPECT_EQ(available, 0u);
  EXPECT_TRUE(file_.atEnd());
  // A read error before the asked-for bytes are in.
  file_.failFrom(50);
  ASSERT_TRUE(file_.seek(40));
  EXPECT_EQ(file_.peek(available, 20), nullptr);
  EXPECT_TRUE(file_.failed());
  ASSERT_TRUE(file_.seek(40));
  bytes = file_.peek(available, 10);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes, available), content.substr(40, 10));
}

TEST_F(InputFileTest, Lines) {
  openWith("one\r\n\ntwo\nlast");
  EXPECT_EQ(allLines(), (std::vector<std::string>{"one\r", "", "two", "last"}));
  EXPECT_TRUE(file_.atEnd());
  EXPECT_EQ(file_.tell(), 14);
  openWith("");
  EXPECT_TRUE(allLines().empty());

  // Lines longer than the buffer; a cut line is still consumed whole.
  std::string longLine(InputFile::kBufferSize * 2 + 17, 'x');
  openWith("a\n" + longLine + "\nb\n");
  EXPECT_EQ(allLines(), (std::vector<std::string>{"a", longLine, "b"}));
  ASSERT_TRUE(file_.seek(0));
  EXPECT_EQ(allLines(3), (std::vector<std::string>{"a", "xxx", "b"}));
}

TEST_F(InputFileTest, ReadsFromAnyPositionInAndOutsideTheBuffer) {
  std::string content;
  for (std::size_t i = 0; i < InputFile::kBufferSize * 3; ++i) {
    content += static_cast<char>('a' + i % 26);
  }
  openWith(content + "\nend");
  std::string line;
  ASSERT_TRUE(file_.readLine(line));  // leaves the buffer holding the end
  const std::pair<std::int64_t, std::size_t> cases[] = {
      {10, 5},     {0, 1},
      {99990, 20}, {5000, InputFile::kBufferSize * 2 + 3},
      {3, 200000}, {static_cast<std::int64_t>(content.size()) - 4, 4}};
  for (const auto& [at, size] : cases) {
    EXPECT_EQ(readAt(at, size), content.substr(at, size)) << at;
    EXPECT_EQ(file_.tell(), at + static_cast<std::int64_t>(size));
  }
  EXPECT_EQ(readAt(static_cast<std::int64_t>(content.size()) + 2, 16), "nd");
  EXPECT_TRUE(file_.atEnd());
  EXPECT_EQ(readAt(1 << 30, 16), "");
  EXPECT_EQ(readAt(-1, 1), "(no seek)");
}

// Another process rewrote the file after it was buffered: a direct read sees
// the new bytes and leaves the position and the buffer alone.
TEST_F(InputFileTest, DirectReadsPassTheBufferBy) {
  openWith("old line\nsecond\n");
  std::string line;
  ASSERT_TRUE(file_.readLine(line));
  writeFile(dir_ / "file", "new line\nsec");
  char bytes[16] = {};
  EXPECT_EQ(file_.readDirect(0, bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "new");
  EXPECT_EQ(file_.readDirect(9, bytes, sizeof bytes), 3);  // short at the end
  EXPECT_EQ(std::string(bytes, 3), "sec");
  EXPECT_EQ(file_.readDirect(100, bytes, 4), 0);
  EXPECT_EQ(file_.readDirect(-1, bytes, 4), -1);
  EXPECT_EQ(file_.tell(), 9);
  ASSERT_TRUE(file_.readLine(line));
  EXPECT_EQ(line, "second");  // still the buffered bytes
  file_.failFrom(2);
  EXPECT_EQ(file_.readDirect(0, bytes, 2), 2);
  EXPECT_EQ(file_.readDirect(0, bytes, 4), -1);  // an error part way fails it all
  file_.close();
  EXPECT_EQ(file_.readDirect(0, bytes, 4), -1);
}

TEST_F(InputFileTest, InjectedFailureStopsReadsUntilTurnedOff) {
  openWith("line one\nline two\n");
  file_.failFrom(12);
  std::string line;
  EXPECT_TRUE(file_.readLine(line));
  EXPECT_FALSE(file_.readLine(line));
  EXPECT_TRUE(line.empty());
  EXPECT_TRUE(file_.failed());
  EXPECT_FALSE(file_.atEnd());
  EXPECT_EQ(readAt(10, 4), "(failed)");
  file_.failFrom(-1);
  EXPECT_EQ(readAt(9, 4), "line");
  EXPECT_FALSE(file_.failed());
}

TEST_F(InputFileTest, PositionsPastFourGigabytesInASparseFile) {
  const std::int64_t at = (std::int64_t{1} << 32) + 5;
  int fd = ::open((dir_ / "sparse").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "marker\n", 7, at), 7);
  ::close(fd);
  ASSERT_TRUE(file_.open(dir_ / "sparse"));
  EXPECT_EQ(file_.size(), at + 7);
  ASSERT_TRUE(file_.seek(at - 1));
  std::string line;
  ASSERT_TRUE(file_.readLine(line));
  EXPECT_EQ(line, std::string(1, '\0') + "marker");
  EXPECT_EQ(file_.tell(), at + 7);
}

}  // namespace
}  // namespace ostrel::utils
