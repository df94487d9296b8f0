#ifndef LODEMIG_STORE_MESSAGE_H_
#define LODEMIG_STORE_MESSAGE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "store/message_identity.h"
#include "utils/imessage.h"

namespace lodemig {

class Folder;

// Turns every LF into CR LF unless it is the piece's first byte or follows a
// CR. Each piece is converted on its own.
std::string convertLineEnds(const char* piece, std::size_t size);
// The same, appended to `out` (whose capacity is reused).
void appendLineEnds(const char* piece, std::size_t size, std::string& out);
// How many bytes convertLineEnds would add to the piece.
std::size_t countLineEndsToFix(const char* piece, std::size_t size);

// Names one message of the store the same way in every run over an unchanged
// store: the file it lies in, relative to its account's path, and in a
// mailbox file the byte offset of its header line.
struct MessageKey {
  std::string file;                // "INBOX.mbox", "Drafts.mdir/1187960000.1-D-..."
  std::int64_t headerOffset = -1;  // -1 for a message file of a message directory
  std::uint64_t storedSize = 0;    // the content's bytes in the store
};

// The store's IMessage: the position of one message in its folder's open
// file, with its flags, date and local uid. The content is read on demand in
// pieces of at most 65535 bytes, straight from the file's buffer into the
// caller's, never held whole. Reading is valid only while the folder is open
// and before its next nextMessage(). `folder` must outlive the message. Not
// copyable.
//
// The piece operations and contentSize() throw QLStoreException "message
// cannot be read" when the folder has no open file, the file cannot be read,
// or it holds fewer bytes than the stored size promises: a message is never
// delivered shorter than announced. Content of 4 GiB or more (after line-end
// fixing) is refused the same way.
//
// When the folder is in live mode (Folder::setLive), the piece call that
// finds the end (nextChunk returning false) first confirms the message
// (Folder::confirmWhole): a mailbox-file message's header line must still be
// at its offset byte for byte, and the file must end right behind the
// content or have a header line two bytes behind it; a message file must
// still have the stored size. A file that ended early (not a read error)
// fails a piece or contentSize() the same way. Either throws QLStoreException "the messages
// file changed while being read", so that a caller that asks for the end
// before sending the last piece never completes a changed message.
class Message : public IMessage {
 public:
  static constexpr std::uint32_t kPieceSize = 65535;

  explicit Message(Folder* folder) : folder_(folder) {}
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Sets where the content lies; resets the content-size and identity caches.
  void setRange(std::uint64_t offset, std::uint64_t storedSize, bool fixCrLf);
  // After setRange: how many LFs the pieces will turn into CR LF, when the
  // reader counted them while it located the content; contentSize() then
  // reads nothing, and content without any is handed out unchanged.
  void setLineEndsToFix(std::uint64_t count);
  void setFlags(const std::string& flags) { flags_ = flags; }
  void setDate(const std::string& date) { date_ = date; }
  void setLocalUid(const std::string& uid) { localUid_ = uid; }
  // Where the message lies for its key: the header line's offset in a mailbox
  // file (with an empty name), or -1 and the name of its message file.
  void setKey(std::int64_t headerOffset, std::string_view fileName);
  // The message's key, built when asked.
  MessageKey key() const;
  std::int64_t headerOffset() const { return headerOffset_; }
  // The message file's name; empty for a mailbox-file message.
  const std::string& fileName() const { return fileName_; }
  // The header line as the walk parsed it (without its LF), kept in live mode
  // for the check at the end of the pieces.
  void setHeaderLine(const std::string& line) { headerLine_ = line; }
  const std::string& headerLine() const { return headerLine_; }
  // Which form identity() takes; set by the folder walk after setKey and
  // setLocalUid. A new setRange starts with the local uid's form.
  void setIdentityBasis(IdentityBasis basis) { identityBasis_ = basis; }
  IdentityBasis identityBasis() const { return identityBasis_; }
  // The message's store identity (store/message_identity.h). The uid and
  // file-name forms read nothing; the content form reads the content once
  // (rewinding it, like contentSize()) and is kept until the next setRange.
  // Throws QLStoreException "message cannot be read" as the pieces do.
  std::string identity();
  const std::string& localUid() const { return localUid_; }
  // The texts flags() and internalDate() copy.
  const std::string& flagText() const { return flags_; }
  const std::string& date() const { return date_; }
  std::uint64_t offset() const { return offset_; }

  // Rewinds to the offset and delivers the first piece.
  bool firstChunk(std::string& buffer) override;
  // The next piece (line ends fixed when asked); false at the end.
  bool nextChunk(std::string& buffer) override;
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return storedSize_; }
  // With fixCrLf, counts the fixed size by reading the content once (the
  // result is cached until the next setRange); otherwise the stored size.
  // When that count (or the reader's) finds no LF to fix, the pieces are
  // handed out unchanged without looking at them again.
  std::uint32_t contentSize() override;
  // The folder's file and the offset, when contentSize() is known and the
  // pieces are the stored bytes unchanged (no fixing, or nothing to fix).
  // Never in live mode: a copy by the system would pass the confirmation by.
  bool storedRange(int& fd, std::uint64_t& offset) override;

 private:
  // Points `data` at the next raw piece, in the folder file's buffer (valid
  // until the file is read again); returns its size, 0 at the end.
  std::size_t readPiece(const char*& data);

  std::string flags_;
  std::string date_;
  std::string localUid_;
  std::uint64_t offset_ = 0;
  std::uint64_t storedSize_ = 0;
  std::uint32_t contentSize_ = 0;
  std::uint64_t readPosition_ = 0;
  bool fixCrLf_ = true;
  bool nothingToFix_ = false;  // counted: the content has no LF to fix
  std::int64_t headerOffset_ = -1;
  std::string fileName_;
  std::string headerLine_;
  IdentityBasis identityBasis_ = IdentityBasis::kLocalUid;
  std::string contentIdentity_;  // the content form, once computed
  Folder* folder_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_MESSAGE_H_
