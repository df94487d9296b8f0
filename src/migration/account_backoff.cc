// How an account's walk follows the run's pace: the rates the command line
// allows, and the server's requests to slow down, after which the messages
// it refused for its load are sent again.

#include <algorithm>

#include "migration/account_migration.h"
#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/stop_request.h"

namespace lodemig {

std::size_t AccountMigration::windowWanted() const {
  // In messages: the window counts commands, each carrying a batch.
  const std::size_t messages = connection_.appendWindow * gateway_.appendBatchSize();
  return std::max<std::size_t>(1, std::min(messages, throttle_->window()));
}

void AccountMigration::paceAppend(FolderTally& tally, long total) {
  if (windowWanted() < window_.capacity()) {
    // The appends in flight are answered first: a smaller window cannot
    // hold them.
    settleWindow(tally, total);
    window_ = AppendWindow(windowWanted());
    gateway_.setAppendWindow(window_.capacity());
  }
  if (!throttle_->beforeAppend()) {
    settleWindow(tally, total);
    stopIfAsked();
  }
}

void AccountMigration::noteBackOff(const Throttle::BackOff& backOff, int attempt,
                                   const std::string& cause) {
  RetryEvent event;
  event.kind = "backoff";
  event.account = account_;
  event.attempt = attempt;
  event.attempts = attempt > 0 ? settings_.retries : 0;
  event.pauseSeconds = std::chrono::duration<double>(backOff.pause).count();
  event.window = static_cast<int>(backOff.window);
  event.connections = static_cast<int>(backOff.connections);
  event.reason = cause;
  watcher_->retried(event);
}

bool AccountMigration::deferRefused(const SentMessage& record, const std::string& cause,
                                    FolderTally& tally) {
  if (!asksToSlowDown(cause) || record.backOffs + 1 >= Throttle::kMaxBackOffsPerMessage) {
    return false;
  }
  // A NO means the message was not stored: sending it again cannot double it.
  deferred_.push_back(Deferred{record.number, record.identity, record.headerOffset, record.fileName,
                               record.storedSize, record.backOffs + 1, cause});
  const Throttle::BackOff backOff = throttle_->backOff(record.epoch, window_.capacity());
  const std::string what = "message " + std::to_string(record.number) + " of folder \"" +
                           tally.name + "\" of <" + account_ + "> was refused with \"" + cause +
                           "\"";
  if (backOff.slowed) {
    noteBackOff(backOff, 0, cause);
    reporter_.log("Warning: " + what + ": the server asks to slow down: window " +
                  std::to_string(backOff.window) + ", connections " +
                  std::to_string(backOff.connections) + ", pause " +
                  std::to_string(backOff.pause.count()) + " ms; the message is sent again\n");
  } else {
    reporter_.log("Info: " + what + ": the message is sent again\n");
  }
  return true;
}

bool AccountMigration::backOffAfterBye(int attempt, const std::string& what) {
  const std::string& cause = gateway_.client().failureCause();
  if (!byeSaysOverloaded(cause)) {
    return false;
  }
  const Throttle::BackOff backOff = throttle_->backOff(throttle_->epoch(), windowWanted());
  noteBackOff(backOff, attempt + 1, cause);
  reporter_.print("   Warning: " + what + " (" + cause +
                  "): the server asks to slow down: window " + std::to_string(backOff.window) +
                  ", connections " + std::to_string(backOff.connections) + ", try " +
                  std::to_string(attempt + 1) + " of " + std::to_string(settings_.retries) +
                  " in " + std::to_string(backOff.pause.count()) + " ms\n");
  ostrel::utils::pauseFor(ostrel::utils::PaceClock::system(), backOff.pause);
  stopIfAsked();
  return true;
}

void AccountMigration::resendDeferred(const Folder& folder, const Mailbox& mailbox,
                                      FolderTally& tally, long total) {
  // Each round sends every kept message once; a message is kept at most
  // kMaxBackOffsPerMessage times, so the rounds are bounded.
  while (!deferred_.empty()) {
    std::vector<Deferred> due;
    due.swap(deferred_);
    std::sort(due.begin(), due.end(),
              [](const Deferred& a, const Deferred& b) { return a.number < b.number; });
    // A copy of the folder, silent: its reader's lines were written by the
    // first walk.
    std::ostream silent(nullptr);
    Folder walk(folder);
    walk.setLog(&silent);
    FolderReading reading(walk);
    Message message(&walk);
    Folder* const walking = walking_;
    walking_ = &walk;
    std::size_t next = 0;
    try {
      walk.open(mailbox.name());
      long number = 1;
      for (bool more = walk.firstMessage(message); more && next < due.size();
           more = walk.nextMessage(message), ++number) {
        if (number != due[next].number) {
          continue;
        }
        const Deferred& kept = due[next++];
        if (message.headerOffset() != kept.headerOffset || message.fileName() != kept.fileName ||
            message.storedSize() != kept.storedSize) {
          // The store changed since: whatever lies there now is not the
          // message the server refused.
          ++tally.read;
          noteRefused(kept.number, "the message changed before it could be sent again", kept.cause,
                      tally);
          continue;
        }
        messageNumber_ = kept.number;
        if (ostrel::utils::stopSignal() != 0) {
          settleWindow(tally, total);
          stopIfAsked();
        }
        sendMessage(message, kept.identity, kept.number, tally, total, kept.backOffs);
      }
    } catch (const QLStoreException&) {
      settleWindow(tally, total);
      walking_ = walking;
      throw;
    }
    settleWindow(tally, total);
    walking_ = walking;
    for (; next < due.size(); ++next) {
      ++tally.read;
      noteRefused(due[next].number, "the message is no longer in the store", due[next].cause,
                  tally);
    }
  }
}

}  // namespace lodemig
