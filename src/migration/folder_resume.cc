#include "migration/folder_resume.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace lodemig {
namespace {

// What a server keeps of a message that tells it from others: its
// Message-ID, date and size.
using FingerprintKey = std::tuple<std::string, std::int64_t, std::uint64_t>;

FingerprintKey keyOf(const StoreFingerprint& message) {
  return {message.messageId, message.date, message.size};
}

FingerprintKey keyOf(const MessageFingerprint& message) {
  return {message.messageId, message.date, message.size};
}

}  // namespace

std::unordered_map<std::string, std::deque<std::uint64_t>> matchFingerprints(
    const std::vector<StoreFingerprint>& store, std::vector<MessageFingerprint>& target) {
  // Target entries by Message-ID and size, in UID order; the date is looked
  // at per entry, since a store message without one was given the server's.
  std::map<std::pair<std::string, std::uint64_t>, std::vector<std::size_t>> held;
  for (std::size_t i = 0; i < target.size(); ++i) {
    held[{target[i].messageId, target[i].size}].push_back(i);
  }
  std::vector<bool> taken(target.size(), false);
  const auto take = [&](const StoreFingerprint& message) -> std::size_t {
    auto found = held.find({message.messageId, message.size});
    if (found == held.end()) {
      return target.size();
    }
    std::vector<std::size_t>& candidates = found->second;
    for (auto at = candidates.begin(); at != candidates.end(); ++at) {
      if (message.date < 0 || target[*at].date == message.date) {
        const std::size_t index = *at;
        candidates.erase(at);
        taken[index] = true;
        return index;
      }
    }
    return target.size();
  };
  for (const StoreFingerprint& message : store) {
    if (message.recordedWithoutUid) {
      take(message);
    }
  }
  std::unordered_map<std::string, std::deque<std::uint64_t>> matched;
  for (const StoreFingerprint& message : store) {
    if (!message.recordedWithoutUid && !message.recorded) {
      const std::size_t index = take(message);
      if (index < target.size()) {
        matched[message.identity].push_back(target[index].uid);
      }
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (!taken[i]) {
      target[kept++] = target[i];
    }
  }
  target.resize(kept);
  return matched;
}

std::vector<std::uint64_t> doublesOf(const std::vector<StoreFingerprint>& store,
                                     const std::vector<MessageFingerprint>& target,
                                     std::uint64_t fromUid,
                                     const std::vector<std::uint64_t>& ours) {
  std::map<FingerprintKey, std::int64_t> inStore;
  for (const StoreFingerprint& message : store) {
    ++inStore[keyOf(message)];
  }
  struct Held {
    std::int64_t below = 0;                // copies the folder held before the run
    std::vector<std::uint64_t> unclaimed;  // from fromUid on, not named by `ours`
    std::vector<std::uint64_t> claimed;
  };
  const std::set<std::uint64_t> own(ours.begin(), ours.end());
  std::map<FingerprintKey, Held> held;
  for (const MessageFingerprint& message : target) {
    auto counted = inStore.find(keyOf(message));
    if (counted == inStore.end()) {
      continue;  // no store message looks like it: someone else's mail
    }
    Held& copies = held[counted->first];
    if (message.uid < fromUid) {
      ++copies.below;
    } else {
      (own.count(message.uid) != 0 ? copies.claimed : copies.unclaimed).push_back(message.uid);
    }
  }
  std::vector<std::uint64_t> doubles;
  for (auto& [key, copies] : held) {
    const std::int64_t wanted = std::max(inStore[key], copies.below);
    std::int64_t extra =
        copies.below + static_cast<std::int64_t>(copies.unclaimed.size() + copies.claimed.size()) -
        wanted;
    // Those the run did not record go first, the newest first.
    for (auto* pool : {&copies.unclaimed, &copies.claimed}) {
      std::sort(pool->rbegin(), pool->rend());
      for (std::size_t i = 0; i < pool->size() && extra > 0; ++i, --extra) {
        doubles.push_back((*pool)[i]);
      }
    }
  }
  std::sort(doubles.begin(), doubles.end());
  return doubles;
}

std::int64_t foreignCount(const std::vector<StoreFingerprint>& store,
                          const std::vector<MessageFingerprint>& target, std::uint64_t fromUid) {
  std::set<std::pair<std::string, std::uint64_t>> inStore;
  for (const StoreFingerprint& message : store) {
    inStore.insert({message.messageId, message.size});
  }
  std::int64_t foreign = 0;
  for (const MessageFingerprint& message : target) {
    if (message.uid >= fromUid && inStore.count({message.messageId, message.size}) == 0) {
      ++foreign;
    }
  }
  return foreign;
}

void FolderResume::begin(Journal& journal, const std::string& account, const std::string& folder) {
  // Without a file a new connection of the run meets the folder again with
  // what the run itself learnt of it; with one, the database has it all.
  const bool again = !journal.hasFile() && journal_ == &journal && folder_.account() == account &&
                     folder_.folder() == folder;
  if (!again) {
    folder_ = journal.beginFolder(account, folder);
    ourUids_.clear();
  }
  journal_ = &journal;
  recordedUids_.clear();
  recordedLeft_.clear();
  noUidLeft_.clear();
  matchedLeft_.clear();
  refusedMet_.clear();
  arrivedLeft_ = 0;
  matched_ = 0;
  reconciled_ = false;
  counted_ = false;
  imported_ = false;
  lastMatchedUid_ = 0;
  for (const JournalMessage& message : folder_.messages()) {
    if (message.identity.find('\t') != std::string::npos) {
      imported_ = true;  // a text journal's key
    }
    if (!message.stored) {
      continue;
    }
    ++recordedLeft_[message.identity];
    if (message.targetUid < 0) {
      ++noUidLeft_[message.identity];
    } else {
      recordedUids_.push_back(static_cast<std::uint64_t>(message.targetUid));
    }
  }
  refusals_ = journal.anyRefusedInRun(account, folder);
  needsIdentities_ = journal.hasFile() || !recordedLeft_.empty() || refusals_;
}

std::uint64_t FolderResume::plan(const std::string& targetName, const FolderUidState& state) {
  targetName_ = targetName;
  const bool begunBefore = folder_.countBefore() >= 0;
  if (!begunBefore) {
    // On the disk before the first append: a later run lists only what
    // arrived after it.
    journal_->folderStart(
        reporter_, folder_, targetName,
        state.uidValidity != 0 ? static_cast<std::int64_t>(state.uidValidity) : -1,
        state.uidNext != 0 ? static_cast<std::int64_t>(state.uidNext) : -1,
        std::max<std::int64_t>(state.messages, 0));
  }
  if (state.messages == 0) {
    // Nothing there: records of stored messages name messages the target
    // no longer has (the folder was removed), so they are sent again.
    if (!recordedLeft_.empty()) {
      recordedLeft_.clear();
      noUidLeft_.clear();
      reconciled_ = true;
    }
    return 0;
  }
  const bool sameFolder = folder_.uidValidity() > 0 && state.uidValidity != 0 &&
                          folder_.uidValidity() == static_cast<std::int64_t>(state.uidValidity);
  std::uint64_t from = 1;
  if (begunBefore && folder_.uidValidity() > 0 && state.uidValidity != 0 && !sameFolder) {
    // Made anew since: the records' UIDs are another folder's, and what it
    // holds is found by fingerprint alone.
    recordedLeft_.clear();
    noUidLeft_.clear();
    recordedUids_.clear();
  } else if (begunBefore && sameFolder && folder_.uidNext() > 0) {
    from = static_cast<std::uint64_t>(folder_.uidNext());
    if (noUidLeft_.empty()) {
      // Answers come in order: what the run sent and did not record lies
      // above the last UID it recorded.
      for (std::uint64_t uid : recordedUids_) {
        from = std::max(from, uid + 1);
      }
    }
    if (state.uidNext != 0 && from >= state.uidNext) {
      return 0;  // nothing arrived beyond the records
    }
  }
  reconciled_ = true;
  needsIdentities_ = true;
  return from;
}

void FolderResume::classify(std::vector<StoreFingerprint>& store) const {
  std::unordered_map<std::string, int> recorded = recordedLeft_;
  std::unordered_map<std::string, int> noUid = noUidLeft_;
  for (StoreFingerprint& message : store) {
    const bool byIdentity = take(recorded, message.identity);
    const bool byKey = !byIdentity && imported_ && take(recorded, message.legacyKey);
    message.recorded = byIdentity || byKey;
    message.recordedWithoutUid =
        message.recorded && take(noUid, byIdentity ? message.identity : message.legacyKey);
    if (message.recordedWithoutUid) {
      message.recorded = false;
    }
  }
}

void FolderResume::match(std::vector<StoreFingerprint>& store,
                         std::vector<MessageFingerprint> target) {
  // The UIDs the journal names hold the messages it records, whatever they
  // look like.
  const std::set<std::uint64_t> own(recordedUids_.begin(), recordedUids_.end());
  target.erase(std::remove_if(target.begin(), target.end(),
                              [&](const MessageFingerprint& held) { return own.count(held.uid); }),
               target.end());
  classify(store);
  matchedLeft_ = matchFingerprints(store, target);
}

void FolderResume::noteCounted(std::int64_t arrived, std::int64_t unrecorded) {
  const std::string where = "folder \"" + folder_.folder() + "\" of <" + folder_.account() + ">";
  reporter_.log("Warning: " + where +
                ": the target cannot list its messages: what arrived is counted instead\n");
  if (arrived == 0) {
    return;
  }
  if (arrived < 0 || arrived > unrecorded || folder_.countBefore() < 0) {
    reporter_.log("Warning: " + where +
                  " does not hold the messages the journal accounts "
                  "for: its unrecorded messages are sent again\n");
    return;
  }
  arrivedLeft_ = arrived;
  reporter_.log("Info: " + std::to_string(arrived) + " messages of " + where +
                " arrived before the interruption: recorded, not sent again\n");
}

bool FolderResume::recorded(const std::string& identity, const std::string& legacyKey) const {
  const auto has = [&](const std::string& key) {
    auto found = recordedLeft_.find(key);
    return found != recordedLeft_.end() && found->second > 0;
  };
  return has(identity) || (imported_ && has(legacyKey)) ||
         journal_->refusedInRun(folder_.account(), folder_.folder(), identity) > 0;
}

bool FolderResume::take(std::unordered_map<std::string, int>& left, const std::string& key) {
  if (left.empty()) {
    return false;
  }
  auto found = left.find(key);
  if (found == left.end() || found->second == 0) {
    return false;
  }
  --found->second;
  return true;
}

FolderResume::Decision FolderResume::decideWith(const std::string& identity,
                                                const std::string& legacyKey) {
  if (take(recordedLeft_, identity) || (imported_ && take(recordedLeft_, legacyKey))) {
    return Decision::Recorded;
  }
  if (!matchedLeft_.empty()) {
    auto found = matchedLeft_.find(identity);
    if (found != matchedLeft_.end() && !found->second.empty()) {
      lastMatchedUid_ = found->second.front();
      found->second.pop_front();
      ++matched_;
      return Decision::Matched;
    }
  }
  const int refused =
      refusals_ ? journal_->refusedInRun(folder_.account(), folder_.folder(), identity) : 0;
  if (refused > 0 && refusedMet_[identity]++ < refused) {
    return Decision::RefusedBefore;
  }
  if (arrivedLeft_ > 0) {
    // Counting: the first unrecorded messages are those that arrived.
    --arrivedLeft_;
    lastMatchedUid_ = 0;
    ++matched_;
    return Decision::Matched;
  }
  return Decision::Send;
}

void FolderResume::record(const std::string& identity, std::int64_t size, const std::string& flags,
                          std::uint64_t targetUid, bool stored) {
  if (journal_ == nullptr) {
    return;
  }
  if (stored && targetUid != 0 && keepUids_) {
    ourUids_.push_back(targetUid);
  }
  journal_->message(
      reporter_, folder_,
      {identity, size, flags, targetUid != 0 ? static_cast<std::int64_t>(targetUid) : -1, stored});
}

void FolderResume::finish(bool whole) {
  if (journal_ != nullptr && whole) {
    journal_->endFolder(reporter_, folder_);
  }
  journal_ = nullptr;
  folder_ = JournalDbFolder();
  ourUids_.clear();
  ourUids_.shrink_to_fit();
  recordedUids_.clear();
  recordedUids_.shrink_to_fit();
  recordedLeft_.clear();
  noUidLeft_.clear();
  matchedLeft_.clear();
  refusedMet_.clear();
  arrivedLeft_ = 0;
}

std::vector<std::uint64_t> FolderResume::ownUids() const {
  std::vector<std::uint64_t> uids = recordedUids_;
  uids.insert(uids.end(), ourUids_.begin(), ourUids_.end());
  return uids;
}

std::uint64_t FolderResume::startUid() const {
  return folder_.uidNext() > 0 ? static_cast<std::uint64_t>(folder_.uidNext()) : 0;
}

}  // namespace lodemig
