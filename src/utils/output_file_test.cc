#include "utils/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/temp_dir.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

TEST(OutputFileTest, AppendsToAPrivateFile) {
  ScopedTempDir dir;
  const std::string path = dir / "run.log";
  writeFile(path, "earlier\n");
  OutputFile file;
  ASSERT_TRUE(file.open(path));
  file << "later\n";
  EXPECT_TRUE(file.close());
  EXPECT_EQ(readFile(path), "earlier\nlater\n");

  ASSERT_TRUE(file.open(dir / "new.pass"));
  EXPECT_TRUE(file.close());
  struct stat status {};
  ASSERT_EQ(::stat((dir / "new.pass").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(file.error(), 0);
}

TEST(OutputFileTest, FailedWritesAndOpensKeepTheirReason) {
  OutputFile full;
  ASSERT_TRUE(full.open("/dev/full"));
  full << "lost";
  EXPECT_TRUE(full.good()) << "still buffered";
  full.flush();
  EXPECT_TRUE(full.bad());
  EXPECT_EQ(full.failureText(), "cannot write file /dev/full: No space left on device");

  // Too big for the buffer: written at once, and refused at once.
  ASSERT_TRUE(full.open("/dev/full"));
  EXPECT_EQ(full.error(), 0);
  full << std::string(10000, 'x');
  EXPECT_TRUE(full.bad());

  ScopedTempDir dir;
  OutputFile missing;
  EXPECT_FALSE(missing.open(dir / "no/such/dir/x.log"));
  EXPECT_EQ(missing.failureText(),
            "cannot write file " + (dir / "no/such/dir/x.log") + ": No such file or directory");
}

}  // namespace
}  // namespace ostrel::utils
