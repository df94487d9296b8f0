#ifndef LODEMIG_MIGRATION_FOLDER_RESUME_H_
#define LODEMIG_MIGRATION_FOLDER_RESUME_H_

#include <cstdint>
#include <functional>
#include <string>

#include "migration/journal.h"
#include "migration/reporter.h"
#include "store/message.h"

namespace lodemig {

// What the journal decides for the messages of one folder: which are not
// sent (again), and the records of those that are.
//
// A folder that no earlier run began gets its target count recorded before
// the first append. A folder an earlier run began is compared with it: the
// target's count now, less the count then and the stored records, is what
// arrived after the last record that reached the disk. Those arrivals are the
// first unrecorded messages in store order (the refused ones aside), so they
// are recorded as stored and skipped. When the count cannot be explained so
// (fewer arrivals than nothing, more than the folder has unrecorded, or a
// target that gave no count) the unrecorded messages are sent again: a
// message twice is better than one lost.
//
// `reporter` must outlive the object, the journal given to start() until
// the folder ends. Used by one thread. Record failures throw as Journal's do.
class FolderResume {
 public:
  // `keepKeys`: remember the keys recorded, for a new connection of this run.
  FolderResume(Reporter& reporter, bool keepKeys) : reporter_(reporter), keepKeys_(keepKeys) {}
  FolderResume(const FolderResume&) = delete;
  FolderResume& operator=(const FolderResume&) = delete;

  // Begins `folder` of `account`, whose target folder holds `targetCount`
  // messages (-1: the server did not say). `countUnrecorded` counts the
  // folder's messages that recorded() denies; it is called only when the
  // count must be explained. With a journal that is off, nothing is skipped
  // or recorded.
  void start(Journal& journal, const std::string& account, const std::string& folder,
             std::int64_t targetCount, const std::function<std::int64_t()>& countUnrecorded);
  // Whether the journal names the message as stored or refused.
  bool recorded(const MessageKey& key);

  // Makes `key` the current message; true when it is not to be sent. skip()
  // also records an unrecorded arrival as stored; wouldSkip() records nothing.
  bool skip(const MessageKey& key);
  bool wouldSkip(const MessageKey& key);
  // The current message's key as the journal writes it ("" when off), and a
  // key kept from it made current again.
  const std::string& currentKey() const { return key_; }
  void makeCurrent(const std::string& key) { key_ = key; }
  // Records the current message as stored or refused by the target.
  void record(bool stored);

  // The folder has ended; when `whole` (nothing failed or was refused) the
  // journal records it as done.
  void finish(bool whole);

 private:
  // Compares the target's count with the journal's for a folder begun before.
  void explainCount(std::int64_t targetCount, const std::function<std::int64_t()>& countUnrecorded);
  bool storedBefore() const;
  bool refusedBefore() const;

  Reporter& reporter_;
  const bool keepKeys_;
  Journal* journal_ = nullptr;
  JournalFolder folder_;
  // Unrecorded messages that arrived before an interruption, still to meet.
  std::int64_t arrivedUnrecorded_ = 0;
  std::string key_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FOLDER_RESUME_H_
