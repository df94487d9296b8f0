#include "store/folder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "store/line_scan.h"
#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {

namespace {

using ostrel::utils::DirectoryEntry;
using ostrel::utils::InputFile;

const char kFileChanged[] = "the messages file changed while being read";
const char kHeaderStart[] = "From <";
constexpr std::size_t kHeaderStartLength = sizeof(kHeaderStart) - 1;
// Header lines are short; a longer line is kept only in part, so that a
// binary blob without line ends cannot make the walk hold it in memory.
constexpr std::size_t kMaxHeaderLine = 64 * 1024;
const char kDateFormat[] = "%02d-%s-%d %02d:%02d:%02d +0000";
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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

}  // namespace

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

Folder::Folder(std::ostream* log) : log_(log) {}

Folder::Folder(const Folder& other)
    : accountPath_(other.accountPath_),
      name_(other.name_),
      messageCount_(other.messageCount_),
      fixCrLf_(other.fixCrLf_),
      keyPrefix_(other.keyPrefix_),
      size_(other.size_),
      folderClass_(other.folderClass_),
      log_(other.log_),
      readPosition_(other.readPosition_),
      kind_(other.kind_),
      directoryPath_(other.directoryPath_) {}

Folder& Folder::operator=(const Folder& other) {
  if (this != &other) {
    close();
    accountPath_ = other.accountPath_;
    name_ = other.name_;
    messageCount_ = other.messageCount_;
    fixCrLf_ = other.fixCrLf_;
    keyPrefix_ = other.keyPrefix_;
    size_ = other.size_;
    folderClass_ = other.folderClass_;
    log_ = other.log_;
    readPosition_ = other.readPosition_;
    kind_ = other.kind_;
    directoryPath_ = other.directoryPath_;
  }
  return *this;
}

Folder::~Folder() = default;

void Folder::assign(const std::string& name, const std::string& accountPath, StorageKind kind) {
  name_ = name;
  accountPath_ = accountPath;
  kind_ = kind;
}

FolderType Folder::type() const {
  static const struct {
    const char* folderClass;
    FolderType type;
  } kTypes[] = {{"TextMailbox", kFolderTypeMail},         {"IPF.Note", kFolderTypeMail},
                {"IPF.stickyNote", kFolderTypeNone},      {"IPF.StickyNote", kFolderTypeNone},
                {"IPF.Appointment", kFolderTypeCalendar}, {"IPF.Task", kFolderTypeTasks},
                {"IPF.Journal", kFolderTypeJournal},      {"IPF.Contact", kFolderTypeContacts}};
  for (const auto& entry : kTypes) {
    if (folderClass_ == entry.folderClass) {
      return entry.type;
    }
  }
  return kFolderTypeNone;
}

void Folder::fail(const std::string& text) {
  *log_ << "Error: " << text << "\n";
  log_->flush();
  throw QLStoreException(text);
}

const std::string& Folder::checkedDate(const std::string& date) {
  if (date.empty()) {
    *log_ << "Warning: cannot parse timestamp.\n";
    log_->flush();
  }
  return date;
}

void Folder::open(const std::string& accountName) {
  std::string relative =
      kind_ == MailboxFile && name_ == "INBOX" ? accountName : folderFileName(name_);
  if (kind_ == AccountDirectory) {
    ostrel::utils::DirectoryListing probe;
    if (probe.open(accountPath_ + "/" + folderFileName(name_) + ".mdir")) {
      kind_ = MessageDirectory;
    }
  }
  if (kind_ == AccountDirectory || kind_ == MailboxFile) {
    keyPrefix_ = relative + ".mbox";
    std::string path = accountPath_ + "/" + keyPrefix_;
    if (!file_) {
      file_ = std::make_unique<InputFile>();
    }
    if (!file_->open(path)) {
      close();
      fail("cannot read messages file \"" + path + "\"");
    }
  }
  if (kind_ == MessageDirectory) {
    directoryPath_ = accountPath_;
    keyPrefix_.clear();
    if (name_ != "INBOX" || endsWith(accountPath_, ".macnt")) {
      keyPrefix_ = relative + ".mdir/";
      directoryPath_ += "/" + keyPrefix_;
      directoryPath_.pop_back();
    }
  }
}

bool Folder::firstMessage(Message& message) {
  switch (kind_) {
    case AccountDirectory:
    case MailboxFile:
      readPosition_ = 0;
      return nextMessage(message);
    case MessageDirectory:
      if (!listing_.open(directoryPath_)) {
        return false;
      }
      // Without it the message files are opened by their whole path.
      static_cast<void>(directory_.open(directoryPath_));
      return nextMessage(message);
    default:
      return false;
  }
}

bool Folder::nextMessage(Message& message) {
  switch (kind_) {
    case AccountDirectory:
    case MailboxFile:
      return nextMailboxMessage(message);
    case MessageDirectory:
      return nextDirectoryMessage(message);
    default:
      return false;
  }
}

std::string Folder::keyFile(const std::string& fileName) const {
  return kind_ == MessageDirectory ? keyPrefix_ + fileName : keyPrefix_;
}

void Folder::close() {
  // Dropping the file object also frees its read buffer, which a folder list
  // of many folders should not keep.
  file_.reset();
  listing_.close();
  directory_.close();
}

bool Folder::nextMailboxMessage(Message& message) {
  InputFile* file = this->file();
  bool found = false;
  const bool walking = file != nullptr && readPosition_ != -1;
  if (walking) {
    file->seek(readPosition_);
    while (!found && findHeaderStart(nullptr)) {
      const std::int64_t headerStart = file->tell();
      if (!file->readLine(line_, kMaxHeaderLine)) {
        break;
      }
      if (line_.find(">(") == std::string::npos || !parseHeader(line_, message)) {
        continue;
      }
      std::int64_t start = file->tell();
      std::uint64_t lineEndsToFix = 0;
      std::uint64_t length = measureMessage(lineEndsToFix);
      message.setRange(static_cast<std::uint64_t>(start), length, fixCrLf_);
      message.setLineEndsToFix(lineEndsToFix);
      message.setKey(headerStart, std::string_view());
      logMessageLine(message, start, length);
      found = true;
    }
  }
  // A walk that ran into the end of the file has no position to come back to.
  readPosition_ = file != nullptr && !file->atEnd() && !file->failed() ? file->tell() : -1;
  if (file != nullptr && file->failed()) {
    fail("message cannot be read");
  }
  // A source server that was not stopped may rewrite the file under the walk.
  // The end met anywhere but at the opened size means the message measured up
  // to it is not the one stored: it must not be handed out. That costs
  // nothing per message; the one check of the file's size and time when the
  // walk is over catches what changed behind the bytes already read.
  if (walking && file->atEnd() && file->tell() != file->openedSize()) {
    fail(kFileChanged);
  }
  if (!found && file != nullptr && !file->unchangedSinceOpen()) {
    fail(kFileChanged);
  }
  return found;
}

void Folder::logMessageLine(const Message& message, std::int64_t start, std::uint64_t length) {
  // One write of a text put together by hand costs a fraction of the
  // stream's formatting of ten pieces, once per message.
  std::string& text = scratch_;
  text.assign("    Info: read message, local uid: ");
  text += message.localUid();
  text += " offset: ";
  text += std::to_string(start);
  text += " size: ";
  text += std::to_string(length);
  text += " date: \"";
  text += message.date();
  text += "\" flags: (";
  text += message.flagText();
  text += ")\n";
  log_->write(text.data(), static_cast<std::streamsize>(text.size()));
  log_->flush();
}

bool Folder::findHeaderStart(LineEndCount* count) {
  InputFile& file = *file_;
  bool atLineStart = true;
  std::int64_t cutLineStart = 0;  // a line start cut by the end of the buffered bytes
  std::size_t matched = 0;        // and the bytes of "From <" found there so far
  char lastByte = 0;              // the byte before the buffered ones
  for (;;) {
    std::size_t available = 0;
    const char* begin = file.peek(available);
    if (begin == nullptr) {
      return false;
    }
    const std::int64_t bufferedAt = file.tell();
    const char* end = begin + available;
    const char* p = begin;
    while (p < end) {
      if (atLineStart) {
        std::size_t rest = static_cast<std::size_t>(end - p);
        if (matched == 0 && rest >= kHeaderStartLength) {
          if (*p == kHeaderStart[0] && std::memcmp(p, kHeaderStart, kHeaderStartLength) == 0) {
            file.seek(bufferedAt + (p - begin));
            return true;
          }
        } else {
          if (matched == 0) {
            cutLineStart = bufferedAt + (p - begin);
          }
          std::size_t length = std::min(kHeaderStartLength - matched, rest);
          if (std::memcmp(p, kHeaderStart + matched, length) == 0) {
            matched += length;
            if (matched == kHeaderStartLength) {
              file.seek(cutLineStart);
              return true;
            }
            p += length;
            continue;
          }
          matched = 0;
        }
        atLineStart = false;
      }
      // LFs that neither need fixing nor start a possible header line are
      // passed over in blocks.
      const char* lineFeed = findNotableLineFeed(begin, p, end, kHeaderStart[0]);
      if (lineFeed == end) {
        break;
      }
      if (count != nullptr && (lineFeed > begin ? lineFeed[-1] : lastByte) != '\r') {
        // The rule by which the message's pieces convert (appendLineEnds):
        // an LF is fixed unless it follows a CR or is a piece's first byte.
        std::int64_t at = bufferedAt + (lineFeed - begin);
        if ((at - count->contentStart) % Message::kPieceSize != 0) {
          ++count->count;
          count->lastTwo[0] = count->lastTwo[1];
          count->lastTwo[1] = at;
        }
      }
      p = lineFeed + 1;
      atLineStart = true;
    }
    lastByte = end[-1];
    file.skip(available);
  }
}

bool Folder::parseHeader(const std::string& line, Message& message) {
  std::size_t sender = line.find('>');
  std::size_t open = sender == std::string::npos ? sender : line.find('(', sender + 1);
  std::size_t dash = open == std::string::npos ? open : line.find('-', open + 1);
  std::size_t close = dash == std::string::npos ? dash : line.find(')', dash + 1);
  if (close == std::string::npos) {
    *log_ << "Error: wrong message header format(uid = " << message.localUid() << "): " << line
          << "\n";
    log_->flush();
    return false;
  }
  // Built in scratch texts that keep their capacity from message to message.
  std::string_view view(line);
  flagsInto(view.substr(open + 1, dash - open - 1), scratch_);
  message.setFlags(scratch_);
  // The timestamp follows the ')' and one separator byte.
  headerTimestampInto(line.size() > close + 2 ? view.substr(close + 2) : std::string_view(),
                      scratch_);
  message.setDate(checkedDate(scratch_));
  scratch_.assign(line, dash + 1, close - dash - 1);
  message.setLocalUid(scratch_);
  return true;
}

std::uint64_t Folder::measureMessage(std::uint64_t& lineEndsToFix) {
  InputFile* file = file_.get();
  std::int64_t start = file->tell();
  LineEndCount count;
  count.contentStart = start;
  lineEndsToFix = 0;
  if (findHeaderStart(&count)) {
    std::int64_t lineStart = file->tell();
    // That line is read to its end like every line of the message, so that a
    // read error in it stops the walk here.
    if (file->readLine(line_, 0)) {
      // The two bytes before the next "From <" line (the CR LF of the empty
      // separator line) belong to neither message. A header directly followed
      // by another one gives an empty message, not a negative length.
      std::int64_t end = lineStart - 2;
      file->seek(end);
      end = std::max(end, start);
      // Only those two bytes can hold counted LFs past the end.
      for (std::int64_t at : count.lastTwo) {
        count.count -= at >= end ? 1 : 0;
      }
      lineEndsToFix = count.count;
      return static_cast<std::uint64_t>(end - start);
    }
    return static_cast<std::uint64_t>(file->tell() - start);
  }
  lineEndsToFix = count.count;
  return static_cast<std::uint64_t>(file->tell() - start);
}

bool Folder::nextDirectoryMessage(Message& message) {
  if (!listing_.isOpen()) {
    return false;
  }
  const DirectoryEntry* entry = listing_.read();
  while (entry != nullptr && entry->type != DirectoryEntry::kOther) {
    entry = listing_.read();
  }
  if (entry == nullptr) {
    return false;
  }
  std::string fileName = entry->name;
  if (file_) {
    file_->close();
  }
  *log_ << "    Info: read message, filename: " << fileName << "\n";
  log_->flush();
  if (!file_) {
    file_ = std::make_unique<InputFile>();
  }
  bool opened = directory_.isOpen() ? file_->open(directory_, fileName)
                                    : file_->open(directoryPath_ + "/" + fileName);
  if (!opened) {
    close();
    fail("cannot read messages file \"" + fileName + "\"");
  }
  std::int64_t size = file_->openedSize();
  std::string flags;
  std::string time;
  splitMessageFileName(fileName, flags, time);
  nameTimestampInto(time, scratch_);
  message.setDate(checkedDate(scratch_));
  flagsInto(flags, scratch_);
  message.setFlags(scratch_);
  message.setRange(0, static_cast<std::uint64_t>(size), fixCrLf_);
  message.setKey(-1, fileName);
  return true;
}

}  // namespace lodemig
