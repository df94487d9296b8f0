// APPEND with several messages, as a server that announces MULTIAPPEND
// takes it: all of them stored, or none.

#include <string>
#include <string_view>
#include <vector>

#include "target/imap_session.h"
#include "target/imap_text.h"

namespace lodemig::target {

ImapSession::Flow ImapSession::appendParts(std::string_view command) {
  // Mailbox, then for each message an optional flag list, an optional date
  // and the message.
  std::vector<PartArguments> arguments;
  PartArguments next;
  for (std::size_t i = 1; i < argumentCount(); ++i) {
    const Token& token = argument(i);
    if (token.kind == Token::Kind::kMessage) {
      arguments.push_back(next);
      next = PartArguments();
    } else if (token.kind == Token::Kind::kList && next.flags.empty() && next.date.empty()) {
      for (std::size_t j = args_[i] + 1; j < token.end; j = parser_[j].end) {
        if (parser_[j].kind != Token::Kind::kAtom) {
          return reply("BAD", "Malformed flag list");
        }
      }
      next.flags = token.text;
    } else if (token.kind == Token::Kind::kString && next.date.empty()) {
      next.date = token.text;
    } else {
      return reply("BAD", "Malformed ", command);
    }
  }
  if (!isAString(0) || arguments.empty() || arguments.size() != parts_.size() ||
      !next.flags.empty() || !next.date.empty()) {
    return reply("BAD", "Malformed ", command);
  }
  std::vector<ServerState::AppendFault> faults;
  bool tooBig = false;
  for (const MessagePart& part : parts_) {
    tooBig = tooBig || part.tooBig;
    faults.push_back(state_.countAppend());
  }
  for (const ServerState::AppendFault fault : faults) {
    if (fault == ServerState::AppendFault::kDrop) {
      return Flow::kClose;  // nothing of the command is stored
    }
  }
  if (tooBig) {
    return reply("NO", kTooBig);
  }
  for (const ServerState::AppendFault fault : faults) {
    if (fault == ServerState::AppendFault::kRefuse) {
      return reply("NO", command, " refused");
    }
    if (fault == ServerState::AppendFault::kRefuseThenCut) {
      answer("NO", command, " refused");
      return Flow::kClose;
    }
  }
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  return storeParts(command, arguments, faults);
}

ImapSession::Flow ImapSession::storeParts(std::string_view command,
                                          const std::vector<PartArguments>& arguments,
                                          const std::vector<ServerState::AppendFault>& faults) {
  const std::string& folder = argument(0).text;
  if (!store_.folderMessages(*acting_, folder).has_value()) {
    return reply("NO", "[TRYCREATE] No such folder");
  }
  std::string uids;
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    std::string altered;
    IncomingMessage message;
    message.flags = arguments[i].flags;
    if (faults[i] == ServerState::AppendFault::kAlter) {
      altered = toggledFlagged(message.flags);
      message.flags = altered;
    }
    message.date = arguments[i].date;
    message.command = command;
    message.digest = parts_[i].digest;
    message.size = parts_[i].size;
    message.bytes = parts_[i].bytes;
    message.messageIdField = parts_[i].messageIdField;
    const int copies = faults[i] == ServerState::AppendFault::kLose     ? 0
                       : faults[i] == ServerState::AppendFault::kDouble ? 2
                                                                        : 1;
    std::uint64_t uid = 0;
    for (int copy = 0; copy < copies; ++copy) {
      store_.storeMessage(*acting_, folder, message, copy == 0 ? &uid : nullptr);
    }
    // A lost message has no UID; the set names those stored.
    if (uid != 0) {
      uids += (uids.empty() ? "" : ",") + std::to_string(uid);
    }
  }
  state_.storeLate();
  if (options_.noUidplus || uids.empty()) {
    return reply("OK", command, " completed");
  }
  const std::optional<FolderUids> state = store_.folderUids(*acting_, folder);
  return reply("OK",
               "[APPENDUID " + std::to_string(state ? state->validity : 1) + " " + uids + "] ",
               std::string(command) + " completed");
}

}  // namespace lodemig::target
