#ifndef LODEMIG_MIGRATION_APPEND_WINDOW_H_
#define LODEMIG_MIGRATION_APPEND_WINDOW_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imap/imap_gateway.h"

namespace lodemig {

// One message of a folder between its append being written and its answer
// being taken: what is reported and recorded of it once the answer comes.
struct SentMessage {
  long number = 0;            // in the folder, from 1; the append's token
  std::string identity;       // its store identity, when the journal needs it
  std::string flags;          // as sent, when the journal needs them
  std::uint64_t size = 0;     // the content's size as sent
  GatewayResult written = 0;  // the result of writing it
  std::string log;            // the reader's lines for it, held until its answer
  std::string cause;          // why writing it failed, when it did
  // Where it lies in the store, to find it again when it is to be sent
  // again: as Message's headerOffset(), fileName() and storedSize().
  std::int64_t headerOffset = -1;
  std::string fileName;
  std::uint64_t storedSize = 0;
  std::uint64_t epoch = 0;  // the Throttle's epoch when it was written
  int backOffs = 0;         // times the server refused it for its load
};

// The messages of a folder whose appends are written and whose answers are
// still to be taken, oldest first, at most `capacity` of them. The storage
// is allocated once and reused, so that the walk of a large folder does not
// allocate per message once the records' strings have grown.
//
// The window is refilled one for one: each answer taken frees the slot the
// next message's append takes at once, so that the server is never left
// without work while answers are awaited, and answers that came together are
// taken without a wait. With a capacity of 1 every append is answered before
// the next is written, as one command at a time.
class AppendWindow {
 public:
  explicit AppendWindow(std::size_t capacity = 1) : records_(capacity == 0 ? 1 : capacity) {}

  std::size_t capacity() const { return records_.size(); }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == records_.size(); }

  // The record of the next message, after the others; the window must not
  // be full. Its fields keep what the slot held before: the caller sets each.
  SentMessage& push();
  // The oldest record; the window must not be empty.
  SentMessage& oldest() { return records_[head_]; }
  // Forgets the oldest record.
  void pop();
  // The records after the oldest, oldest first: those lost with it when the
  // connection goes.
  const SentMessage& at(std::size_t index) const {
    return records_[(head_ + index) % records_.size()];
  }
  // Forgets every record.
  void clear() { head_ = count_ = 0; }

  // How many records a full window keeps while its oldest is answered.
  std::size_t keptWhenFull() const;

 private:
  std::vector<SentMessage> records_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_APPEND_WINDOW_H_
