#include "store/folder.h"

#include <algorithm>
#include <cstdio>

#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {

namespace {

using ostrel::utils::DirectoryEntry;
using ostrel::utils::InputFile;

const char kHeaderStart[] = "From <";
constexpr std::size_t kHeaderStartLength = sizeof(kHeaderStart) - 1;
// Header lines are short; a longer line is kept only in part, so that a
// binary blob without line ends cannot make the walk hold it in memory.
constexpr std::size_t kMaxHeaderLine = 64 * 1024;
const char kDateFormat[] = "%02d-%s-%d %02d:%02d:%02d +0000";

bool startsWithHeader(const std::string& line) {
  return line.compare(0, kHeaderStartLength, kHeaderStart) == 0;
}

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
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return month >= 1 && month <= 12 ? kMonths[month - 1] : "";
}

std::string convertFlags(const std::string& letters) {
  static const struct {
    char letter;
    const char* flag;
  } kFlags[] = {{'S', "\\Seen "},    {'P', "\\Deleted "}, {'A', "\\Answered "},
                {'F', "\\Flagged "}, {'R', "\\Recent "},  {'D', "\\Draft "}};
  std::string result;
  for (const auto& entry : kFlags) {
    if (letters.find(entry.letter) != std::string::npos) {
      result += entry.flag;
    }
  }
  return result;
}

std::string convertHeaderTimestamp(const std::string& text) {
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

std::string Folder::checkedDate(std::string date) {
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
    std::string path = accountPath_ + "/" + relative + ".mbox";
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
    if (name_ != "INBOX" || endsWith(accountPath_, ".macnt")) {
      directoryPath_ += "/" + relative + ".mdir";
    }
  }
}

bool Folder::firstMessage(Message& message, bool fixCrLf) {
  switch (kind_) {
    case AccountDirectory:
    case MailboxFile:
      readPosition_ = 0;
      return nextMessage(message, fixCrLf);
    case MessageDirectory:
      if (!listing_.open(directoryPath_)) {
        return false;
      }
      return nextMessage(message, fixCrLf);
    default:
      return false;
  }
}

bool Folder::nextMessage(Message& message, bool fixCrLf) {
  switch (kind_) {
    case AccountDirectory:
    case MailboxFile:
      return nextMailboxMessage(message, fixCrLf);
    case MessageDirectory:
      return nextDirectoryMessage(message, fixCrLf);
    default:
      return false;
  }
}

void Folder::close() {
  // Dropping the file object also frees its read buffer, which a folder list
  // of many folders should not keep.
  file_.reset();
  listing_.close();
}

bool Folder::nextMailboxMessage(Message& message, bool fixCrLf) {
  InputFile* file = this->file();
  bool found = false;
  if (file != nullptr && readPosition_ != -1) {
    file->seek(readPosition_);
    while (!found && file->readLine(line_, kMaxHeaderLine)) {
      if (!startsWithHeader(line_) || line_.find(">(") == std::string::npos ||
          !parseHeader(line_, message)) {
        continue;
      }
      std::int64_t start = file->tell();
      std::uint64_t length = measureMessage();
      message.setRange(static_cast<std::uint64_t>(start), length, fixCrLf);
      *log_ << "    Info: read message, local uid: " << message.localUid() << " offset: " << start
            << " size: " << length << " date: \"" << message.internalDate() << "\""
            << " flags: (" << message.flags() << ")\n";
      log_->flush();
      found = true;
    }
  }
  // A walk that ran into the end of the file has no position to come back to.
  readPosition_ = file != nullptr && !file->atEnd() && !file->failed() ? file->tell() : -1;
  if (file != nullptr && file->failed()) {
    fail("message cannot be read");
  }
  return found;
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
  message.setFlags(convertFlags(line.substr(open + 1, dash - open - 1)));
  // The timestamp follows the ')' and one separator byte.
  std::string timestamp = line.size() > close + 2 ? line.substr(close + 2) : std::string();
  message.setDate(checkedDate(convertHeaderTimestamp(timestamp)));
  message.setLocalUid(line.substr(dash + 1, close - dash - 1));
  return true;
}

std::uint64_t Folder::measureMessage() {
  InputFile* file = file_.get();
  std::int64_t start = file->tell();
  for (;;) {
    std::int64_t lineStart = file->tell();
    if (!file->readLine(line_, kHeaderStartLength)) {
      break;
    }
    if (startsWithHeader(line_)) {
      // The two bytes before the next "From <" line (the CR LF of the empty
      // separator line) belong to neither message. A header directly followed
      // by another one gives an empty message, not a negative length.
      std::int64_t end = lineStart - 2;
      file->seek(end);
      return static_cast<std::uint64_t>(std::max(end, start) - start);
    }
  }
  return static_cast<std::uint64_t>(file->tell() - start);
}

bool Folder::nextDirectoryMessage(Message& message, bool fixCrLf) {
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
  if (!file_->open(directoryPath_ + "/" + fileName)) {
    close();
    fail("cannot read messages file \"" + fileName + "\"");
  }
  std::int64_t size = file_->size();
  if (size < 0) {
    fail("message cannot be read");
  }
  std::string flags;
  std::string time;
  splitMessageFileName(fileName, flags, time);
  message.setDate(checkedDate(convertNameTimestamp(time)));
  message.setFlags(convertFlags(flags));
  message.setRange(0, static_cast<std::uint64_t>(size), fixCrLf);
  return true;
}

}  // namespace lodemig
