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

  // Decides between mailbox file and message directory and opens the mailbox
  // file. Throws QLStoreException when it cannot be opened.
  void open(const std::string& accountName);
  // Rewinds and fills `message` with the first message; false when none.
  // Throws like nextMessage.
  bool firstMessage(Message& message);
  // Fills `message` with the next message, its identity basis set (see
  // Message::identity()); false at the end. Throws
  // QLStoreException when the store cannot be read, and "the messages file
  // changed while being read" when a mailbox file ends anywhere but at the
  // size it had when opened (before the message cut by that end is handed
  // out), or no longer has that size or modification time when the walk is
  // over. Mailbox-file lines are looked at up to their first 64 KiB when
  // searching for header lines.
  bool nextMessage(Message& message);
  // Closes the open file and listing, if any.
  void close();

  // The file a message named `fileName` lies in, relative to the account path:
  // the mailbox file for every message of a mailbox file, else the message
  // file in its directory. Valid after open().
  std::string keyFile(const std::string& fileName) const;

  // The open file the current message is read from, or nullptr.
  ostrel::utils::InputFile* file() { return file_ && file_->isOpen() ? file_.get() : nullptr; }

 private:
  bool nextMailboxMessage(Message& message);
  bool nextDirectoryMessage(Message& message);
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
