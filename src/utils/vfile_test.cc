#include "utils/vfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "tests/fifo_guard.h"
#include "tests/temp_dir.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::FifoGuard;
using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

// A stream whose raw reads fail, and whose raw writes take at most `chunk`
// bytes each and fail once `budget` bytes have gone out.
class FailingStream : public VStream {
 public:
  std::string written;
  std::size_t budget = 0;
  std::size_t chunk = 1000;

 protected:
  ssize_t readRaw(void*, std::size_t) override { return -1; }
  ssize_t writeRaw(const void* buffer, std::size_t size) override {
    std::size_t count = std::min({size, chunk, budget - written.size()});
    written.append(static_cast<const char*>(buffer), count);
    return static_cast<ssize_t>(count);
  }
};

std::string readAll(VFile& file) {
  std::string text;
  for (int c = file.getChar(), i = 0; c >= 0 && i < 100000; c = file.getChar(), ++i) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

TEST(VFileTest, BadNamesAndModesFailWithoutCreatingFiles) {
  ScopedTempDir dir;
  const std::string missing = dir / "missing";
  const std::pair<std::string, const char*> cases[] = {{"", "w"},
                                                       {missing, "x"},
                                                       {missing, "W"},
                                                       {missing, ""},
                                                       {missing, "r"},
                                                       {missing, "rb"},
                                                       {missing + '\0' + "x", "w"},
                                                       {dir.path(), "r"}};
  for (const auto& [name, mode] : cases) {
    VFile file;
    EXPECT_FALSE(file.open(name, mode)) << name << " " << mode;
    EXPECT_TRUE(file.isClosed());
  }
  struct stat info;
  EXPECT_NE(::stat(missing.c_str(), &info), 0);
}

// A FIFO without a writer blocked the open; a link to /dev/zero made the
// reader read forever.
TEST(VFileTest, OnlyRegularFilesOpenAndNothingBlocks) {
  ScopedTempDir dir;
  FifoGuard fifo(dir / "fifo");
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero").c_str()), 0);
  writeFile(dir / "file", "abc");
  ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "link").c_str()), 0);
  const std::pair<std::string, int> refused[] = {
      {fifo.path(), EINVAL}, {dir / "zero", EINVAL}, {"/dev/null", EINVAL}, {dir.path(), EISDIR}};
  for (const char* mode : {"r", "r+"}) {
    for (const auto& [name, error] : refused) {
      VFile file;
      errno = 0;
      EXPECT_FALSE(file.open(name, mode)) << name << " " << mode;
      EXPECT_EQ(errno, error) << name << " " << mode;
      EXPECT_EQ(file.openedSize(), -1);
    }
  }
  EXPECT_FALSE(fifo.released());
  VFile file;
  ASSERT_TRUE(file.open(dir / "link", "r"));
  EXPECT_EQ(file.openedSize(), 3);
  EXPECT_EQ(readAll(file), "abc");
}

// The limit counts bytes read, not the size seen when opening: the file grows
// after the open here.
TEST(VFileTest, ReadsStopAtTheLimit) {
  ScopedTempDir dir;
  const struct {
    std::string grown;
    std::string read;
    bool reached;
  } cases[] = {
      {"", "short", false},
      {"12345", "short12345", false},  // exactly the limit
      {"123456", "short12345", true},
      {std::string(3 * VStream::kBufferSize, 'x'), "shortxxxxx", true},
  };
  for (const auto& c : cases) {
    writeFile(dir / "f", "short");
    VFile file;
    ASSERT_TRUE(file.open(dir / "f", "r"));
    file.limitReads(10);
    writeFile(dir / "f", "short" + c.grown);
    EXPECT_EQ(readAll(file), c.read) << c.grown;
    EXPECT_EQ(file.readLimitReached(), c.reached) << c.grown;
    EXPECT_EQ(file.readFailed(), c.reached) << c.grown;
    EXPECT_EQ(file.getChar(), -1);
    ASSERT_TRUE(file.open(dir / "f", "r"));  // a new open reads without limit
    EXPECT_EQ(readAll(file), "short" + c.grown);
    EXPECT_FALSE(file.readLimitReached());
  }
}

TEST(VFileTest, ModesCreateTruncateAppendAndUpdate) {
  ScopedTempDir dir;
  const std::string path = dir / "f";
  std::string text;
  for (int i = 0; i < 3 * VStream::kBufferSize + 17; ++i) {
    text.push_back(static_cast<char>(i * 7));
  }
  VFile file;
  ASSERT_TRUE(file.open(path, "wb"));
  EXPECT_EQ(file.write(text.data(), 100), 100u);
  EXPECT_EQ(file.write(text.data() + 100, text.size() - 100), text.size() - 100);
  EXPECT_EQ(file.getChar(), -1);  // write-only: the read fails
  EXPECT_TRUE(file.readFailed());
  ASSERT_TRUE(file.open(path, "a"));  // closing flushed the rest
  EXPECT_EQ(file.write("!", 1), 1u);
  ASSERT_TRUE(file.open(path, "r"));
  EXPECT_EQ(readAll(file), text + "!");
  EXPECT_TRUE(file.atEndOfInput());
  EXPECT_EQ(file.write("x", 1), 1u);
  EXPECT_EQ(file.flush(), -1);  // read-only: the write fails
  ASSERT_TRUE(file.open(path, "r+"));
  EXPECT_EQ(file.write("J", 1), 1u);
  EXPECT_EQ(readAll(file), text.substr(1) + "!");  // reading writes out pending bytes first
  ASSERT_TRUE(file.open(path, "w+"));
  file.close();
  EXPECT_EQ(readFile(path), "");
}

TEST(VFileTest, EmptyFileAndPutBackAtEnd) {
  ScopedTempDir dir;
  writeFile(dir / "empty", "");
  VFile file;
  ASSERT_TRUE(file.open(dir / "empty", "r"));
  EXPECT_EQ(file.getChar(), -1);
  EXPECT_TRUE(file.atEndOfInput());
  EXPECT_FALSE(file.readFailed());
  EXPECT_EQ(file.ungetChar(-1), -1);
  EXPECT_EQ(file.peekChar(), -1);
  EXPECT_EQ(file.ungetChar('z'), 'z');
  EXPECT_EQ(file.getChar(), 'z');
  EXPECT_EQ(file.getChar(), -1);
}

TEST(VFileTest, TwoBytesPutBackAcrossRefill) {
  ScopedTempDir dir;
  std::string text(VStream::kBufferSize, 'a');
  text.back() = '\xfe';
  writeFile(dir / "f", text + "\xffz");
  VFile file;
  ASSERT_TRUE(file.open(dir / "f", "r"));
  for (int i = 0; i < VStream::kBufferSize - 1; ++i) {
    ASSERT_EQ(file.getChar(), 'a');
  }
  EXPECT_EQ(file.getChar(), 0xfe);
  EXPECT_EQ(file.peekChar(), 0xff);  // refills, then puts back
  EXPECT_EQ(file.getChar(), 0xff);
  EXPECT_EQ(file.ungetChar(0xff), 0xff);
  EXPECT_EQ(file.ungetChar(0xfe), 0xfe);
  EXPECT_EQ(file.getChar(), 0xfe);
  EXPECT_EQ(file.getChar(), 0xff);
  EXPECT_EQ(file.getChar(), 'z');
  EXPECT_EQ(file.getChar(), -1);
}

TEST(VFileTest, SeekAndTellUse64BitPositions) {
  ScopedTempDir dir;
  VFile file;
  ASSERT_TRUE(file.open(dir / "f", "w+"));
  const std::int64_t far = std::int64_t{5} << 30;
  EXPECT_EQ(file.seek(far, 0), 0);
  EXPECT_EQ(file.tell(), far);
  EXPECT_EQ(file.seek(-far, 1), 0);
  EXPECT_EQ(file.tell(), 0);
  EXPECT_EQ(file.seek(-1, 0), -1);
  EXPECT_EQ(file.seek(0, 3), -1);
  file.close();
  EXPECT_EQ(file.tell(), -1);
}

TEST(VFileTest, FailedReadAndFlushAfterPartialWrite) {
  FailingStream stream;
  EXPECT_EQ(stream.getChar(), -1);
  EXPECT_TRUE(stream.readFailed());
  EXPECT_FALSE(stream.atEndOfInput());
  const std::string text = "0123456789abcdefghij";
  stream.chunk = 3;
  stream.budget = 7;
  EXPECT_EQ(stream.write(text.data(), text.size()), text.size());
  EXPECT_EQ(stream.flush(), -1);
  stream.budget = 100;
  EXPECT_EQ(stream.flush(), 0);
  EXPECT_EQ(stream.written, text);  // each byte once
}

TEST(VFileTest, LocksNestAndExcludeOtherOpens) {
  ScopedTempDir dir;
  writeFile(dir / "f", "x");
  VFile first, second;
  ASSERT_TRUE(first.open(dir / "f", "r+"));
  ASSERT_TRUE(second.open(dir / "f", "r+"));
  EXPECT_FALSE(first.unlock());
  ASSERT_TRUE(first.lockShared());
  ASSERT_TRUE(first.lockShared());
  EXPECT_FALSE(first.lockExclusive());  // shared locks are held
  EXPECT_TRUE(second.tryLockShared());
  EXPECT_FALSE(second.tryLockExclusive());  // still shared, nested
  EXPECT_TRUE(second.unlock());
  EXPECT_TRUE(first.unlock());
  EXPECT_FALSE(second.tryLockExclusive());  // one level is still held
  EXPECT_TRUE(first.unlock());
  ASSERT_TRUE(second.tryLockExclusive());
  EXPECT_TRUE(second.lockShared());  // nests as exclusive
  EXPECT_TRUE(second.unlock());
  EXPECT_FALSE(first.tryLockShared());
  bool otherThread = true;
  std::thread([&] { otherThread = second.tryLockShared(); }).join();
  EXPECT_FALSE(otherThread);
  second.close();  // releases the lock
  EXPECT_TRUE(first.tryLockExclusive());
}

}  // namespace
}  // namespace ostrel::utils
