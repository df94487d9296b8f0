#ifndef LODEMIG_STORE_FOLDER_H_
#define LODEMIG_STORE_FOLDER_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "store/message_identity.h"
#include "store/message_stamps.h"
#include "store/store_kind.h"
#include "utils/directory.h"
#include "utils/input_file.h"

namespace lodemig {

class Message;

// One folder of an account. Built by Mailbox::readFolders and copied by value
// into the account's folder list (copies never carry an open file or listing).
// Between open() and close() it owns at most one open file (the mailbox file,
// or the current message file of a message directory) and one listing; the
// Message being transferred reads its bytes through that file. `log` must
// outlive the folder; the reader's "Info:", "Warning:" and "Error:" lines go
// there, an "Error:" line before every QLStoreException.
class Folder {
 public:
  explicit Folder(std::ostream* log);
  Folder(const Folder& other);
  Folder& operator=(const Folder& other);
  virtual ~Folder();

  void assign(const std::string& name, const std::string& accountPath, StorageKind kind);
  void setMessageCount(std::int64_t count) { messageCount_ = count; }
  void setSize(const std::string& size) { size_ = size; }
  void setFolderClass(const std::string& folderClass) { folderClass_ = folderClass; }
  // Where the reader's lines go from now on; must outlive the folder.
  void setLog(std::ostream* log) { log_ = log; }

  const std::string& name() const { return name_; }
  const std::string& accountPath() const { return accountPath_; }
  // The message count the info file gives; the folder may hold more or fewer.
  std::int64_t messageCount() const { return messageCount_; }
  const std::string& size() const { return size_; }
  const std::string& folderClass() const { return folderClass_; }
  StorageKind kind() const { return kind_; }
  FolderType type() const;
  // Whether the messages' pieces turn bare LFs into CR LF (the default).
  void setFixCrLf(bool fixCrLf) { fixCrLf_ = fixCrLf; }
  bool fixCrLf() const { return fixCrLf_; }

  // Live mode (off by default, copied with the folder) reads a store whose
  // server is running. No change of the source met by a walk fails the
  // folder; it ends the walk or skips what changed, and is recorded
  // (sourceChanged()). Nothing partial or mixed is handed out:
  // - In a mailbox file, only messages that were whole at the size the file
  //   had when opened: ending at or before that size, and followed by a
  //   header line or by the end of a file that still has that size. The walk
  //   ends (false) at the first other message, and hands out nothing more
  //   once any change of the file is known. A file without its opened size
  //   or modification time when the walk is over is recorded too.
  // - Every message's pieces confirm it when they reach its end (see
  //   Message), and Message::storedRange() is refused.
  // - In a message directory, a message file removed between the listing and
  //   its open is skipped.
  void setLive(bool live) { live_ = live; }
  bool live() const { return live_; }
  // Whether the walk of a message directory opens each message file (the
  // default; copied with the folder). Without, a walk only lists: each
  // message has its flags, date, key and identity basis from its name, a
  // stored size of 0 (unknown), and must not be read (its pieces throw, its
  // key and sizes are wrong). Mailbox files are read either way.
  void setOpenFiles(bool openFiles) { openFiles_ = openFiles; }
  bool openFiles() const { return openFiles_; }

  // Decides between mailbox file and message directory and opens the mailbox
  // file. Throws QLStoreException when it cannot be opened. Clears the
  // change record and the file stamp.
  void open(const std::string& accountName);
  // Rewinds and fills `message` with the first message; false when none.
  // Throws like nextMessage.
  bool firstMessage(Message& message);
  // Fills `message` with the next message, its identity basis set (see
  // Message::identity()); false at the end. Throws
  // QLStoreException when the store cannot be read, and (but in live mode)
  // "the messages file changed while being read" when a mailbox file ends
  // anywhere but at the size it had when opened (before the message cut by
  // that end is handed out), or no longer has that size or modification time
  // when the walk is over. Mailbox-file lines are looked at up to their first
  // 64 KiB when searching for header lines.
  bool nextMessage(Message& message);
  // Closes the open file and listing, if any.
  void close();

  // The file a message named `fileName` lies in, relative to the account path:
  // the mailbox file for every message of a mailbox file, else the message
  // file in its directory. Valid after open().
  std::string keyFile(const std::string& fileName) const;

  // Whether the walks since open() met a change of the source (live mode);
  // changeNote() says what the first one was, for the log: "the messages file
  // grew while being read" (also "shrank", "was rewritten"), or "message file
  // \"NAME\" vanished".
  bool sourceChanged() const { return !changeNote_.empty(); }
  const std::string& changeNote() const { return changeNote_; }
  // The size and modification time (nanoseconds since the epoch) the mailbox
  // file had when open() opened it, kept after close(); false when open()
  // opened none (a message directory).
  bool fileStamp(std::int64_t& size, std::int64_t& mtimeNs) const;

  // For Message, in live mode, when its pieces have reached its end: confirms
  // that the file still holds the message where the walk found it (see
  // Message). Otherwise records the change and throws QLStoreException "the
  // messages file changed while being read", without an "Error:" line (the
  // caller reports the message it could not complete).
  void confirmWhole(const Message& message);
  // For Message, in live mode: records the change and throws as above.
  [[noreturn]] void failChanged(const Message& message);

  // The open file the current message is read from, or nullptr.
  ostrel::utils::InputFile* file() { return file_ && file_->isOpen() ? file_.get() : nullptr; }

 private:
  bool nextMailboxMessage(Message& message);
  // After the step of the mailbox walk that ended it, having found a message
  // or not, or in live mode stopped at one not whole when opened (`cut`):
  // fails or records what the file's state says.
  void checkWalkEnd(bool walking, bool found, bool cut);
  // Live mode: whether the message the walk measured to `end` was whole at
  // the opened size.
  bool wholeWhenOpened(std::int64_t end) const;
  // Records the first change met; the mailbox file's is told by its size.
  void recordChange(const std::string& note);
  void recordFileChange();
  bool nextDirectoryMessage(Message& message);
  // The next listed message file, valid until the next; nullptr at the end.
  const ostrel::utils::DirectoryEntry* nextListedEntry();
  // Opens the message file (when files are opened) after its log line;
  // false when live mode skips it as removed. Throws as nextMessage.
  bool openMessageFile(const std::string& fileName);
  // The LFs of a message's content that its pieces will turn into CR LF,
  // counted while the message is measured; lastTwo are the positions of the
  // last two counted (-1 for none).
  struct LineEndCount {
    std::int64_t contentStart = 0;
    std::uint64_t count = 0;
    std::int64_t lastTwo[2] = {-1, -1};
  };

  // Moves the mailbox file to the start of the next line that begins with
  // "From <", taking the current position for a line start, without copying
  // the lines passed over; counts into `count` unless it is nullptr. False at
  // the end of the file or on a read error, with the file where it stopped.
  bool findHeaderStart(LineEndCount* count);
  // Counts the LF at file position `at` into `count` when the message's
  // pieces will turn it into CR LF: it follows no CR (`before`) and is not a
  // piece's first byte.
  static void countLineFeed(LineEndCount& count, std::int64_t at, char before);
  bool parseHeader(const std::string& line, Message& message);
  // Finds where the message that starts at the file position ends; leaves the
  // file at the next header search position. Returns the length, and the LFs
  // to fix in `lineEndsToFix`.
  std::uint64_t measureMessage(std::uint64_t& lineEndsToFix);
  // The date text, with the warning logged when the store gave none usable.
  const std::string& checkedDate(const std::string& date);
  // "    Info: read message, local uid: ..." for a mailbox-file message.
  void logMessageLine(const Message& message, std::int64_t start, std::uint64_t length);
  // Logs "Error: <text>" and throws it, with `cause` (the system's reason)
  // as the exception's cause.
  [[noreturn]] void fail(const std::string& text, const std::string& cause = std::string());

  std::string accountPath_;
  std::string name_;
  std::int64_t messageCount_ = 0;
  bool fixCrLf_ = true;
  bool live_ = false;
  bool openFiles_ = true;
  std::string changeNote_;       // the first change met, "" for none
  std::int64_t stampSize_ = -1;  // the mailbox file's at open, -1 for none
  std::int64_t stampModified_ = -1;
  // The mailbox file, or the message directory with its "/", relative to the
  // account path (empty for messages in the account path itself).
  std::string keyPrefix_;
  std::string size_ = "0";
  std::string folderClass_ = "IPF.Note";
  std::ostream* log_;
  std::unique_ptr<ostrel::utils::InputFile> file_;
  std::int64_t readPosition_ = 0;
  StorageKind kind_ = NoStorage;
  std::string directoryPath_;
  ostrel::utils::DirectoryListing listing_;
  ostrel::utils::DirectoryHandle directory_;  // the same directory, to open its files in
  std::string line_;                          // reused by the line reads of the mailbox walk
  std::string scratch_;                       // reused for the texts built for every message
  UidRegister uids_;                          // the mailbox walk's uids, for repeats
};

// Closes the folder's reading however the walk of its messages ends.
class FolderReading {
 public:
  explicit FolderReading(Folder& folder) : folder_(folder) {}
  ~FolderReading() { folder_.close(); }
  FolderReading(const FolderReading&) = delete;
  FolderReading& operator=(const FolderReading&) = delete;

 private:
  Folder& folder_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_FOLDER_H_
