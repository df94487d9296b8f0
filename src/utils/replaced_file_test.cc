#include "utils/replaced_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/temp_dir.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

class ReplacedFileTest : public ::testing::Test {
 protected:
  // The names in the directory, so that a temporary file left behind shows.
  std::size_t entries() const {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      ++count;
    }
    return count;
  }

  ScopedTempDir dir_;
  const std::string path_ = dir_ / "lodemig.prom";
};

TEST_F(ReplacedFileTest, ReplacesTheWholeContentWithTheModeGivenWhateverTheUmask) {
  const mode_t before = ::umask(077);
  EXPECT_EQ(replaceFile(path_, "first version, longer than the next\n", 0644), "");
  EXPECT_EQ(replaceFile(path_, "second\n", 0644), "");
  ::umask(before);
  EXPECT_EQ(readFile(path_), "second\n");
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(ReplacedFileTest, ALinkOrAnotherKindOfFileIsRefusedAndLeftAsItWas) {
  const std::string aimed = dir_ / "aimed";
  writeFile(aimed, "theirs");
  ASSERT_EQ(::symlink(aimed.c_str(), path_.c_str()), 0);
  EXPECT_EQ(replaceFile(path_, "ours", 0644), "it is a symbolic link");
  EXPECT_EQ(readFile(aimed), "theirs");
  EXPECT_TRUE(std::filesystem::is_symlink(path_));

  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(replaceFile(fifo, "ours", 0644), "it is not a regular file");
  EXPECT_EQ(replaceFile(dir_.path(), "ours", 0644), "it is not a regular file");
  EXPECT_EQ(entries(), 3u) << "no temporary file is left";
}

TEST_F(ReplacedFileTest, ATemporaryFileLeftByAnEarlierProcessIsReplaced) {
  const std::string temporary = path_ + ".tmp." + std::to_string(::getpid());
  writeFile(temporary, "stale");
  EXPECT_EQ(replaceFile(path_, "fresh", 0644), "");
  EXPECT_EQ(readFile(path_), "fresh");
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

}  // namespace
}  // namespace ostrel::utils
