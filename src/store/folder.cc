#include "store/folder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "store/line_scan.h"
#include "store/message.h"
#include "store/message_stamps.h"
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

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

Folder::Folder(std::ostream* log) : log_(log) {}

Folder::Folder(const Folder& other)
    : accountPath_(other.accountPath_),
      name_(other.name_),
      messageCount_(other.messageCount_),
      fixCrLf_(other.fixCrLf_),
      live_(other.live_),
      openFiles_(other.openFiles_),
      changeNote_(other.changeNote_),
      stampSize_(other.stampSize_),
      stampModified_(other.stampModified_),
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
    live_ = other.live_;
    openFiles_ = other.openFiles_;
    changeNote_ = other.changeNote_;
    stampSize_ = other.stampSize_;
    stampModified_ = other.stampModified_;
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

void Folder::fail(const std::string& text, const std::string& cause) {
  *log_ << "Error: " << text << "\n";
  log_->flush();
  QLStoreException error(text);
  error.setCause(cause);
  throw error;
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
  changeNote_.clear();
  stampSize_ = -1;
  stampModified_ = -1;
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
      const std::string cause = file_->openFailure();
      close();
      fail("cannot read messages file \"" + path + "\"", cause);
    }
    stampSize_ = file_->openedSize();
    stampModified_ = file_->openedModified();
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
      uids_.clear();
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
  uids_.clear();
  listing_.close();
  directory_.close();
}

bool Folder::nextMailboxMessage(Message& message) {
  // Live: once the file is known to have changed, where the walk stands in
  // it means nothing.
  if (live_ && sourceChanged()) {
    readPosition_ = -1;
    return false;
  }
  InputFile* file = this->file();
  bool found = false;
  bool cut = false;
  const bool walking = file != nullptr && readPosition_ != -1;
  if (walking) {
    file->seek(readPosition_);
    while (!found && findHeaderStart(nullptr)) {
      const std::int64_t headerStart = file->tell();
      // Live: what starts past the opened size was appended since.
      if (live_ && headerStart >= file->openedSize()) {
        cut = true;
        break;
      }
      if (!file->readLine(line_, kMaxHeaderLine)) {
        break;
      }
      if (line_.find(">(") == std::string::npos || !parseHeader(line_, message)) {
        continue;
      }
      if (live_) {
        message.setHeaderLine(line_);
      }
      std::int64_t start = file->tell();
      std::uint64_t lineEndsToFix = 0;
      std::uint64_t length = measureMessage(lineEndsToFix);
      if (live_ && !wholeWhenOpened(start + static_cast<std::int64_t>(length))) {
        cut = true;
        break;
      }
      message.setRange(static_cast<std::uint64_t>(start), length, fixCrLf_);
      message.setLineEndsToFix(lineEndsToFix);
      message.setKey(headerStart, std::string_view());
      message.setIdentityBasis(uids_.firstSighting(message.localUid()) ? IdentityBasis::kLocalUid
                                                                       : IdentityBasis::kContent);
      logMessageLine(message, start, length);
      found = true;
    }
  }
  // A walk that ran into the end of the file, or stopped at a message that
  // was not whole, has no position to come back to; only such a walk has
  // more to check.
  readPosition_ = walking && !cut && !file->atEnd() && !file->failed() ? file->tell() : -1;
  if (readPosition_ == -1 && file != nullptr) {
    checkWalkEnd(walking, found, cut);
  }
  return found;
}

void Folder::checkWalkEnd(bool walking, bool found, bool cut) {
  InputFile* file = file_.get();
  if (file->failed()) {
    fail("message cannot be read");
  }
  if (live_) {
    if (cut || (!found && !file->unchangedSinceOpen())) {
      recordFileChange();
    }
    return;
  }
  // A source server that was not stopped may rewrite the file under the walk.
  // The end met anywhere but at the opened size means the message measured up
  // to it is not the one stored: it must not be handed out. That costs
  // nothing per message; the one check of the file's size and time when the
  // walk is over catches what changed behind the bytes already read.
  if (walking && file->atEnd() && file->tell() != file->openedSize()) {
    fail(kFileChanged);
  }
  if (!found && !file->unchangedSinceOpen()) {
    fail(kFileChanged);
  }
}

bool Folder::wholeWhenOpened(std::int64_t end) const {
  const InputFile& file = *file_;
  // A read error is no change: the step fails with it.
  if (file.failed()) {
    return true;
  }
  // The measure ended at a header line, or at the end of the file, which
  // must then still be where it was.
  return file.atEnd() ? file.tell() == file.openedSize() : end <= file.openedSize();
}

void Folder::recordChange(const std::string& note) {
  if (changeNote_.empty()) {
    changeNote_ = note;
  }
}

void Folder::recordFileChange() {
  const std::int64_t opened = stampSize_;
  const std::int64_t now = file_ && file_->isOpen() ? file_->size() : -1;
  const char* how = now > opened ? "grew" : now >= 0 && now < opened ? "shrank" : "was rewritten";
  recordChange(std::string("the messages file ") + how + " while being read");
}

void Folder::failChanged(const Message& message) {
  if (message.headerOffset() < 0) {
    recordChange("message file \"" + message.fileName() + "\" changed while being read");
  } else {
    recordFileChange();
  }
  throw QLStoreException(kFileChanged);
}

void Folder::confirmWhole(const Message& message) {
  InputFile* file = this->file();
  if (file == nullptr) {
    throw QLStoreException("message cannot be read");
  }
  const std::int64_t end = static_cast<std::int64_t>(message.offset() + message.storedSize());
  const std::int64_t size = file->size();
  if (message.headerOffset() < 0) {
    // A message file is the message: it must still end where it did.
    if (size != end) {
      failChanged(message);
    }
    return;
  }
  // What the file holds now, not what its buffer kept from before. First the
  // header line where the walk read it, with its LF unless the walk kept only
  // a part of it or it ends the file...
  const std::string& header = message.headerLine();
  line_.resize(header.size() + 1);
  const std::int64_t got = file->readDirect(message.headerOffset(), line_.data(), line_.size());
  if (got < 0) {
    throw QLStoreException("message cannot be read");
  }
  const bool lineEnds = header.size() >= kMaxHeaderLine ||
                        static_cast<std::size_t>(got) == header.size() ||
                        line_[header.size()] == '\n';
  if (static_cast<std::size_t>(got) < header.size() || !lineEnds ||
      line_.compare(0, header.size(), header) != 0) {
    failChanged(message);
  }
  // ...then behind the content the end of the file or the next header line,
  // past the two bytes that belong to no message. An empty message's header
  // may follow its own without them.
  if (size == end) {
    return;
  }
  char bytes[kHeaderStartLength];
  const std::int64_t firstTry = message.storedSize() == 0 ? end : end + 2;
  for (std::int64_t at = firstTry; at <= end + 2; ++at) {
    if (file->readDirect(at, bytes, kHeaderStartLength) ==
            static_cast<std::int64_t>(kHeaderStartLength) &&
        std::memcmp(bytes, kHeaderStart, kHeaderStartLength) == 0) {
      return;
    }
  }
  failChanged(message);
}

bool Folder::fileStamp(std::int64_t& size, std::int64_t& mtimeNs) const {
  if (stampSize_ < 0) {
    return false;
  }
  size = stampSize_;
  mtimeNs = stampModified_;
  return true;
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

void Folder::countLineFeed(LineEndCount& count, std::int64_t at, char before) {
  // The rule by which the message's pieces convert (appendLineEnds): an LF
  // is fixed unless it follows a CR or is a piece's first byte.
  if (before != '\r' && (at - count.contentStart) % Message::kPieceSize != 0) {
    ++count.count;
    count.lastTwo[0] = count.lastTwo[1];
    count.lastTwo[1] = at;
  }
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
      if (count != nullptr) {
        countLineFeed(*count, bufferedAt + (lineFeed - begin),
                      lineFeed > begin ? lineFeed[-1] : lastByte);
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
  const DirectoryEntry* entry = nextListedEntry();
  while (entry != nullptr && !openMessageFile(entry->name)) {
    entry = nextListedEntry();
  }
  if (entry == nullptr) {
    return false;
  }
  std::string fileName = entry->name;
  std::int64_t size = openFiles_ ? file_->openedSize() : 0;
  std::string flags;
  std::string time;
  splitMessageFileName(fileName, flags, time);
  nameTimestampInto(time, scratch_);
  message.setDate(checkedDate(scratch_));
  flagsInto(flags, scratch_);
  message.setFlags(scratch_);
  message.setRange(0, static_cast<std::uint64_t>(size), fixCrLf_);
  message.setKey(-1, fileName);
  // Names are unique in a directory, and the part without flags only repeats
  // when a rename for new flags left both names behind: the same message
  // twice, which the same identity twice describes. So no register here, and
  // the listing's order (which renames may change) cannot move an identity.
  message.setIdentityBasis(IdentityBasis::kFileName);
  return true;
}

const ostrel::utils::DirectoryEntry* Folder::nextListedEntry() {
  if (!listing_.isOpen()) {
    return nullptr;
  }
  const DirectoryEntry* entry = listing_.read();
  while (entry != nullptr && entry->type != DirectoryEntry::kOther) {
    entry = listing_.read();
  }
  return entry;
}

bool Folder::openMessageFile(const std::string& fileName) {
  if (file_) {
    file_->close();
  }
  *log_ << "    Info: read message, filename: " << fileName << "\n";
  log_->flush();
  if (!openFiles_) {
    return true;
  }
  if (!file_) {
    file_ = std::make_unique<InputFile>();
  }
  bool opened = directory_.isOpen() ? file_->open(directory_, fileName)
                                    : file_->open(directoryPath_ + "/" + fileName);
  if (!opened) {
    // A running server removes messages (expunged, or renamed for new
    // flags) at any time; one listed a moment ago is simply gone.
    if (live_ && file_->missingAtOpen()) {
      recordChange("message file \"" + fileName + "\" vanished");
      return false;
    }
    const std::string cause = file_->openFailure();
    close();
    fail("cannot read messages file \"" + fileName + "\"", cause);
  }
  return true;
}

}  // namespace lodemig
