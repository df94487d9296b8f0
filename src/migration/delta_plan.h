#ifndef LODEMIG_MIGRATION_DELTA_PLAN_H_
#define LODEMIG_MIGRATION_DELTA_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "migration/journal_db.h"

namespace lodemig {

// A store message as a delta pass sees it: its identity and flag text.
struct SurveyedMessage {
  std::string identity;
  std::string flags;
  std::uint64_t size = 0;  // in the store
};

// One flag word to add to, or take from, target messages.
struct FlagChange {
  bool add = true;
  std::string flag;                 // "\Seen"
  std::vector<std::uint64_t> uids;  // ascending
};

// What a delta pass has to do in one folder, from the journal's records of
// it and the store's messages as they are now. Store messages and stored
// records are paired by identity, the k-th message of an identity with its
// k-th record: a message the store holds twice was sent twice. A message
// without a record is new (the folder walk sends it, or finds it on the
// target); a paired one whose flags differ from its record's has its flags
// changed on the target; a record without a message names one the store no
// longer holds. Refused records pair with nothing: those messages are sent
// again. A store message without an identity (it could not be read) may be
// any record's: then no record is taken for gone.
class DeltaPlan {
 public:
  DeltaPlan(const std::vector<JournalMessage>& records, const std::vector<SurveyedMessage>& store);

  // How many store messages have no record, and their bytes in the store.
  std::int64_t newMessages() const { return newMessages_; }
  std::uint64_t newBytes() const { return newBytes_; }
  // The paired records whose flags change, with the flags they get.
  struct Changed {
    JournalMessage record;
    std::string flags;
  };
  const std::vector<Changed>& changed() const { return changed_; }
  // The stored records whose message the store no longer holds.
  const std::vector<JournalMessage>& gone() const { return gone_; }
  bool nothingToDo() const { return newMessages_ == 0 && changed_.empty() && gone_.empty(); }

  // The changes as commands: for every system flag, the target UIDs that
  // gain it and those that lose it. Records that name no target UID are
  // left out (`withoutUid` counts them). \Recent is no client's to set.
  std::vector<FlagChange> flagCommands(std::int64_t& withoutUid) const;

 private:
  std::int64_t newMessages_ = 0;
  std::uint64_t newBytes_ = 0;
  std::vector<Changed> changed_;
  std::vector<JournalMessage> gone_;
};

// The flag words of an IMAP flag text ("\Seen \Answered " -> {"\Seen",
// "\Answered"}), without \Recent.
std::vector<std::string> flagWords(const std::string& flags);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_DELTA_PLAN_H_
