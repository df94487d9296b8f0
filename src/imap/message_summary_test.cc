#include "imap/message_summary.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

TEST(MessageSummaryTest, DateTimesAreInstantsWhateverTheirZoneOrPadding) {
  std::int64_t utc = 0;
  ASSERT_TRUE(parseImapDateTime("30-Jun-1993 21:49:08 +0000", utc));
  EXPECT_EQ(utc, 741476948);
  struct Case {
    const char* text;
    std::int64_t offset;  // from `utc`
  };
  const Case same[] = {{"30-Jun-1993 23:49:08 +0200", 0},
                       {"30-jun-1993 14:49:08 -0700", 0},
                       {"01-Jul-1993 00:49:08 +0300", 0},
                       {" 1-Jan-1970 00:00:00 +0000", -741476948},
                       {"1-Jan-1970 00:00:00 +0000", -741476948},
                       {"29-Feb-2000 00:00:00 +0000", 951782400 - 741476948}};
  for (const Case& c : same) {
    std::int64_t seconds = 0;
    ASSERT_TRUE(parseImapDateTime(c.text, seconds)) << c.text;
    EXPECT_EQ(seconds, utc + c.offset) << c.text;
  }
  for (const char* bad : {"", "30-Jun-1993", "30-Foo-1993 21:49:08 +0000",
                          "30-Jun-1993 21:49:08 0000", "300-Jun-1993 21:49:08 +0000",
                          "30-Jun-1993 24:00:00 +0000", "30-Jun-1993 21:49:08 +0000x"}) {
    std::int64_t seconds = 0;
    EXPECT_FALSE(parseImapDateTime(bad, seconds)) << bad;
  }
}

TEST(MessageSummaryTest, FetchResponsesInAnyOrderAndSpelling) {
  std::int64_t sequence = 0;
  MessageSummary summary;
  ASSERT_TRUE(
      parseFetchSummary("* 12 FETCH (RFC822.SIZE 4077 INTERNALDATE \"30-Jun-1993 21:49:08 +0000\" "
                        "FLAGS (\\Seen \\Recent \\flagged $Junk))",
                        sequence, summary));
  EXPECT_EQ(sequence, 12);
  EXPECT_EQ(summary.size, 4077u);
  EXPECT_EQ(summary.date, 741476948);
  EXPECT_EQ(summary.flags, unsigned{kFlagSeen | kFlagFlagged});

  MessageSummary other;
  ASSERT_TRUE(parseFetchSummary(
      "* 3 fetch (UID 9 FLAGS (\\Flagged \\Seen) INTERNALDATE \"30-Jun-1993 23:49:08 +0200\" "
      "RFC822.SIZE 4077)",
      sequence, other));
  EXPECT_EQ(other, summary);
  ASSERT_TRUE(parseFetchSummary(
      "* 1 FETCH (FLAGS () RFC822.SIZE 0 INTERNALDATE \" 1-Jan-1970 00:00:00 +0000\")", sequence,
      other));
  EXPECT_EQ(other.flags, 0u);

  for (const char* bad : {"* 1 EXISTS", "* 1 FETCH (RFC822.SIZE 5 FLAGS ())",
                          "* 1 FETCH (RFC822.SIZE x INTERNALDATE \"1-Jan-1970 00:00:00 +0000\" "
                          "FLAGS ())",
                          "* 1 FETCH (RFC822.SIZE 5 INTERNALDATE \"1-Jan-1970 00:00:00 +0000\" "
                          "FLAGS (\\Seen)",
                          "* 1 FETCH (BODY[] {5} RFC822.SIZE 5)", "1 OK done"}) {
    EXPECT_FALSE(parseFetchSummary(bad, sequence, other)) << bad;
  }
}

TEST(MessageSummaryTest, FlagTextsAndAppendLimit) {
  EXPECT_EQ(systemFlagBits("\\Seen \\Answered "), unsigned{kFlagSeen | kFlagAnswered});
  EXPECT_EQ(systemFlagBits("\\DELETED \\Draft \\Recent"), unsigned{kFlagDeleted | kFlagDraft});
  EXPECT_EQ(systemFlagBits(""), 0u);
  EXPECT_EQ(announcedAppendLimit({"* OK hello", "* CAPABILITY IMAP4rev1 APPENDLIMIT=1048576"}),
            1048576);
  EXPECT_EQ(announcedAppendLimit({"* CAPABILITY IMAP4rev1 APPENDLIMIT"}), -1);
  EXPECT_EQ(announcedAppendLimit({"* CAPABILITY IMAP4rev1 IDLE"}), -1);
  EXPECT_EQ(announcedAppendLimit({}), -1);
}

}  // namespace
}  // namespace lodemig
