#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "target/imap_session.h"
#include "target/imap_text.h"
#include "target/message_header.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

ConnectionReader::Status ImapSession::readMessageLiteral(std::uint64_t size, bool tooBig) {
  // The message is digested as it arrives, so that its answer waits for no
  // pass over it; without files to write, or when it is to be refused for
  // its size, its bytes are not kept.
  messageDigest_.reset();
  ConnectionReader::Status read;
  if (store_.keepsBytes() && !tooBig) {
    read = reader_.readBytes(size, &message_, &messageDigest_);
  } else {
    // Only the start is kept: enough for the Message-ID of a header.
    const std::uint64_t head = std::min<std::uint64_t>(size, kHeaderScanLimit);
    read = reader_.readBytes(head, tooBig ? nullptr : &head_, &messageDigest_);
    if (read == ConnectionReader::Status::kOk && head < size) {
      read = reader_.readBytes(size - head, nullptr, &messageDigest_);
    }
  }
  if (options_.multiAppend) {
    // The next message of the command reuses the buffers.
    parts_.push_back({messageDigest_.value(), messageDigest_.size(), tooBig,
                      store_.keepsBytes() && !tooBig ? message_ : std::string(),
                      messageIdField(store_.keepsBytes() && !tooBig ? message_ : head_)});
    message_.clear();
    head_.clear();
  }
  parser_.addMessage();
  return read;
}

ImapSession::Flow ImapSession::append(std::string_view command) {
  if (options_.multiAppend) {
    return appendParts(command);
  }
  // Mailbox, an optional flag list, an optional date, then the message.
  const std::size_t count = argumentCount();
  std::size_t next = 1;
  std::string_view flags;
  std::string_view date;
  if (next + 1 < count && argument(next).kind == Token::Kind::kList) {
    const Token& list = argument(next);
    for (std::size_t i = args_[next] + 1; i < list.end; i = parser_[i].end) {
      if (parser_[i].kind != Token::Kind::kAtom) {
        return reply("BAD", "Malformed flag list");
      }
    }
    flags = list.text;
    ++next;
  }
  if (next + 1 < count && argument(next).kind == Token::Kind::kString) {
    date = argument(next).text;
    ++next;
  }
  if (count < 2 || !isAString(0) || next + 1 != count ||
      argument(next).kind != Token::Kind::kMessage) {
    return reply("BAD", "Malformed ", command);
  }
  // Refused before it is counted: the fault numbers count the appends the
  // server would take.
  if (overAppendLimit(messageDigest_.size())) {
    return reply("NO", kTooBig);
  }
  const ServerState::AppendFault fault = state_.countAppend();
  if (stalled_ || (fault == ServerState::AppendFault::kStall && acting_)) {
    holdBack(command, flags, date);
    return Flow::kContinue;
  }
  if (fault == ServerState::AppendFault::kDrop) {
    return Flow::kClose;
  }
  if (fault == ServerState::AppendFault::kRefuse) {
    return reply("NO", command, " refused");
  }
  if (fault == ServerState::AppendFault::kUnavailable) {
    return reply("NO", kUnavailable);
  }
  if (fault == ServerState::AppendFault::kRefuseThenCut) {
    // The appends the client sent after this one are neither read nor stored.
    answer("NO", command, " refused");
    return Flow::kClose;
  }
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  return storeAppended(command, flags, date, fault);
}

IncomingMessage ImapSession::incoming(std::string_view command, std::string_view flags,
                                      std::string_view date) {
  messageIdField_ = messageIdField(store_.keepsBytes() ? message_ : head_);
  IncomingMessage message;
  message.flags = flags;
  message.date = date;
  message.command = command;
  message.digest = messageDigest_.value();
  message.size = messageDigest_.size();
  message.bytes = message_;
  message.messageIdField = messageIdField_;
  return message;
}

ImapSession::Flow ImapSession::storeAppended(std::string_view command, std::string_view flags,
                                             std::string_view date,
                                             ServerState::AppendFault fault) {
  const std::string& folder = argument(0).text;
  std::string altered;
  if (fault == ServerState::AppendFault::kAlter) {
    altered = toggledFlagged(flags);
    flags = altered;
  }
  int copies = 1;
  if (fault == ServerState::AppendFault::kLose) {
    copies = 0;
  } else if (fault == ServerState::AppendFault::kDouble) {
    copies = 2;
  }
  // A lost message still needs its folder: a client told OK for a folder
  // that is not there would see a different fault.
  bool exists = copies > 0 || store_.folderMessages(*acting_, folder).has_value();
  const IncomingMessage message = incoming(command, flags, date);
  std::uint64_t uid = 0;
  for (int i = 0; i < copies && exists; ++i) {
    exists = store_.storeMessage(*acting_, folder, message, i == 0 ? &uid : nullptr) !=
             MailStore::Outcome::kMissing;
  }
  // A dead connection's appends the server takes only now, after this one.
  state_.storeLate();
  if (!exists) {
    return reply("NO", "[TRYCREATE] No such folder");
  }
  // A lost message has no UID to name.
  if (options_.noUidplus || uid == 0) {
    return reply("OK", command, " completed");
  }
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, folder);
  return reply(
      "OK",
      "[APPENDUID " + std::to_string(uids ? uids->validity : 1) + " " + std::to_string(uid) + "] ",
      std::string(command) + " completed");
}

void ImapSession::holdBack(std::string_view command, std::string_view flags,
                           std::string_view date) {
  stalled_ = true;
  const IncomingMessage message = incoming(command, flags, date);
  held_.push_back(HeldAppend{argument(0).text, std::string(flags), std::string(date),
                             std::string(command), message.digest, message.size,
                             std::string(message.bytes), std::string(message.messageIdField)});
}

void ImapSession::storeHeldBack() {
  if (acting_) {
    storeHeld(store_, *acting_, held_);
  }
  held_.clear();
}

void ImapSession::storeHeld(MailStore& store, MailStore::AccountId account,
                            const std::vector<HeldAppend>& appends) {
  for (const HeldAppend& held : appends) {
    IncomingMessage message;
    message.flags = held.flags;
    message.date = held.date;
    message.command = held.command;
    message.digest = held.digest;
    message.size = held.size;
    message.bytes = held.bytes;
    message.messageIdField = held.messageIdField;
    try {
      store.storeMessage(account, held.folder, message);
    } catch (const QLException& e) {
      std::cerr << "lodemig-target: " << e.what() << std::endl;
    }
  }
}

bool ImapSession::overAppendLimit(std::uint64_t size) const {
  return options_.appendLimit && size > *options_.appendLimit;
}

}  // namespace lodemig::target
