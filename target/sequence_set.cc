#include "target/sequence_set.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace lodemig::target {

namespace {

constexpr std::uint64_t kStar = std::numeric_limits<std::uint64_t>::max();

// One number or "*" (kStar); 0 when it is neither. Numbers too large to
// hold stop at a bound that no folder reaches.
std::uint64_t parseNumber(std::string_view text) {
  if (text == "*") {
    return kStar;
  }
  if (text.empty()) {
    return 0;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    value = std::min(value * 10 + static_cast<unsigned>(c - '0'), kStar / 100);
  }
  return value;
}

// The number a part names in a folder of `count`, or 0 past its end.
std::uint64_t resolve(std::uint64_t number, std::uint64_t count) {
  if (number == kStar) {
    return count;
  }
  return number <= count ? number : 0;
}

}  // namespace

SequenceOutcome expandSequenceSet(std::string_view text, std::uint64_t count,
                                  std::vector<std::uint64_t>& numbers) {
  numbers.clear();
  std::vector<bool> chosen;
  bool outOfRange = false;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t comma = text.find(',', start);
    comma = comma == std::string_view::npos ? text.size() : comma;
    const std::string_view part = text.substr(start, comma - start);
    const std::size_t colon = part.find(':');
    const std::uint64_t first = parseNumber(part.substr(0, colon));
    const std::uint64_t last =
        colon == std::string_view::npos ? first : parseNumber(part.substr(colon + 1));
    if (first == 0 || last == 0) {
      return SequenceOutcome::kInvalid;
    }
    const std::uint64_t low = resolve(std::min(first, last), count);
    const std::uint64_t high = resolve(std::max(first, last), count);
    if (low == 0 || high == 0) {
      // Checked to the end: a malformed later part still makes it invalid.
      outOfRange = true;
    } else {
      chosen.resize(count + 1);
      std::fill(chosen.begin() + static_cast<std::ptrdiff_t>(low),
                chosen.begin() + static_cast<std::ptrdiff_t>(high) + 1, true);
    }
    start = comma + 1;
  }
  if (outOfRange) {
    return SequenceOutcome::kOutOfRange;
  }
  for (std::uint64_t n = 1; n < chosen.size(); ++n) {
    if (chosen[n]) {
      numbers.push_back(n);
    }
  }
  return SequenceOutcome::kDone;
}

bool selectUidSet(std::string_view text, const std::vector<std::uint64_t>& uids,
                  std::vector<std::size_t>& indices) {
  indices.clear();
  std::vector<bool> chosen(uids.size());
  const std::uint64_t largest = uids.empty() ? 0 : uids.back();
  std::size_t at = 0;
  do {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string_view part = text.substr(at, comma - at);
    const std::size_t colon = part.find(':');
    std::uint64_t low = parseNumber(part.substr(0, colon));
    std::uint64_t high =
        colon == std::string_view::npos ? low : parseNumber(part.substr(colon + 1));
    if (low == 0 || high == 0) {
      return false;
    }
    low = low == kStar ? largest : low;
    high = high == kStar ? largest : high;
    if (low > high) {
      std::swap(low, high);
    }
    for (std::size_t i = 0; i < uids.size(); ++i) {
      chosen[i] = chosen[i] || (uids[i] >= low && uids[i] <= high);
    }
    at = comma + 1;
  } while (at <= text.size());
  for (std::size_t i = 0; i < uids.size(); ++i) {
    if (chosen[i]) {
      indices.push_back(i);
    }
  }
  return true;
}

}  // namespace lodemig::target
