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

// Picks from a folder's UIDs `uids` (ascending) those a UID set such as
// "5:*" or "2,4:7" names, as indices into `uids`, ascending and each once.
// UIDs the folder does not hold are passed over; "*" is its largest UID, so
// "n:*" names the last message even when n is larger. False when `text` is
// not a UID set.
bool selectUidSet(std::string_view text, const std::vector<std::uint64_t>& uids,
                  std::vector<std::size_t>& indices);

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_SEQUENCE_SET_H_
