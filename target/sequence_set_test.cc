#include "target/sequence_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace lodemig::target {
namespace {

TEST(SequenceSetTest, ExpandsOverTheFolderOrRefuses) {
  using Numbers = std::vector<std::uint64_t>;
  const struct {
    const char* text;
    std::uint64_t count;
    SequenceOutcome outcome;
    Numbers numbers;
  } cases[] = {
      {"1:*", 3, SequenceOutcome::kDone, {1, 2, 3}},
      {"*", 3, SequenceOutcome::kDone, {3}},
      {"*:2", 3, SequenceOutcome::kDone, {2, 3}},
      {"5:2", 6, SequenceOutcome::kDone, {2, 3, 4, 5}},
      {"4,1:2,2", 5, SequenceOutcome::kDone, {1, 2, 4}},
      {"1:*", 0, SequenceOutcome::kOutOfRange, {}},
      {"*", 0, SequenceOutcome::kOutOfRange, {}},
      {"2:4", 3, SequenceOutcome::kOutOfRange, {}},
      {"99999999999999999999999", 3, SequenceOutcome::kOutOfRange, {}},
      {"4,x", 3, SequenceOutcome::kInvalid, {}},
      {"0", 3, SequenceOutcome::kInvalid, {}},
      {"", 3, SequenceOutcome::kInvalid, {}},
      {"1,", 3, SequenceOutcome::kInvalid, {}},
      {"1:", 3, SequenceOutcome::kInvalid, {}},
      {"1:2:3", 3, SequenceOutcome::kInvalid, {}},
      {"-1", 3, SequenceOutcome::kInvalid, {}},
  };
  for (const auto& c : cases) {
    Numbers numbers = {7};
    EXPECT_EQ(c.outcome, expandSequenceSet(c.text, c.count, numbers)) << c.text;
    EXPECT_EQ(c.numbers, numbers) << c.text;
  }
}

}  // namespace
}  // namespace lodemig::target
