#include "migration/target_names.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

TEST(ReplaceForbiddenCharsTest, ReplacesTheEightCharactersOnly) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Inbox", "Inbox"},
      {"a:b?c", "a_b_c"},
      {"<>:*?\"|\\", "________"},
      {"Archive/2007", "Archive/2007"},
      {"x/y:z", "x/y_z"},
      {"", ""},
      {"\xe9t\xe9 [1] {2}", "\xe9t\xe9 [1] {2}"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    replaceForbiddenChars(text, '_');
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(SplitPathTest, KeepsEmptyPieces) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(splitPath("", "/"), Pieces{});
  EXPECT_EQ(splitPath("INBOX", "/"), Pieces{"INBOX"});
  EXPECT_EQ(splitPath("a/b/c", "/"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(splitPath("a//b", "/"), (Pieces{"a", "", "b"}));
  EXPECT_EQ(splitPath("/a/", "/"), (Pieces{"", "a", ""}));
  EXPECT_EQ(splitPath("/", "/"), (Pieces{"", ""}));
  EXPECT_EQ(splitPath("a.b/c", "./"), (Pieces{"a", "b", "c"}));
}

}  // namespace
}  // namespace lodemig
