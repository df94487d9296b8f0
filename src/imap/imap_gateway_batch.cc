// The window of appends: several written before their answers are read, and
// where the server offers it several messages in one APPEND command.

#include <algorithm>

#include "imap/capabilities.h"
#include "imap/imap_gateway.h"

namespace lodemig {

void ImapGateway::setAppendWindow(std::size_t size) {
  size = std::clamp<std::size_t>(size, 1, kMaxCommandsInFlight * kMaxMessagesPerAppend);
  if (outstanding_ == 0 && size != window_.size()) {
    window_ = std::vector<InFlightAppend>(size);
    head_ = 0;
  }
}

void ImapGateway::setMultiAppend(std::size_t messages) {
  multiAppend_ = std::clamp<std::size_t>(messages, 1, kMaxMessagesPerAppend);
}

void ImapGateway::learnMultiAppend() {
  if (!connected_) {
    return;
  }
  try {
    ImapCommand& capability = startCommand("CAPABILITY");
    if (client_.execute(capability) == CommandStatus::Ok) {
      traits_.multiAppend = offersCapability(capability.untaggedLines(), "MULTIAPPEND");
      traits_.literalPlus = offersCapability(capability.untaggedLines(), "LITERAL+");
    }
  } catch (const ImapException&) {
    // Not knowing sends one message per command; the next command finds out
    // whether the connection is gone.
  }
}

std::size_t ImapGateway::appendBatchSize() const {
  return traits_.multiAppend && (!standardAppends_ || traits_.literalPlus || traits_.literalMinus)
             ? multiAppend_
             : 1;
}

bool ImapGateway::batchable(std::uint32_t size) const {
  // A message that waits for a go-ahead cannot follow another without a
  // round trip; a large one goes alone, from the file where it can.
  return appendBatchSize() > 1 && size < kLargestBatchedMessage && !synchronizingFor(size);
}

bool ImapGateway::joinsBatch(const std::string& folderName, bool useXAppend,
                             std::uint32_t size) const {
  return batchOpen_ && batchable(size) && folderName == batchFolder_ &&
         useXAppend == batchXAppend_ && batchBytes_ + size <= kBatchBytes;
}

void ImapGateway::closeBatch() {
  if (!batchOpen_) {
    return;
  }
  batchOpen_ = false;
  client_.closeCommand(window_[batchLead_].command);
}

GatewayResult ImapGateway::submitAppend(const std::string& folderName, IMessage& message,
                                        bool useXAppend, std::uint64_t token) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  if (outstanding_ == window_.size()) {
    return kGatewayAppendFailed;  // the caller must await one first
  }
  const std::size_t index = (head_ + outstanding_) % window_.size();
  InFlightAppend& slot = window_[index];
  try {
    messageArguments(arguments_, message);
    const std::uint32_t size = countContent(message);
    if (!joinsBatch(folderName, useXAppend, size)) {
      closeBatch();
    }
    if (batchOpen_) {
      InFlightAppend& lead = window_[batchLead_];
      part_.startContinuation(arguments_);
      part_.announceContent(message, size);
      part_.keepOpen(true);
      client_.continueCommand(lead.command, part_);
      slot.position = lead.messages++;
      batchBytes_ += size;
    } else {
      const bool opens = batchable(size);
      startAppend(slot.command, folderName, message, size, useXAppend);
      slot.command.keepOpen(opens);
      client_.submit(slot.command);
      slot.position = 0;
      slot.messages = 1;
      if (opens) {
        batchOpen_ = true;
        batchLead_ = index;
        batchFolder_ = folderName;
        batchXAppend_ = useXAppend;
        batchBytes_ = size;
      }
    }
    slot.token = token;
    ++outstanding_;
    if (batchOpen_ && window_[batchLead_].messages >= appendBatchSize()) {
      closeBatch();
    }
    return kGatewayOk;
  } catch (const ImapException& error) {
    if (client_.state() != ClientState::Disconnected) {
      return gatewayResultFor(error, kGatewayAppendFailed);  // nothing was written
    }
    batchOpen_ = false;
    const bool othersLost = outstanding_ > 0;
    outstanding_ = 0;
    return othersLost ? kGatewayConnectionProblem : gatewayResultFor(error, kGatewayAppendFailed);
  }
}

AppendAnswer ImapGateway::awaitAppend() {
  if (outstanding_ == 0) {
    return {0, kGatewayConnectionProblem};  // its connection failed before
  }
  const std::size_t index = head_;
  InFlightAppend& slot = window_[index];
  head_ = (head_ + 1) % window_.size();
  --outstanding_;
  if (slot.position > 0) {
    return batchAnswer(slot.position, slot.token);
  }
  try {
    if (batchOpen_ && batchLead_ == index) {
      closeBatch();  // its answer is wanted now
    }
    const CommandStatus status = client_.waitFor(slot.command);
    batchMessages_ = slot.messages;
    batchUids_.clear();
    batchValidity_ = 0;
    if (status != CommandStatus::Ok) {
      batchResult_ = slot.messages > 1 ? kGatewayBatchRefused : kGatewayAppendFailed;
    } else {
      batchResult_ = kGatewayOk;
      std::uint64_t uid = 0;
      if (slot.messages == 1 && parseAppendUid(slot.command.finalLine(), batchValidity_, uid)) {
        batchUids_.push_back(uid);
      } else if (slot.messages > 1) {
        parseAppendUidSet(slot.command.finalLine(), slot.messages, batchValidity_, batchUids_);
      }
    }
    return batchAnswer(0, slot.token);
  } catch (const ImapException& error) {
    outstanding_ = 0;
    batchOpen_ = false;
    return {slot.token, gatewayResultFor(error, kGatewayAppendFailed)};
  }
}

AppendAnswer ImapGateway::batchAnswer(std::size_t position, std::uint64_t token) const {
  AppendAnswer answer{token, batchResult_};
  if (batchResult_ == kGatewayOk && position < batchUids_.size()) {
    answer.uidValidity = batchValidity_;
    answer.uid = batchUids_[position];
  }
  return answer;
}

}  // namespace lodemig
