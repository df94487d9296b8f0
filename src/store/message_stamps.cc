#include "store/message_stamps.h"

#include <cstdio>
#include <cstring>

namespace lodemig {
namespace {

const char kDateFormat[] = "%02d-%s-%d %02d:%02d:%02d +0000";
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool inRange(int value, unsigned low, unsigned high) {
  // Unsigned, so that negative values fall out too.
  return static_cast<unsigned>(value) >= low && static_cast<unsigned>(value) <= high;
}

std::string formatDate(int day, const char* month, int year, int hour, int minute, int second) {
  char text[128];
  std::snprintf(text, sizeof(text), kDateFormat, day, month, year, hour, minute, second);
  return text;
}

// The quick readers below take the exact forms the store writes, by hand, and
// return false on anything else, which then goes through the sscanf patterns.
// They must never give a result the patterns would not: in doubt, false.
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// What sscanf takes for white space in the C locale.
bool isScanSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads 1 to `maxDigits` digits at text[at], not followed by a further digit.
bool readNumber(std::string_view text, std::size_t& at, std::size_t maxDigits, int& value) {
  std::size_t begin = at;
  value = 0;
  while (at < text.size() && isDigit(text[at])) {
    if (at - begin == maxDigits) {
      return false;
    }
    value = value * 10 + (text[at] - '0');
    ++at;
  }
  return at > begin;
}

bool readByte(std::string_view text, std::size_t& at, char expected) {
  if (at < text.size() && text[at] == expected) {
    ++at;
    return true;
  }
  return false;
}

// 1..12 for a month name at text[at], else 0.
int monthAt(std::string_view text, std::size_t at) {
  if (at + 3 > text.size()) {
    return 0;
  }
  for (int month = 0; month < 12; ++month) {
    if (text.compare(at, 3, std::string_view(kMonthNames[month], 3)) == 0) {
      return month + 1;
    }
  }
  return 0;
}

bool validTime(int day, int hour, int minute, int second) {
  return inRange(second, 0, 59) && inRange(minute, 0, 59) && inRange(hour, 0, 23) &&
         inRange(day, 1, 31);
}

char* putTwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

// kDateFormat by hand, for values validTime() accepted and a year of at most
// nine digits.
void quickFormatDate(int day, int month, int year, int hour, int minute, int second,
                     std::string& date) {
  char text[40];
  char* out = putTwoDigits(text, day);
  *out++ = '-';
  std::memcpy(out, kMonthNames[month - 1], 3);
  out += 3;
  *out++ = '-';
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + year % 10);
    year /= 10;
  } while (year > 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  *out++ = ' ';
  out = putTwoDigits(out, hour);
  *out++ = ':';
  out = putTwoDigits(out, minute);
  *out++ = ':';
  out = putTwoDigits(out, second);
  std::memcpy(out, " +0000", 6);
  out += 6;
  date.assign(text, static_cast<std::size_t>(out - text));
}

// "Wed Jun 30 21:49:08 1993", the day perhaps blank-padded, anything but a
// digit after the year.
bool quickTextDate(std::string_view text, std::string& date) {
  std::size_t at = 0;
  while (at < text.size() && at < 20 && isLetter(text[at])) {
    ++at;
  }
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  if (at == 0 || !readByte(text, at, ' ')) {
    return false;
  }
  int month = monthAt(text, at);
  at += 3;
  if (month == 0 || !readByte(text, at, ' ')) {
    return false;
  }
  while (readByte(text, at, ' ')) {
  }
  if (!readNumber(text, at, 2, day) || !readByte(text, at, ' ') || !readNumber(text, at, 2, hour) ||
      !readByte(text, at, ':') || !readNumber(text, at, 2, minute) || !readByte(text, at, ':') ||
      !readNumber(text, at, 2, second) || !readByte(text, at, ' ') ||
      !readNumber(text, at, 9, year) || !validTime(day, hour, minute, second)) {
    return false;
  }
  quickFormatDate(day, month, year, hour, minute, second, date);
  return true;
}

// "30-6-1993_21:49:08_" and at most white space after it. Anything more could
// make the text pattern, which is tried first, match instead.
bool quickNumericDate(std::string_view text, std::string& date) {
  std::size_t at = 0;
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (!readNumber(text, at, 2, day) || !readByte(text, at, '-') ||
      !readNumber(text, at, 2, month) || !readByte(text, at, '-') ||
      !readNumber(text, at, 9, year) || !readByte(text, at, '_') ||
      !readNumber(text, at, 2, hour) || !readByte(text, at, ':') ||
      !readNumber(text, at, 2, minute) || !readByte(text, at, ':') ||
      !readNumber(text, at, 2, second)) {
    return false;
  }
  readByte(text, at, '_');
  while (at < text.size() && isScanSpace(text[at])) {
    ++at;
  }
  if (at != text.size() || month < 1 || month > 12 || !validTime(day, hour, minute, second)) {
    return false;
  }
  quickFormatDate(day, month, year, hour, minute, second, date);
  return true;
}

// "YYYYMMDDhhmmss" as fourteen digits.
bool quickNameDate(std::string_view text, std::string& date) {
  if (text.size() < 14) {
    return false;
  }
  int field[6];
  static const int kWidths[6] = {4, 2, 2, 2, 2, 2};
  std::size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    field[i] = 0;
    for (int digit = 0; digit < kWidths[i]; ++digit, ++at) {
      if (!isDigit(text[at])) {
        return false;
      }
      field[i] = field[i] * 10 + (text[at] - '0');
    }
  }
  if (field[1] < 1 || field[1] > 12 || !validTime(field[2], field[3], field[4], field[5])) {
    return false;
  }
  quickFormatDate(field[2], field[1], field[0], field[3], field[4], field[5], date);
  return true;
}

}  // namespace

void headerTimestampInto(std::string_view text, std::string& date) {
  if (text.size() > 80) {
    date.clear();
  } else if (!quickTextDate(text, date) && !quickNumericDate(text, date)) {
    date = scanHeaderTimestamp(std::string(text));
  }
}

void nameTimestampInto(std::string_view text, std::string& date) {
  if (!quickNameDate(text, date)) {
    date = scanNameTimestamp(std::string(text));
  }
}

void flagsInto(std::string_view letters, std::string& flags) {
  static const struct {
    char letter;
    const char* flag;
  } kFlags[] = {{'S', "\\Seen "},    {'P', "\\Deleted "}, {'A', "\\Answered "},
                {'F', "\\Flagged "}, {'R', "\\Recent "},  {'D', "\\Draft "}};
  flags.clear();
  for (const auto& entry : kFlags) {
    if (letters.find(entry.letter) != std::string_view::npos) {
      flags += entry.flag;
    }
  }
}

// "PREFIX-FLAGS-TIME-REST": only a name with at least three '-' carries flag
// letters and a time.
void splitMessageFileName(const std::string& name, std::string& flags, std::string& time) {
  flags.clear();
  time.clear();
  std::size_t first = name.find('-');
  std::size_t second = first == std::string::npos ? first : name.find('-', first + 1);
  std::size_t third = second == std::string::npos ? second : name.find('-', second + 1);
  if (third == std::string::npos) {
    return;
  }
  flags = name.substr(first + 1, second - first - 1);
  time = name.substr(second + 1, third - second - 1);
}

std::string folderFileName(const std::string& name) {
  std::string result;
  for (char c : name) {
    if (c == '/') {
      result += ".folder/";
    } else {
      result += c;
    }
  }
  return result;
}

std::string monthName(int month) {
  return month >= 1 && month <= 12 ? kMonthNames[month - 1] : "";
}

std::string convertFlags(const std::string& letters) {
  std::string flags;
  flagsInto(letters, flags);
  return flags;
}

std::string convertHeaderTimestamp(const std::string& text) {
  std::string date;
  headerTimestampInto(text, date);
  return date;
}

std::string scanHeaderTimestamp(const std::string& text) {
  if (text.size() > 80) {
    return "";
  }
  char weekday[100];
  char month[100];
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  if (std::sscanf(text.c_str(), "%99s %99s %d %d:%d:%d %d", weekday, month, &day, &hour, &minute,
                  &second, &year) != 7) {
    int monthNumber = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d_%d:%d:%d_", &day, &monthNumber, &year, &hour, &minute,
                    &second) != 6) {
      return "";
    }
    std::snprintf(month, sizeof(month), "%s", monthName(monthNumber).c_str());
  }
  bool known = false;
  for (int number = 1; number <= 12; ++number) {
    known = known || monthName(number) == month;
  }
  if (!known || !inRange(second, 0, 59) || !inRange(minute, 0, 59) || !inRange(hour, 0, 23) ||
      !inRange(day, 1, 31)) {
    return "";
  }
  return formatDate(day, month, year, hour, minute, second);
}

std::string convertNameTimestamp(const std::string& text) {
  std::string date;
  nameTimestampInto(text, date);
  return date;
}

std::string scanNameTimestamp(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%4d%2d%2d%2d%2d%2d", &year, &month, &day, &hour, &minute,
                  &second) != 6) {
    return "";
  }
  if (!inRange(second, 0, 59) || !inRange(minute, 0, 59) || !inRange(hour, 0, 23) ||
      !inRange(day, 1, 31) || !inRange(month, 1, 12)) {
    return "";
  }
  return formatDate(day, monthName(month).c_str(), year, hour, minute, second);
}

}  // namespace lodemig
