#ifndef LODEMIG_STORE_MESSAGE_H_
#define LODEMIG_STORE_MESSAGE_H_

#include <cstdint>
#include <string>

#include "utils/imessage.h"
#include "utils/sockets.h"

namespace lodemig {

class Folder;

// Turns every LF into CR LF unless it is the piece's first byte or follows a
// CR. Each piece is converted on its own.
std::string convertLineEnds(const char* piece, std::size_t size);

// The store's IMessage: the position of one message in its folder's open
// file, with its flags, date and local uid. The content is read on demand in
// pieces of at most 65535 bytes, never held whole. Reading is valid only while
// the folder is open and before its next nextMessage(). Not copyable.
class Message : public IMessage {
 public:
  static constexpr std::uint32_t kPieceSize = 65535;

  explicit Message(Folder* folder) : folder_(folder) {}
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Sets where the content lies; resets the content-size cache.
  void setRange(std::uint64_t offset, std::uint64_t storedSize, bool fixCrLf);
  void setFlags(const std::string& flags) { flags_ = flags; }
  void setDate(const std::string& date) { date_ = date; }
  void setLocalUid(const std::string& uid) { localUid_ = uid; }
  const std::string& localUid() const { return localUid_; }
  std::uint64_t offset() const { return offset_; }

  bool firstChunk(std::string& buffer) override;
  bool nextChunk(std::string& buffer) override;
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return storedSize_; }
  std::uint32_t contentSize() override;

 private:
  std::string flags_;
  std::string date_;
  std::string localUid_;
  std::uint64_t offset_ = 0;
  std::uint64_t storedSize_ = 0;
  std::uint32_t contentSize_ = 0;
  std::uint64_t readPosition_ = 0;
  bool fixCrLf_ = true;
  Folder* folder_;
  ostrel::utils::VMutex mutex_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_MESSAGE_H_
