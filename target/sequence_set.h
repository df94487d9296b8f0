#ifndef LODEMIG_TARGET_SEQUENCE_SET_H_
#define LODEMIG_TARGET_SEQUENCE_SET_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace lodemig::target {

enum class SequenceOutcome {
  kDone,
  kInvalid,     // not a sequence set: empty parts, 0, other characters
  kOutOfRange,  // a number (or "*" of an empty folder) past the folder's end
};

// Expands a sequence set such as "1:*", "3", "5:2" or "1,3:4" over a folder
// of `count` messages into `numbers`: ascending, each number once, as a
// FETCH answers them whatever order the client named them in.
SequenceOutcome expandSequenceSet(std::string_view text, std::uint64_t count,
                                  std::vector<std::uint64_t>& numbers);

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_SEQUENCE_SET_H_
