#include "migration/account_list.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

class AccountListTest : public ::testing::Test {
 protected:
  // The accounts `text` lists, or its error.
  std::vector<std::string> parsed(const std::string& text) {
    std::string error;
    if (!list_.parse(text, "u.txt", error)) {
      return {"error: " + error};
    }
    return list_.accounts();
  }

  AccountList list_;
};

TEST_F(AccountListTest, CommentsBlanksAndLineEndsAreLeftOut) {
  EXPECT_EQ(parsed("ann@example.com\n"
                   "# the second wave\n"
                   "\n"
                   "  \t\n"
                   "\tbob@example.com  \r\n"
                   "cy@other.org # moved in May\n"
                   "dee@x#y.org"),
            (std::vector<std::string>{"ann@example.com", "bob@example.com", "cy@other.org",
                                      "dee@x#y.org"}));
  EXPECT_EQ(parsed(""), std::vector<std::string>{});
  EXPECT_EQ(parsed("# nobody\n\n"), std::vector<std::string>{});
}

TEST_F(AccountListTest, NamesMatchInAnyCaseAndCountOnce) {
  EXPECT_EQ(parsed("Ann@Example.com\nann@EXAMPLE.COM\n"),
            std::vector<std::string>{"Ann@Example.com"});
  EXPECT_TRUE(list_.contains("ANN@example.com"));
  EXPECT_FALSE(list_.contains("ann@example.co"));
  EXPECT_FALSE(list_.contains("nn@example.com"));
}

TEST_F(AccountListTest, LineThatIsNotUserAtDomainIsNamedByNumber) {
  const std::string prefix = "error: users file u.txt, line 3: \"";
  for (const char* line : {"ann", "@example.com", "ann@", "ann@b@example.com",
                           "ann bob@example.com", "ann@exa\"mple.com", "ann@exam\x01ple.com"}) {
    EXPECT_EQ(parsed(std::string("a@b\n# x\n") + line + "\nc@d\n"),
              std::vector<std::string>{prefix + line + "\" is not user@domain"})
        << line;
  }
}

TEST_F(AccountListTest, FileThatCannotBeReadIsRefused) {
  testing::ScopedTempDir dir;
  std::string error;
  EXPECT_FALSE(list_.read(dir / "missing", error));
  EXPECT_EQ(error, "cannot read users file " + (dir / "missing") + ": No such file or directory");
  EXPECT_FALSE(list_.read(dir.path(), error));
  EXPECT_EQ(error, "cannot read users file " + dir.path() + ": Is a directory");
  std::ofstream(dir / "users") << "ann@example.com\n";
  ASSERT_TRUE(list_.read(dir / "users", error)) << error;
  EXPECT_EQ(list_.accounts(), std::vector<std::string>{"ann@example.com"});
}

}  // namespace
}  // namespace lodemig
