// The message walk of a folder with several appends outstanding.

#include <algorithm>

#include "migration/account_migration.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/stop_request.h"

namespace lodemig {
namespace {

// Points the folder's reader at the window's buffer while the walk lasts.
class HeldReaderLog {
 public:
  HeldReaderLog(Folder& folder, std::ostream& held, std::ostream& log)
      : folder_(folder), log_(log) {
    folder_.setLog(&held);
  }
  ~HeldReaderLog() { folder_.setLog(&log_); }
  HeldReaderLog(const HeldReaderLog&) = delete;
  HeldReaderLog& operator=(const HeldReaderLog&) = delete;

 private:
  Folder& folder_;
  std::ostream& log_;
};

}  // namespace

void AccountMigration::transferWindowed(Folder& folder, const Mailbox& mailbox,
                                        FolderTally& tally) {
  const long total = static_cast<long>(tally.storeMessages);
  const auto size = static_cast<std::size_t>(settings_.window);
  if (window_.size() != size) {
    window_.assign(size, InFlight());
  }
  windowHead_ = windowCount_ = 0;
  gateway_.setAppendWindow(size);
  readLog_.str("");
  Message message(&folder);
  reporter_.startCounter(total);
  FolderReading reading(folder);
  HeldReaderLog held(folder, readLog_, reporter_.logStream());
  long number = 1;
  messageNumber_ = number;
  bool first = true;
  for (;;) {
    bool more = false;
    try {
      more = first ? (folder.open(mailbox.name()), folder.firstMessage(message))
                   : folder.nextMessage(message);
      first = false;
    } catch (const QLStoreException&) {
      // The messages before the one that cannot be read are answered first,
      // as they would have been one at a time.
      drainWindow(tally, total);
      reporter_.logStream() << readLog_.str();
      readLog_.str("");
      messageNumber_ = number;
      throw;
    }
    if (!more) {
      break;
    }
    if (ostrel::utils::stopSignal() != 0) {
      // The messages in flight are answered and recorded first.
      drainWindow(tally, total);
      reporter_.logStream() << readLog_.str();
      readLog_.str("");
      stopIfAsked();
    }
    if (progress_ != nullptr) {
      journalKeyInto(message.key(), key_);
      if (journalSkips()) {
        // Skipped messages are recorded in store order too.
        drainWindow(tally, total);
        reporter_.logStream() << readLog_.str();
        readLog_.str("");
        reporter_.showCounter(number, total);
        ++tally.read;
        alreadyStored(message, tally);
        ++number;
        continue;
      }
    }
    InFlight& slot = window_[(windowHead_ + windowCount_) % window_.size()];
    ++windowCount_;
    slot.number = number;
    if (progress_ != nullptr) {
      slot.key = key_;
    }
    slot.written = target_->submitAppend(targetName_, message);
    slot.size = slot.written == kGatewayOk ? message.contentSize() : 0;
    slot.log = readLog_.str();
    readLog_.str("");
    if (slot.written == kGatewayConnectionProblem) {
      completeOldest(tally, total);
    } else if (windowCount_ == window_.size()) {
      // A quarter of the window is freed before more go out: the appends
      // written meanwhile leave in one send instead of one each, and the
      // rest keep the line busy.
      const std::size_t keep = window_.size() - std::max<std::size_t>(1, window_.size() / 2);
      gateway_.expectAnswers(windowCount_ - keep);
      while (windowCount_ > keep) {
        completeOldest(tally, total);
      }
      gateway_.expectAnswers(0);
    }
    ++number;
  }
  drainWindow(tally, total);
  messageNumber_ = 0;
  reporter_.eraseCounter();
}

void AccountMigration::drainWindow(FolderTally& tally, long total) {
  gateway_.expectAnswers(windowCount_);
  while (windowCount_ > 0) {
    completeOldest(tally, total);
  }
  gateway_.expectAnswers(0);
}

void AccountMigration::completeOldest(FolderTally& tally, long total) {
  InFlight& slot = window_[windowHead_];
  reporter_.logStream() << slot.log;
  reporter_.showCounter(slot.number, total);
  messageNumber_ = slot.number;
  ++tally.read;
  const GatewayResult result = slot.written == kGatewayOk ? gateway_.awaitAppend() : slot.written;
  if (progress_ != nullptr) {
    key_ = slot.key;
  }
  try {
    checkResult(reporter_, TargetStep::Append, result);
    ++tally.sent;
    tally.bytesSent += slot.size;
    recordMessage(true);
  } catch (const QLStoreException& error) {
    noteRefused(slot.number, error.what(), tally);
  } catch (const QLConnectionLostException&) {
    // The target may hold any first few of them: with a journal the count
    // check on the next connection tells which.
    reporter_.log("Error: " + std::to_string(windowCount_) + " messages of folder \"" + tally.name +
                  "\" of <" + account_ + "> from message " + std::to_string(slot.number) +
                  " on were sent but not confirmed\n");
    for (std::size_t i = 1; i < windowCount_; ++i) {
      reporter_.logStream() << window_[(windowHead_ + i) % window_.size()].log;
    }
    windowHead_ = windowCount_ = 0;
    throw;
  }
  windowHead_ = (windowHead_ + 1) % window_.size();
  --windowCount_;
}

}  // namespace lodemig
