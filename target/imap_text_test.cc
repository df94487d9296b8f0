#include "target/imap_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lodemig::target {
namespace {

TEST(ImapTextTest, FolderNamesAreAtomsUnlessACharacterNeedsQuotes) {
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {"INBOX", "INBOX"},
      {"Sent/2024", "Sent/2024"},
      {"Sent Items", "\"Sent Items\""},
      {"", "\"\""},
      {"a\"b", "\"a\\\"b\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"x]", "\"x]\""},
      {"50%", "\"50%\""},
      {"(x)", "\"(x)\""},
      {"tab\there", "\"tab\there\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, mailboxText(c.name)) << c.name;
  }
}

TEST(ImapTextTest, FlagWordsDropRunsOfSpacesAndJoinWithOne) {
  EXPECT_EQ((std::vector<std::string_view>{"\\Seen", "$Label1"}), flagWords("  \\Seen   $Label1 "));
  EXPECT_TRUE(flagWords("   ").empty());
  EXPECT_EQ("\\Seen $Label1", joinWords(flagWords("\\Seen  $Label1")));
  EXPECT_EQ("", joinWords({}));
  EXPECT_EQ("STATUS UIDNEXT 7", upperCopy("status UidNext 7"));
}

TEST(ImapTextTest, ToggledFlaggedAlwaysDiffersFromTheFlagsSent) {
  const struct {
    const char* flags;
    const char* toggled;
  } cases[] = {
      {"", "\\Flagged"},           {"\\Seen", "\\Seen \\Flagged"},
      {"\\Flagged", ""},           {"\\Seen \\flagged \\Draft", "\\Seen \\Draft"},
      {"\\FLAGGED \\Flagged", ""}, {"\\Flaggedx", "\\Flaggedx \\Flagged"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.toggled, toggledFlagged(c.flags)) << c.flags;
  }
}

}  // namespace
}  // namespace lodemig::target
