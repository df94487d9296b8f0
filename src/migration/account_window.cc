// The walk of a folder's messages: each read, its append written, and its
// answer taken in store order, with up to the window's appends outstanding.

#include "migration/account_migration.h"
#include "migration/journal_text.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/stop_request.h"

namespace lodemig {
namespace {

// Points the folder's reader at the window's buffer while the walk lasts,
// when there is a window: one append at a time is answered before the next
// message is read, so its reader's lines can go straight to the log.
class HeldReaderLog {
 public:
  HeldReaderLog(Folder& folder, std::ostream& held, std::ostream& log, bool hold)
      : folder_(folder), log_(log) {
    if (hold) {
      folder_.setLog(&held);
    }
  }
  ~HeldReaderLog() { folder_.setLog(&log_); }
  HeldReaderLog(const HeldReaderLog&) = delete;
  HeldReaderLog& operator=(const HeldReaderLog&) = delete;

 private:
  Folder& folder_;
  std::ostream& log_;
};

}  // namespace

void AccountMigration::transferMessages(Folder& folder, const Mailbox& mailbox,
                                        FolderTally& tally) {
  refusedTogether_.clear();
  walkMessages(folder, mailbox, tally, false);
  if (!refusedTogether_.empty() && !folder.sourceChanged()) {
    // A refused command of several messages stored none of them and does
    // not say which one the server would not take: each goes again alone,
    // to be stored or refused with its own cause.
    walkMessages(folder, mailbox, tally, true);
  }
  if (folder.sourceChanged()) {
    // What changed is the next pass's: the folder is not failed for it.
    tally.pending = true;
    tally.pendingNote = folder.changeNote();
    reporter_.log("Warning: folder \"" + folder.name() + "\" of <" + account_ +
                  ">: " + folder.changeNote() + ": what changed is left for the next pass\n");
  }
}

void AccountMigration::walkMessages(Folder& folder, const Mailbox& mailbox, FolderTally& tally,
                                    bool retrying) {
  const long total = static_cast<long>(tally.storeMessages);
  gateway_.setMultiAppend(retrying ? 1 : connection_.multiAppend);
  if (window_.capacity() != windowWanted()) {
    window_ = AppendWindow(windowWanted());
  }
  window_.clear();
  deferred_.clear();
  gateway_.setAppendWindow(window_.capacity());
  readLog_.str("");
  Message message(&folder);
  reporter_.startCounter(total);
  FolderReading reading(folder);
  walking_ = &folder;
  HeldReaderLog held(folder, readLog_, reporter_.logStream(), window_.capacity() > 1);
  long number = 1;
  messageNumber_ = number;
  std::size_t retried = 0;
  // The count only decides whether reading starts and is the counter's
  // total; the folder may hold more messages than it says.
  for (bool first = true; readNext(folder, mailbox, message, first, number, tally, total);
       first = false) {
    if (ostrel::utils::stopSignal() != 0) {
      // The messages in flight are answered and recorded first.
      settleWindow(tally, total);
      stopIfAsked();
    }
    if (retrying) {
      // Only the messages of refused commands are read again, in store order.
      if (retried == refusedTogether_.size() || refusedTogether_[retried] != number) {
        messageNumber_ = ++number;
        continue;
      }
      ++retried;
    }
    std::string identity;
    if (resume_.needsIdentities()) {
      try {
        identity = message.identity();
      } catch (const QLStoreException&) {
        // Its content cannot be read: the append says so, as it would have.
      }
    }
    if (collecting_ && !retrying) {
      collected_.push_back({identity, message.flagText(), message.storedSize()});
    }
    if (!retrying && settledWithoutSending(message, identity, number, tally, total)) {
      messageNumber_ = ++number;
      continue;
    }
    sendMessage(message, identity, number, tally, total);
    messageNumber_ = ++number;
  }
  settleWindow(tally, total);
  resendDeferred(folder, mailbox, tally, total);
  messageNumber_ = 0;
  reporter_.eraseCounter();
  walking_ = nullptr;
}

bool AccountMigration::settledWithoutSending(Message& message, const std::string& identity,
                                             long number, FolderTally& tally, long total) {
  const FolderResume::Decision decision =
      resume_.decide(identity, [&] { return journalKey(message.key()); });
  if (decision == FolderResume::Decision::Send) {
    return false;
  }
  // Messages not sent are recorded in store order too.
  settleWindow(tally, total);
  reporter_.showCounter(number, total);
  ++tally.read;
  switch (decision) {
    case FolderResume::Decision::Recorded:
      ++tally.skipped;
      break;
    case FolderResume::Decision::Matched: {
      ++tally.matched;
      std::uint32_t size = 0;
      try {
        size = message.contentSize();
      } catch (const QLStoreException&) {
        // The record's size is only information.
      }
      resume_.record(identity, size, message.flagText(), resume_.lastMatchedUid(), true);
      break;
    }
    default:
      // Refused on a connection of this run that was lost since.
      noteRefused(number, "the target refused it before the connection was lost", "", tally);
      break;
  }
  return true;
}

bool AccountMigration::readNext(Folder& folder, const Mailbox& mailbox, Message& message,
                                bool first, long number, FolderTally& tally, long total) {
  try {
    if (first) {
      folder.open(mailbox.name());
      return folder.firstMessage(message);
    }
    return folder.nextMessage(message);
  } catch (const QLStoreException&) {
    // The messages before the one that cannot be read are answered first,
    // as they would have been one at a time.
    settleWindow(tally, total);
    messageNumber_ = number;
    throw;
  }
}

void AccountMigration::sendMessage(Message& message, const std::string& identity, long number,
                                   FolderTally& tally, long total, int backOffs) {
  paceAppend(tally, total);
  SentMessage& record = window_.push();
  record.number = number;
  record.identity = identity;
  if (resume_.needsIdentities()) {
    record.flags = message.flagText();
  }
  record.headerOffset = message.headerOffset();
  record.fileName = message.fileName();
  record.storedSize = message.storedSize();
  record.backOffs = backOffs;
  record.epoch = throttle_->epoch();
  record.written = target_->submitAppend(targetName_, message, static_cast<std::uint64_t>(number));
  record.size = record.written == kGatewayOk ? message.contentSize() : 0;
  if (!throttle_->afterAppend(record.size)) {
    settleWindow(tally, total);
    stopIfAsked();
  }
  // Answers to older appends, taken before this one's turn, would replace it.
  record.cause = record.written == kGatewayOk ? std::string() : gateway_.client().failureCause();
  if (readLog_.tellp() > 0) {
    record.log = readLog_.str();
    readLog_.str("");
  } else {
    record.log.clear();
  }
  if (record.written != kGatewayOk) {
    // Not outstanding: its result is taken in its turn, which with a lost
    // connection is at once.
    if (record.written == kGatewayConnectionProblem) {
      completeOldest(tally, total);
    }
  } else if (!window_.full()) {
    return;
  }
  const std::size_t keep = window_.full() ? window_.keptWhenFull() : window_.size();
  while (window_.size() > keep) {
    completeOldest(tally, total);
  }
}

void AccountMigration::settleWindow(FolderTally& tally, long total) {
  while (!window_.empty()) {
    completeOldest(tally, total);
  }
  if (readLog_.tellp() > 0) {
    reporter_.logStream() << readLog_.str();
    readLog_.str("");
  }
}

void AccountMigration::completeOldest(FolderTally& tally, long total) {
  SentMessage& record = window_.oldest();
  if (!record.log.empty()) {
    reporter_.logStream() << record.log;
  }
  reporter_.showCounter(record.number, total);
  messageNumber_ = record.number;
  ++tally.read;
  GatewayResult result = record.written;
  std::string cause = record.cause;
  std::uint64_t uid = 0;
  if (result == kGatewayOk) {
    const AppendAnswer answer = gateway_.awaitAppend();
    uid = answer.uid;
    if (uid != 0 && answer.uidValidity != 0 && answer.result == kGatewayOk &&
        resume_.wantsFolderUids()) {
      resume_.learnFolderUids(answer.uidValidity, uid);
    }
    // An answer for another message than the oldest cannot be placed: the
    // connection's state is unknown.
    result = answer.token == static_cast<std::uint64_t>(record.number) ? answer.result
                                                                       : kGatewayConnectionProblem;
    cause = result == kGatewayOk ? std::string() : gateway_.client().failureCause();
  }
  if (setAside(record, result, cause, tally)) {
    --tally.read;
    window_.pop();
    return;
  }
  try {
    checkResult(reporter_, TargetStep::Append, result);
    ++tally.sent;
    throttle_->noteAccepted();
    tally.bytesSent += record.size;
    watcher_->messageStored(record.size);
    resume_.record(record.identity, static_cast<std::int64_t>(record.size), record.flags, uid,
                   true);
  } catch (const QLStoreException& error) {
    if (result == kGatewayContentFailed && walking_ != nullptr && walking_->sourceChanged()) {
      // Its file changed under the read: the server was left inside the
      // literal and stored nothing. Not a refusal: the next pass sends it.
      --tally.read;
    } else {
      resume_.record(record.identity, static_cast<std::int64_t>(record.size), record.flags, 0,
                     false);
      noteRefused(record.number, error.what(), cause, tally);
    }
  } catch (QLConnectionLostException& error) {
    error.setCause(causeText(cause, account_, tally.name));
    if (window_.capacity() > 1) {
      reportUnconfirmed(tally);
    }
    window_.clear();
    throw;
  }
  window_.pop();
}

bool AccountMigration::setAside(const SentMessage& record, GatewayResult result,
                                const std::string& cause, FolderTally& tally) {
  if (result == kGatewayBatchRefused) {
    // Neither stored nor refused yet: the folder's second walk sends it alone.
    refusedTogether_.push_back(record.number);
    return true;
  }
  return result == kGatewayAppendFailed && deferRefused(record, cause, tally);
}

void AccountMigration::reportUnconfirmed(FolderTally& tally) {
  // The target may hold any first few of them: with a journal the count
  // check on the next connection tells which.
  reporter_.log("Error: " + std::to_string(window_.size()) + " messages of folder \"" + tally.name +
                "\" of <" + account_ + "> from message " + std::to_string(window_.oldest().number) +
                " on were sent but not confirmed\n");
  for (std::size_t i = 1; i < window_.size(); ++i) {
    reporter_.logStream() << window_.at(i).log;
  }
  window_.clear();
}

}  // namespace lodemig
