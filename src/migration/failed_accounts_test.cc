#include "migration/failed_accounts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

class FailedAccountsTest : public ::testing::Test {
 protected:
  static AccountEndEvent ended(const std::string& account, const std::string& outcome) {
    AccountEndEvent event;
    event.account = account;
    event.outcome = outcome;
    return event;
  }
  std::string content() const {
    std::ifstream file(path_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  testing::ScopedTempDir dir_;
  const std::string path_ = dir_ / "failed.txt";
  FailedAccounts failed_;
};

TEST_F(FailedAccountsTest, FailedAccountsAreOnDiskAsTheyFailThenTheUnreached) {
  std::ofstream(path_) << "old@example.com\n";  // an earlier run's
  ASSERT_TRUE(failed_.open(path_)) << failed_.failureReason();
  failed_.accountEnded(ended("bob@example.com", "failed"));
  failed_.accountEnded(ended("ann@example.com", "migrated"));
  failed_.accountEnded(ended("cy@example.com", "skipped"));
  // Written and flushed before the run ends.
  EXPECT_EQ(content(), "bob@example.com\n");
  failed_.accountEnded(ended("dee@example.com", "failed"));
  failed_.addUnreached({"ann@example.com", "Bob@example.com", "cy@example.com", "eve@example.com",
                        "dee@example.com", "fay@example.com"});
  EXPECT_TRUE(failed_.close());
  EXPECT_EQ(content(), "bob@example.com\ndee@example.com\neve@example.com\nfay@example.com\n");
  struct stat status {};
  ASSERT_EQ(::stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(FailedAccountsTest, SymbolicLinkIsRefused) {
  std::ofstream(dir_ / "elsewhere") << "kept\n";
  ASSERT_EQ(::symlink((dir_ / "elsewhere").c_str(), path_.c_str()), 0);
  EXPECT_FALSE(failed_.open(path_));
  EXPECT_EQ(failed_.failureReason(), "it is a symbolic link");
  std::ifstream kept(dir_ / "elsewhere");
  std::string line;
  std::getline(kept, line);
  EXPECT_EQ(line, "kept");
}

}  // namespace
}  // namespace lodemig
