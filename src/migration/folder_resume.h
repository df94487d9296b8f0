#ifndef LODEMIG_MIGRATION_FOLDER_RESUME_H_
#define LODEMIG_MIGRATION_FOLDER_RESUME_H_

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "imap/uid_response.h"
#include "migration/journal.h"
#include "migration/reporter.h"

namespace lodemig {

// What a store message looks like to a server that holds it: the bytes the
// run sends, the date it gives, the Message-ID in its header ("" without
// one). With its store identity.
struct StoreFingerprint {
  std::string identity;
  std::string legacyKey;  // its text journal key, for folders begun in one
  std::string messageId;
  std::uint64_t size = 0;
  std::int64_t date = -1;  // seconds since 1970 UTC
  // The journal records it as stored, naming its target UID or not.
  bool recorded = false;
  bool recordedWithoutUid = false;
};

// Matches store messages with the messages a target folder holds, as
// multisets of fingerprints (Message-ID, size, date; a store message without
// a date matches any, since the server gave it its own): every target message
// stands for at most one store message, and a store message that is there
// twice in the store needs two target messages. `target` loses the entries
// matched. The store messages recorded without a target UID take theirs
// first: an unrecorded copy of the same message must not take one of them.
// Returns, by identity, the UIDs of the target messages matched with store
// messages that are not recorded, in store order.
std::unordered_map<std::string, std::deque<std::uint64_t>> matchFingerprints(
    const std::vector<StoreFingerprint>& store, std::vector<MessageFingerprint>& target);

// The target messages that double a store message: for each fingerprint the
// store holds k times, the target's copies beyond max(k, those it held below
// `fromUid`), taken among the UIDs at or above `fromUid` that `ours` does
// not name first, then from the highest. Mail whose fingerprint no store
// message has is never named.
std::vector<std::uint64_t> doublesOf(const std::vector<StoreFingerprint>& store,
                                     const std::vector<MessageFingerprint>& target,
                                     std::uint64_t fromUid, const std::vector<std::uint64_t>& ours);

// How many of `target`'s messages from `fromUid` on look like no store
// message: mail someone else delivered.
std::int64_t foreignCount(const std::vector<StoreFingerprint>& store,
                          const std::vector<MessageFingerprint>& target, std::uint64_t fromUid);

// What one folder sends, decided by identity: a message the journal records
// as stored, or that the target is found to hold, is not sent again; one the
// target refused in this run is not sent on a new connection of it. Every
// other message is sent. The decisions come in three steps:
//   begin()  the journal's records of the folder;
//   plan()   the target folder's state: what must be asked of it (nothing
//            for a folder that is new and empty there);
//   match()  (when plan() asks) the target's listing against the store's.
// Where the target cannot list its messages, countInstead() takes the count
// the journal recorded and skips as many unrecorded messages as arrived.
//
// `reporter` must outlive the object, the journal given to begin() until the
// folder ends. Used by one thread. Record failures throw as Journal's do.
class FolderResume {
 public:
  // `keepUids`: remember the UIDs of the messages stored, for the check of
  // a folder after a lost connection.
  FolderResume(Reporter& reporter, bool keepUids) : reporter_(reporter), keepUids_(keepUids) {}
  FolderResume(const FolderResume&) = delete;
  FolderResume& operator=(const FolderResume&) = delete;

  // Begins `folder` of `account` with the journal's records of it.
  void begin(Journal& journal, const std::string& account, const std::string& folder);
  // The target folder `targetName` holds what `state` says before the first
  // append. Records that state when no earlier run began the folder. Returns
  // the UID from which the target's messages are to be listed, 0 when none
  // need be (a folder new and empty on the target, or one where nothing
  // arrived beyond the journal's records).
  std::uint64_t plan(const std::string& targetName, const FolderUidState& state);
  // The folder's messages in store order (their roles are set here), and
  // the target's listing from plan()'s UID on.
  void match(std::vector<StoreFingerprint>& store, std::vector<MessageFingerprint> target);
  // The target could not list its messages: what arrived after the journal's
  // last record is counted from `targetCount`, as `countUnrecorded` walks
  // the store, and as many unrecorded messages are skipped.
  template <typename CountUnrecorded>
  void countInstead(std::int64_t targetCount, CountUnrecorded countUnrecorded);
  // Whether the journal has the message as stored or refused.
  bool recorded(const std::string& identity, const std::string& legacyKey) const;

  enum class Decision { Send, Recorded, Matched, RefusedBefore };
  // What becomes of the next message of the walk. Matched messages are
  // recorded as stored with their target UID. `legacyKey` is asked for only
  // when the journal was imported from a text journal.
  template <typename LegacyKey>
  Decision decide(const std::string& identity, LegacyKey legacyKey) {
    return decideWith(identity, imported_ ? legacyKey() : std::string());
  }
  // Whether decisions need the messages' identities at all.
  bool needsIdentities() const { return needsIdentities_; }
  // The target UID of the message decide() last found Matched; 0 when
  // counting found it.
  std::uint64_t lastMatchedUid() const { return lastMatchedUid_; }
  // The first APPENDUID of a folder whose start named no UIDVALIDITY (one
  // the private target has just made): the folder's UIDs are known from it.
  bool wantsFolderUids() const { return journal_ != nullptr && folder_.uidValidity() <= 0; }
  void learnFolderUids(std::uint64_t uidValidity, std::uint64_t uid);
  // Records a message sent: stored (with the UID the target gave, 0 for
  // none) or refused.
  void record(const std::string& identity, std::int64_t size, const std::string& flags,
              std::uint64_t targetUid, bool stored);

  // The folder has ended; when `whole` (nothing failed or was refused) the
  // journal records it as done.
  void finish(bool whole);
  // What the journal holds of the folder begun, for a delta pass to compare
  // and update.
  JournalDbFolder& records() { return folder_; }
  Journal* journal() const { return journal_; }
  // Whether the folder's records come from a text journal: keyed by place
  // in the store, not by identity.
  bool imported() const { return imported_; }

  // The target folder's UIDNEXT before the run's first append to it; 0 when
  // unknown.
  std::uint64_t startUid() const;
  // The target UIDs this run and the journal name as the folder's.
  std::vector<std::uint64_t> ownUids() const;
  // Whether plan() found anything to reconcile: the log then gets the
  // folder's figures.
  bool reconciled() const { return reconciled_; }
  // Whether countInstead() stood in for the target's listing.
  bool counted() const { return counted_; }
  std::int64_t matched() const { return matched_; }

 private:
  Decision decideWith(const std::string& identity, const std::string& legacyKey);
  // Sets the roles of `store`'s messages from the journal's records.
  void classify(std::vector<StoreFingerprint>& store) const;
  void noteCounted(std::int64_t arrived, std::int64_t unrecorded);
  // Takes one copy of `key` from `left` when it has any.
  static bool take(std::unordered_map<std::string, int>& left, const std::string& key);

  Reporter& reporter_;
  const bool keepUids_;
  Journal* journal_ = nullptr;
  JournalDbFolder folder_;
  std::string targetName_;
  bool imported_ = false;         // records with text-journal keys
  bool needsIdentities_ = false;  // a journal file, or anything to match
  bool reconciled_ = false;
  bool counted_ = false;
  bool refusals_ = false;  // the run's target refused messages of the folder
  std::int64_t matched_ = 0;
  std::uint64_t lastMatchedUid_ = 0;
  // Target UIDs the journal records, and those this run stored (kept with
  // keepUids).
  std::vector<std::uint64_t> recordedUids_;
  std::vector<std::uint64_t> ourUids_;
  // Recorded copies that name no target UID, by identity or text key.
  std::unordered_map<std::string, int> noUidLeft_;
  // Copies still to skip: recorded as stored (by identity or text key).
  std::unordered_map<std::string, int> recordedLeft_;
  // Matched target UIDs still to meet, by identity.
  std::unordered_map<std::string, std::deque<std::uint64_t>> matchedLeft_;
  // Unrecorded messages that arrived, as counting found, still to meet.
  std::int64_t arrivedLeft_ = 0;
  // How often each identity was met by this walk, for refusals of this run.
  std::unordered_map<std::string, int> refusedMet_;
};

template <typename CountUnrecorded>
void FolderResume::countInstead(std::int64_t targetCount, CountUnrecorded countUnrecorded) {
  reconciled_ = true;
  counted_ = true;
  const std::int64_t before = folder_.countBefore() < 0 ? 0 : folder_.countBefore();
  const std::int64_t arrived = targetCount - before - folder_.storedCount();
  noteCounted(arrived, arrived > 0 ? countUnrecorded() : 0);
}

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FOLDER_RESUME_H_
