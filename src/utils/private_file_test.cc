#include "utils/private_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/temp_dir.h"
#include "utils/output_file.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Opens `path` as a private file; its refusal, or "" once it opened.
std::string refusalOf(const std::string& path) {
  PrivateFile file = openPrivateFile(path);
  if (file.fd >= 0) {
    ::close(file.fd);
  }
  return file.reason;
}

TEST(PrivateFileTest, NewAndOwnFilesAreMadePrivate) {
  ScopedTempDir dir;
  EXPECT_EQ(refusalOf(dir / "new.pass"), "");
  EXPECT_EQ(modeOf(dir / "new.pass"), 0600u);
  // Planted with the wrong mode, but ours: narrowed before a secret goes in.
  for (mode_t planted : {0666u, 0644u, 0620u}) {
    writeFile(dir / "run.log", "earlier\n");
    ASSERT_EQ(::chmod((dir / "run.log").c_str(), planted), 0);
    EXPECT_EQ(refusalOf(dir / "run.log"), "") << planted;
    EXPECT_EQ(modeOf(dir / "run.log"), 0600u) << planted;
  }
  EXPECT_EQ(readFile(dir / "run.log"), "earlier\n");
  EXPECT_EQ(refusalOf("/dev/null"), "");
}

TEST(PrivateFileTest, LinksAndOtherKindsOfFileAreRefused) {
  ScopedTempDir dir;
  writeFile(dir / "elsewhere", "kept\n");
  ASSERT_EQ(::chmod((dir / "elsewhere").c_str(), 0644), 0);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "run.pass").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "missing").c_str(), (dir / "dangling.pass").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);
  EXPECT_EQ(refusalOf(dir / "run.pass"), "it is a symbolic link");
  EXPECT_EQ(refusalOf(dir / "dangling.pass"), "it is a symbolic link");
  EXPECT_EQ(refusalOf(dir / "fifo.log"), "it is not a regular file");
  EXPECT_EQ(refusalOf(dir.path()), "Is a directory");
  EXPECT_EQ(modeOf(dir / "elsewhere"), 0644u);
  EXPECT_FALSE(::access((dir / "missing").c_str(), F_OK) == 0);

  // A journal's torn end is not cut through a link either.
  EXPECT_FALSE(truncateFile(dir / "run.pass", 0));
  EXPECT_EQ(readFile(dir / "elsewhere"), "kept\n");

  OutputFile file;
  EXPECT_FALSE(file.open(dir / "run.pass"));
  EXPECT_EQ(file.failureText(),
            "cannot write file " + (dir / "run.pass") + ": it is a symbolic link");
}

TEST(PrivateFileTest, FileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can plant a file of another user";
  }
  ScopedTempDir dir;
  writeFile(dir / "run.log", "theirs\n");
  ASSERT_EQ(::chown((dir / "run.log").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((dir / "run.log").c_str(), 0666), 0);
  EXPECT_EQ(refusalOf(dir / "run.log"), "it belongs to another user");
  EXPECT_EQ(modeOf(dir / "run.log"), 0666u);
  EXPECT_EQ(readFile(dir / "run.log"), "theirs\n");
}

}  // namespace
}  // namespace ostrel::utils
