#include "imap/pending_commands.h"

#include <stdexcept>

namespace lodemig {

void PendingCommands::add(ImapCommand& command) {
  if (full()) {
    throw std::length_error("more commands outstanding than the client keeps");
  }
  commands_[count_++] = &command;
}

ImapCommand* PendingCommands::takeTagged(const std::string& response) {
  const std::string_view tag = responseTag(response);
  for (std::size_t i = 0; i < count_; ++i) {
    ImapCommand* command = commands_[i];
    if (command->tag() != tag) {
      continue;
    }
    // The rest keep their order: the oldest is the one untagged data goes to.
    for (std::size_t j = i + 1; j < count_; ++j) {
      commands_[j - 1] = commands_[j];
    }
    --count_;
    return command;
  }
  return nullptr;
}

bool PendingCommands::holds(const ImapCommand& command) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (commands_[i] == &command) {
      return true;
    }
  }
  return false;
}

std::string_view responseTag(const std::string& response) {
  const std::size_t end = response.find_first_of(" \r\n");
  return std::string_view(response).substr(0, end);
}

}  // namespace lodemig
