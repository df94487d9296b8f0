#ifndef LODEMIG_STORE_FOLDER_H_
#define LODEMIG_STORE_FOLDER_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "store/store_kind.h"
#include "utils/directory.h"
#include "utils/input_file.h"

namespace lodemig {

class Message;

// "Archive/2007" -> "Archive.folder/2007": where a folder's file lies relative
// to the account path.
std::string folderFileName(const std::string& name);
// "Jan".."Dec" for 1..12, else empty.
std::string monthName(int month);
// Flag letters to the IMAP flag list text ("SA" -> "\Seen \Answered ").
std::string convertFlags(const std::string& letters);

// One folder of an account. Built by Mailbox::readFolders and copied by value
// into the account's folder list (copies never carry an open file or listing).
// Between open() and close() it owns at most one open file (the mailbox file,
// or the current message file of a message directory) and one listing; the
// Message being transferred reads its bytes through that file. `log` must
// outlive the folder.
class Folder {
 public:
  explicit Folder(std::ostream* log);
  Folder(const Folder& other);
  Folder& operator=(const Folder& other);
  virtual ~Folder();

  void assign(const std::string& name, const std::string& accountPath, StorageKind kind);
  void setMessageCount(const std::string& count) { messageCount_ = count; }
  void setSize(const std::string& size) { size_ = size; }
  void setFolderClass(const std::string& folderClass) { folderClass_ = folderClass; }

  const std::string& name() const { return name_; }
  const std::string& accountPath() const { return accountPath_; }
  const std::string& messageCount() const { return messageCount_; }
  const std::string& size() const { return size_; }
  const std::string& folderClass() const { return folderClass_; }
  StorageKind kind() const { return kind_; }
  FolderType type() const;

  // Decides between mailbox file and message directory and opens the mailbox
  // file. Throws QLStoreException when it cannot be opened.
  void open(const std::string& accountName);
  // Rewinds and fills `message` with the first message; false when none.
  bool firstMessage(Message& message, bool fixCrLf);
  // Fills `message` with the next message; false at the end. Throws
  // QLStoreException when the store cannot be read.
  bool nextMessage(Message& message, bool fixCrLf);
  // Closes the open file and listing, if any.
  void close();

  // The open file the current message is read from, or nullptr.
  ostrel::utils::InputFile* file() { return file_.get(); }

 private:
  bool nextMailboxMessage(Message& message, bool fixCrLf);
  bool nextDirectoryMessage(Message& message, bool fixCrLf);

  std::string accountPath_;
  std::string name_;
  std::string messageCount_ = "0";
  std::string size_ = "0";
  std::string folderClass_ = "IPF.Note";
  std::ostream* log_;
  std::unique_ptr<ostrel::utils::InputFile> file_;
  std::int64_t readPosition_ = 0;
  StorageKind kind_ = NoStorage;
  std::string directoryPath_;
  ostrel::utils::DirectoryListing listing_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_FOLDER_H_
