#include "utils/staged_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/temp_dir.h"
#include "utils/directory.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::makeDirectories;
using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

class StagedFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  const std::string base_ = dir_ / "base";
  const std::string path_ = base_ + "/a/b/file";
  const std::string temporary_ = path_ + ".tmp." + std::to_string(::getpid());
};

TEST_F(StagedFileTest, NothingShowsUntilCommitThenTheWholeFile) {
  writeFile(path_, "earlier");
  StagedFile file;
  ASSERT_TRUE(file.open(base_, {"a", "b"}, "file", 0640)) << file.failure();
  EXPECT_EQ(file.path(), path_);
  ASSERT_TRUE(file.write("new "));
  ASSERT_TRUE(file.write("content"));
  EXPECT_EQ(readFile(path_), "earlier");
  EXPECT_TRUE(pathExists(temporary_));
  ASSERT_TRUE(file.commit()) << file.failure();
  EXPECT_EQ(readFile(path_), "new content");
  EXPECT_FALSE(pathExists(temporary_));
}

TEST_F(StagedFileTest, DiscardAndDestructorRemoveTheTemporaryFile) {
  {
    StagedFile file;
    ASSERT_TRUE(file.open(base_, {"a", "b"}, "file", 0600));
    ASSERT_TRUE(file.write("half"));
  }
  EXPECT_FALSE(pathExists(temporary_));
  EXPECT_FALSE(pathExists(path_));
  StagedFile file;
  ASSERT_TRUE(file.open(base_, {"a", "b"}, "file", 0600));
  file.discard();
  EXPECT_FALSE(pathExists(temporary_));
  EXPECT_FALSE(file.write("late"));
  EXPECT_EQ(file.failure(), "it is not open");
}

TEST_F(StagedFileTest, LinkPlantedBeforeCommitIsRefused) {
  const std::string aimed = dir_ / "aimed";
  writeFile(aimed, "theirs");
  StagedFile file;
  ASSERT_TRUE(file.open(base_, {"a", "b"}, "file", 0600));
  ASSERT_TRUE(file.write("ours"));
  ASSERT_EQ(::symlink(aimed.c_str(), path_.c_str()), 0);
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file.failedPath(), path_);
  EXPECT_EQ(file.failure(), "it is a symbolic link");
  EXPECT_EQ(readFile(aimed), "theirs");
  EXPECT_FALSE(pathExists(temporary_));
}

TEST_F(StagedFileTest, MissingParentOfTheBaseIsNamed) {
  StagedFile file;
  EXPECT_FALSE(file.open(dir_ / "no/base", {"a"}, "file", 0600));
  EXPECT_EQ(file.failedPath(), dir_ / "no/base");
  EXPECT_EQ(file.failure(), "No such file or directory");
  makeDirectories(base_ + "/a/file");
  EXPECT_FALSE(file.open(base_, {"a"}, "file", 0600));
  EXPECT_EQ(file.failedPath(), base_ + "/a/file");
  EXPECT_EQ(file.failure(), "it is not a regular file");
}

}  // namespace
}  // namespace ostrel::utils
