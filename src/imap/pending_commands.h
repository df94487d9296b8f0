#ifndef LODEMIG_IMAP_PENDING_COMMANDS_H_
#define LODEMIG_IMAP_PENDING_COMMANDS_H_

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "imap/imap_command.h"

namespace lodemig {

// The most commands one connection has outstanding at once; the longest
// window of appends a run may ask for.
constexpr std::size_t kMaxCommandsInFlight = 64;

// The commands written to one connection whose tagged replies have not come
// yet, in the order they were sent, so that each reply finds its command by
// tag whatever order the server answers in. Holds at most kCapacity commands
// by pointer, in fixed storage (adding and removing never allocates); a
// command must stay alive while it is held. Used by one thread.
class PendingCommands {
 public:
  static constexpr std::size_t kCapacity = kMaxCommandsInFlight;

  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == kCapacity; }
  std::size_t size() const { return count_; }

  // Holds `command` after the others. Throws std::length_error when full.
  void add(ImapCommand& command);
  // Removes and returns the held command whose tag is the first word of
  // `response`; nullptr when the response is untagged or its tag unknown.
  ImapCommand* takeTagged(const std::string& response);
  // The command sent first of those held; nullptr when none is.
  ImapCommand* oldest() const { return count_ == 0 ? nullptr : commands_[0]; }
  bool holds(const ImapCommand& command) const;
  // Forgets every command (their connection is gone); never touches them.
  void clear() { count_ = 0; }

 private:
  std::array<ImapCommand*, kCapacity> commands_{};
  std::size_t count_ = 0;
};

// The first word of a response: the bytes before its first blank, CR or LF.
std::string_view responseTag(const std::string& response);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_PENDING_COMMANDS_H_
