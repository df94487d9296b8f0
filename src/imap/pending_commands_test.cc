#include "imap/pending_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <stdexcept>
#include <string>

namespace lodemig {
namespace {

TEST(PendingCommandsTest, RepliesFindTheirCommandByTagInAnyOrder) {
  ImapCommand first("V1", "NOOP"), tenth("V10", "NOOP"), second("V2", "NOOP");
  PendingCommands pending;
  pending.add(first);
  pending.add(tenth);
  pending.add(second);
  const std::pair<const char*, ImapCommand*> replies[] = {
      {"* 3 EXISTS", nullptr}, {"+ go on", nullptr},   {"V100 OK", nullptr},
      {"V OK", nullptr},       {"V10 OK\r\n", &tenth}, {"V10 OK", nullptr},
      {"V2\r\n", &second},     {"V1", &first},         {"V1 OK", nullptr},
  };
  const ImapCommand* oldest[] = {&first, &first, &first,  &first, &first,
                                 &first, &first, nullptr, nullptr};
  for (std::size_t i = 0; i < std::size(replies); ++i) {
    EXPECT_EQ(pending.takeTagged(replies[i].first), replies[i].second) << replies[i].first;
    EXPECT_EQ(pending.oldest(), oldest[i]) << replies[i].first;
  }
  EXPECT_TRUE(pending.empty());
}

TEST(PendingCommandsTest, TakingFromTheMiddleKeepsTheSendingOrder) {
  std::array<ImapCommand, 4> commands;
  PendingCommands pending;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    commands[i].start("V" + std::to_string(i), "NOOP");
    pending.add(commands[i]);
  }
  EXPECT_EQ(pending.takeTagged("V1 OK"), &commands[1]);
  EXPECT_EQ(pending.takeTagged("V0 OK"), &commands[0]);
  EXPECT_EQ(pending.oldest(), &commands[2]);
  EXPECT_FALSE(pending.holds(commands[1]));
  EXPECT_TRUE(pending.holds(commands[3]));
  EXPECT_EQ(pending.takeTagged("V2 OK"), &commands[2]);
  EXPECT_EQ(pending.oldest(), &commands[3]);
  pending.clear();
  EXPECT_FALSE(pending.holds(commands[3]));
  EXPECT_EQ(pending.takeTagged("V3 OK"), nullptr);
}

TEST(PendingCommandsTest, HoldsAtMostItsCapacity) {
  std::array<ImapCommand, PendingCommands::kCapacity + 1> commands;
  PendingCommands pending;
  for (std::size_t i = 0; i < PendingCommands::kCapacity; ++i) {
    commands[i].start("V" + std::to_string(i), "NOOP");
    pending.add(commands[i]);
  }
  EXPECT_TRUE(pending.full());
  EXPECT_THROW(pending.add(commands.back()), std::length_error);
  EXPECT_EQ(pending.takeTagged("V63 OK"), &commands[63]);
  pending.add(commands.back());
  EXPECT_EQ(pending.size(), PendingCommands::kCapacity);
}

TEST(PendingCommandsTest, TagIsTheFirstWord) {
  const std::pair<std::string, std::string> cases[] = {
      {"V1 OK", "V1"}, {"V1\r\n", "V1"}, {"V1\n", "V1"},       {"V1", "V1"},
      {"* OK", "*"},   {"", ""},         {"V1\tOK", "V1\tOK"}, {" V1", ""},
  };
  for (const auto& [response, tag] : cases) {
    EXPECT_EQ(responseTag(response), tag) << response;
  }
}

}  // namespace
}  // namespace lodemig
