#include "migration/delta_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace lodemig {
namespace {

JournalMessage stored(std::int64_t id, const std::string& identity, const std::string& flags,
                      std::int64_t uid) {
  JournalMessage record;
  record.id = id;
  record.identity = identity;
  record.flags = flags;
  record.targetUid = uid;
  return record;
}

// Messages pair with records by identity, the k-th with the k-th: a message
// the store holds twice was sent twice, and one copy gone leaves the later
// record unpaired. A refused record pairs with nothing, so its message is
// sent again; a flag text that only differs in order or in \Recent is no
// change.
TEST(DeltaPlanTest, PairsMessagesWithRecordsByIdentity) {
  std::vector<JournalMessage> records = {
      stored(1, "u:1:10", "\\Seen ", 11),          stored(2, "u:2:10", "", 12),
      stored(3, "f:a--2007-h", "\\Seen ", 13),     stored(4, "f:a--2007-h", "\\Seen ", 14),
      stored(5, "u:5:10", "\\Seen \\Recent ", 15), stored(6, "u:6:10", "", 16),
  };
  JournalMessage refused = stored(7, "u:7:10", "", -1);
  refused.stored = false;
  records.push_back(refused);
  const std::vector<SurveyedMessage> store = {
      {"u:1:10", "\\Seen \\Answered "},  // flags changed
      {"u:2:10", ""},                    // unchanged
      {"f:a--2007-h", "\\Seen "},        // one of two copies left
      {"u:5:10", "\\Seen "},             // \Recent alone is no change
      {"u:6:10", ""},
      {"u:6:10", ""},  // a second copy: new
      {"u:7:10", ""},  // refused before: new
      {"u:8:10", ""},  // new
  };
  const DeltaPlan plan(records, store);
  EXPECT_EQ(plan.newMessages(), 3);
  ASSERT_EQ(plan.changed().size(), 1u);
  EXPECT_EQ(plan.changed()[0].record.id, 1);
  EXPECT_EQ(plan.changed()[0].flags, "\\Seen \\Answered ");
  ASSERT_EQ(plan.gone().size(), 1u);
  EXPECT_EQ(plan.gone()[0].id, 4);  // the later copy's record
  EXPECT_FALSE(plan.nothingToDo());

  EXPECT_TRUE(DeltaPlan(records, {{"u:1:10", "\\Seen "},
                                  {"u:2:10", ""},
                                  {"f:a--2007-h", "\\Seen "},
                                  {"f:a--2007-h", "\\Seen "},
                                  {"u:5:10", "\\Recent \\Seen "},
                                  {"u:6:10", ""}})
                  .nothingToDo());
}

// A message that could not be read might be any record's: nothing is gone.
TEST(DeltaPlanTest, AnUnreadableMessageLeavesNothingGone) {
  const std::vector<JournalMessage> records = {stored(1, "a", "", 1), stored(2, "b", "", 2)};
  const DeltaPlan plan(records, {{"a", ""}, {"", ""}});
  EXPECT_TRUE(plan.gone().empty());
  EXPECT_EQ(plan.newMessages(), 1);
  EXPECT_EQ(DeltaPlan(records, {{"a", ""}}).gone().size(), 1u);
}

// Flag changes become one command per flag word and direction, with the
// UIDs in order; records without a target UID are counted, not commanded.
TEST(DeltaPlanTest, FlagChangesBecomeOneCommandPerFlag) {
  const std::vector<JournalMessage> records = {
      stored(1, "a", "\\Seen ", 30),
      stored(2, "b", "\\Seen \\Flagged ", 20),
      stored(3, "c", "", 10),
      stored(4, "d", "", -1),
  };
  const DeltaPlan plan(records, {{"a", "\\Seen \\Flagged "},
                                 {"b", "\\Answered "},
                                 {"c", "\\Flagged \\Recent "},
                                 {"d", "\\Seen "}});
  std::int64_t withoutUid = 0;
  const std::vector<FlagChange> commands = plan.flagCommands(withoutUid);
  EXPECT_EQ(withoutUid, 1);
  ASSERT_EQ(commands.size(), 4u);
  // Removals sort before additions, then by flag word.
  EXPECT_FALSE(commands[0].add);
  EXPECT_EQ(commands[0].flag, "\\Flagged");
  EXPECT_EQ(commands[0].uids, (std::vector<std::uint64_t>{20}));
  EXPECT_FALSE(commands[1].add);
  EXPECT_EQ(commands[1].flag, "\\Seen");
  EXPECT_EQ(commands[1].uids, (std::vector<std::uint64_t>{20}));
  EXPECT_TRUE(commands[2].add);
  EXPECT_EQ(commands[2].flag, "\\Answered");
  EXPECT_EQ(commands[2].uids, (std::vector<std::uint64_t>{20}));
  EXPECT_TRUE(commands[3].add);
  EXPECT_EQ(commands[3].flag, "\\Flagged");
  EXPECT_EQ(commands[3].uids, (std::vector<std::uint64_t>{10, 30}));
}

TEST(DeltaPlanTest, FlagWordsDropRecentAndRepeats) {
  EXPECT_EQ(flagWords("\\Seen \\Recent \\Seen \\Draft "),
            (std::vector<std::string>{"\\Seen", "\\Draft"}));
  EXPECT_TRUE(flagWords("").empty());
  EXPECT_TRUE(flagWords("  ").empty());
}

}  // namespace
}  // namespace lodemig
