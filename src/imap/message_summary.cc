#include "imap/message_summary.h"

#include <charconv>
#include <tuple>

#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool readNumber(std::string_view text, std::int64_t& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void skipBlanks(std::string_view text, std::size_t& at) {
  while (at < text.size() && text[at] == ' ') {
    ++at;
  }
}

// The next atom (up to a blank or a parenthesis) from `at`.
std::string_view atomAt(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && text[at] != ' ' && text[at] != '(' && text[at] != ')') {
    ++at;
  }
  return text.substr(start, at - start);
}

}  // namespace

bool MessageSummary::operator<(const MessageSummary& other) const {
  return std::tie(size, date, flags) < std::tie(other.size, other.date, other.flags);
}

unsigned systemFlagBits(std::string_view text) {
  static constexpr std::pair<const char*, unsigned> kNames[] = {{"\\Seen", kFlagSeen},
                                                                {"\\Answered", kFlagAnswered},
                                                                {"\\Flagged", kFlagFlagged},
                                                                {"\\Deleted", kFlagDeleted},
                                                                {"\\Draft", kFlagDraft}};
  unsigned bits = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    skipBlanks(text, at);
    const std::string_view flag = atomAt(text, at);
    if (flag.empty()) {
      ++at;  // a parenthesis
      continue;
    }
    for (const auto& [name, bit] : kNames) {
      if (equalsIgnoreCase(flag, name)) {
        bits |= bit;
      }
    }
  }
  return bits;
}

bool parseImapDateTime(std::string_view text, std::int64_t& seconds) {
  // d-Mon-yyyy hh:mm:ss +zzzz, the day of one or two digits, maybe after a
  // blank.
  if (!text.empty() && text.front() == ' ') {
    text.remove_prefix(1);
  }
  const std::size_t dash = text.find('-');
  std::int64_t day = 0;
  if (dash == std::string_view::npos || dash == 0 || dash > 2 ||
      !readNumber(text.substr(0, dash), day)) {
    return false;
  }
  // Mon-yyyy hh:mm:ss +zzzz
  const std::string_view rest = text.substr(dash + 1);
  if (rest.size() != 23 || rest[3] != '-' || rest[8] != ' ' || rest[11] != ':' || rest[14] != ':' ||
      rest[17] != ' ' || (rest[18] != '+' && rest[18] != '-')) {
    return false;
  }
  unsigned month = 0;
  for (unsigned m = 0; m < 12; ++m) {
    if (equalsIgnoreCase(rest.substr(0, 3), kMonths[m])) {
      month = m + 1;
    }
  }
  std::int64_t year = 0, hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
  if (month == 0 || !readNumber(rest.substr(4, 4), year) || !readNumber(rest.substr(9, 2), hour) ||
      !readNumber(rest.substr(12, 2), minute) || !readNumber(rest.substr(15, 2), second) ||
      !readNumber(rest.substr(19, 2), zoneHours) || !readNumber(rest.substr(21, 2), zoneMinutes) ||
      day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || zoneMinutes > 59) {
    return false;
  }
  const std::int64_t zone = (zoneHours * 60 + zoneMinutes) * 60 * (rest[18] == '-' ? -1 : 1);
  seconds = daysFromCivil(year, month, static_cast<unsigned>(day)) * 86400 + hour * 3600 +
            minute * 60 + second - zone;
  return true;
}

bool parseFetchSummary(std::string_view response, std::int64_t& sequence, MessageSummary& summary) {
  // * n FETCH (ITEM value ITEM value ...)
  if (response.substr(0, 2) != "* ") {
    return false;
  }
  std::size_t at = 2;
  if (!readNumber(atomAt(response, at), sequence)) {
    return false;
  }
  skipBlanks(response, at);
  if (!equalsIgnoreCase(atomAt(response, at), "FETCH")) {
    return false;
  }
  skipBlanks(response, at);
  if (at >= response.size() || response[at] != '(') {
    return false;
  }
  ++at;
  bool haveSize = false, haveDate = false, haveFlags = false;
  summary = MessageSummary();
  while (at < response.size() && response[at] != ')') {
    skipBlanks(response, at);
    const std::string_view item = atomAt(response, at);
    skipBlanks(response, at);
    if (equalsIgnoreCase(item, "RFC822.SIZE")) {
      std::int64_t size = 0;
      if (!readNumber(atomAt(response, at), size) || size < 0) {
        return false;
      }
      summary.size = static_cast<std::uint64_t>(size);
      haveSize = true;
    } else if (equalsIgnoreCase(item, "INTERNALDATE")) {
      const std::size_t close = at < response.size() && response[at] == '"'
                                    ? response.find('"', at + 1)
                                    : std::string_view::npos;
      if (close == std::string_view::npos ||
          !parseImapDateTime(response.substr(at + 1, close - at - 1), summary.date)) {
        return false;
      }
      at = close + 1;
      haveDate = true;
    } else if (equalsIgnoreCase(item, "FLAGS")) {
      const std::size_t close = at < response.size() && response[at] == '('
                                    ? response.find(')', at)
                                    : std::string_view::npos;
      if (close == std::string_view::npos) {
        return false;
      }
      summary.flags = systemFlagBits(response.substr(at + 1, close - at - 1));
      at = close + 1;
      haveFlags = true;
    } else if (equalsIgnoreCase(item, "UID")) {
      atomAt(response, at);  // a server may add it unasked
    } else {
      return false;
    }
    skipBlanks(response, at);
  }
  return at < response.size() && haveSize && haveDate && haveFlags;
}

std::int64_t announcedAppendLimit(const std::vector<std::string>& untagged) {
  for (const std::string& response : untagged) {
    std::size_t at = 2;
    if (response.compare(0, 2, "* ") != 0 ||
        !equalsIgnoreCase(atomAt(response, at), "CAPABILITY")) {
      continue;
    }
    while (at < response.size()) {
      skipBlanks(response, at);
      const std::string_view word = atomAt(response, at);
      if (word.empty()) {
        ++at;
        continue;
      }
      std::int64_t limit = 0;
      if (word.size() > 12 && equalsIgnoreCase(word.substr(0, 12), "APPENDLIMIT=") &&
          readNumber(word.substr(12), limit)) {
        return limit;
      }
    }
  }
  return -1;
}

}  // namespace lodemig
