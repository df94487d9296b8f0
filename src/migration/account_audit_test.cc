#include "migration/account_audit.h"

#include <gtest/gtest.h>

#include <vector>

namespace lodemig {
namespace {

MessageSummary summary(std::uint64_t size, std::int64_t date, unsigned flags = 0) {
  MessageSummary message;
  message.size = size;
  message.date = date;
  message.flags = flags;
  return message;
}

// Mail others delivered (a size and date no store message has) is left out
// and counted; a second copy of a store message is not, and stays extra; a
// store message without a date takes a target message of its size at any
// date; a flag that differs still fails.
TEST(CompareMessagesTest, MailOfOthersIsLeftOutButCopiesAndDifferencesCount) {
  const std::vector<MessageSummary> store = {summary(10, 100), summary(20, -1)};
  FolderComparison same = compareMessages(store, {summary(20, 555), summary(10, 100)});
  EXPECT_EQ(same.verdict, Verdict::Ok);
  EXPECT_EQ(same.foreign, 0);
  EXPECT_EQ(same.error, "");

  FolderComparison others =
      compareMessages(store, {summary(10, 100), summary(20, 7), summary(10, 101), summary(33, 1)});
  EXPECT_EQ(others.verdict, Verdict::Ok);
  EXPECT_EQ(others.foreign, 2);
  EXPECT_NE(others.error.find("2 messages that look like no store message"), std::string::npos);

  FolderComparison doubled =
      compareMessages(store, {summary(10, 100), summary(20, 7), summary(10, 100)});
  EXPECT_EQ(doubled.verdict, Verdict::Extra);
  EXPECT_EQ(doubled.error, "the target holds 3 messages, 2 in the store");

  EXPECT_EQ(compareMessages(store, {summary(10, 100)}).verdict, Verdict::Missing);
  EXPECT_EQ(compareMessages(store, {summary(10, 100, 1), summary(20, 7), summary(40, 1)}).verdict,
            Verdict::Failed);
}

}  // namespace
}  // namespace lodemig
