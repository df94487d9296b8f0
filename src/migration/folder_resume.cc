#include "migration/folder_resume.h"

namespace lodemig {

void FolderResume::start(Journal& journal, const std::string& account, const std::string& folder,
                         std::int64_t targetCount,
                         const std::function<std::int64_t()>& countUnrecorded) {
  journal_ = &journal;
  folder_ = journal.beginFolder(account, folder, keepKeys_);
  arrivedUnrecorded_ = 0;
  key_.clear();
  if (folder_.progress == nullptr) {
    return;
  }
  if (folder_.progress->countBefore < 0) {
    // On the disk before the first append: with it a later run can tell how
    // many messages arrived after the last record that reached the disk.
    journal.count(reporter_, folder_, targetCount < 0 ? 0 : targetCount);
    return;
  }
  explainCount(targetCount, countUnrecorded);
}

void FolderResume::explainCount(std::int64_t targetCount,
                                const std::function<std::int64_t()>& countUnrecorded) {
  const FolderProgress& progress = *folder_.progress;
  arrivedUnrecorded_ = targetCount - progress.countBefore - progress.storedCount;
  if (arrivedUnrecorded_ == 0) {
    return;
  }
  // Someone else changed the folder: a message sent twice is better than one
  // lost. The store is walked only when the count could fit.
  const bool fits =
      targetCount >= 0 && arrivedUnrecorded_ > 0 && arrivedUnrecorded_ <= countUnrecorded();
  const std::string where = "folder \"" + folder_.folder + "\" of <" + folder_.account + ">";
  if (!fits) {
    reporter_.log("Warning: " + where +
                  " does not hold the messages the journal accounts "
                  "for: its unrecorded messages are sent again\n");
    arrivedUnrecorded_ = 0;
    return;
  }
  reporter_.log("Info: " + std::to_string(arrivedUnrecorded_) + " messages of " + where +
                " arrived before the interruption: recorded, not sent again\n");
}

bool FolderResume::recorded(const MessageKey& key) {
  if (folder_.progress == nullptr) {
    return false;
  }
  formatJournalKey(key, key_);
  return storedBefore() || refusedBefore();
}

bool FolderResume::wouldSkip(const MessageKey& key) {
  if (folder_.progress == nullptr) {
    return false;
  }
  formatJournalKey(key, key_);
  // The messages right after the last record that reached the disk arrived
  // before the interruption, as the target's count tells.
  return storedBefore() || (arrivedUnrecorded_ > 0 && !refusedBefore());
}

bool FolderResume::skip(const MessageKey& key) {
  if (!wouldSkip(key)) {
    return false;
  }
  if (!storedBefore()) {
    // Arrived unrecorded: recorded now, not sent again.
    --arrivedUnrecorded_;
    record(true);
  }
  return true;
}

void FolderResume::record(bool stored) {
  if (journal_ != nullptr) {
    journal_->message(reporter_, folder_, stored, key_);
  }
}

void FolderResume::finish(bool whole) {
  if (journal_ != nullptr && whole) {
    journal_->endFolder(reporter_, folder_);
  }
  // The journal may forget the folder's progress from now on.
  folder_.progress = nullptr;
  journal_ = nullptr;
  arrivedUnrecorded_ = 0;
}

bool FolderResume::storedBefore() const {
  // A folder no earlier run began has no keys to look up.
  return !folder_.progress->stored.empty() && folder_.progress->stored.count(key_) != 0;
}

bool FolderResume::refusedBefore() const {
  return folder_.progress->refused.count(key_) != 0;
}

}  // namespace lodemig
