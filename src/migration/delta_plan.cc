#include "migration/delta_plan.h"

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_map>

namespace lodemig {

std::vector<std::string> flagWords(const std::string& flags) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < flags.size()) {
    const std::size_t end = std::min(flags.find(' ', at), flags.size());
    if (end > at) {
      std::string word = flags.substr(at, end - at);
      if (word != "\\Recent" && std::find(words.begin(), words.end(), word) == words.end()) {
        words.push_back(std::move(word));
      }
    }
    at = end + 1;
  }
  return words;
}

namespace {

bool sameFlags(const std::string& a, const std::string& b) {
  if (a == b) {
    return true;
  }
  std::vector<std::string> left = flagWords(a);
  std::vector<std::string> right = flagWords(b);
  std::sort(left.begin(), left.end());
  std::sort(right.begin(), right.end());
  return left == right;
}

}  // namespace

DeltaPlan::DeltaPlan(const std::vector<JournalMessage>& records,
                     const std::vector<SurveyedMessage>& store) {
  // The stored records of each identity, oldest first: the k-th message of
  // an identity takes the k-th record.
  std::unordered_map<std::string, std::deque<const JournalMessage*>> unpaired;
  for (const JournalMessage& record : records) {
    if (record.stored) {
      unpaired[record.identity].push_back(&record);
    }
  }
  for (const SurveyedMessage& message : store) {
    auto found = unpaired.find(message.identity);
    if (found == unpaired.end() || found->second.empty()) {
      ++newMessages_;
      newBytes_ += message.size;
      continue;
    }
    const JournalMessage& record = *found->second.front();
    found->second.pop_front();
    if (!sameFlags(record.flags, message.flags)) {
      changed_.push_back({record, message.flags});
    }
  }
  // A message that could not be read has no identity: any record may be
  // its, so none is taken for gone.
  if (std::any_of(store.begin(), store.end(),
                  [](const SurveyedMessage& message) { return message.identity.empty(); })) {
    return;
  }
  // In the order the records were made, which is the order they were sent.
  for (const JournalMessage& record : records) {
    auto found = unpaired.find(record.identity);
    if (record.stored && found != unpaired.end() && !found->second.empty() &&
        found->second.front() == &record) {
      found->second.pop_front();
      gone_.push_back(record);
    }
  }
}

std::vector<FlagChange> DeltaPlan::flagCommands(std::int64_t& withoutUid) const {
  withoutUid = 0;
  // (add, flag) -> UIDs; ordered, so that the commands come in one order.
  std::map<std::pair<bool, std::string>, std::vector<std::uint64_t>> commands;
  for (const Changed& change : changed_) {
    if (change.record.targetUid <= 0) {
      ++withoutUid;
      continue;
    }
    const auto uid = static_cast<std::uint64_t>(change.record.targetUid);
    const std::vector<std::string> before = flagWords(change.record.flags);
    const std::vector<std::string> after = flagWords(change.flags);
    for (const std::string& word : after) {
      if (std::find(before.begin(), before.end(), word) == before.end()) {
        commands[{true, word}].push_back(uid);
      }
    }
    for (const std::string& word : before) {
      if (std::find(after.begin(), after.end(), word) == after.end()) {
        commands[{false, word}].push_back(uid);
      }
    }
  }
  std::vector<FlagChange> result;
  for (auto& [key, uids] : commands) {
    std::sort(uids.begin(), uids.end());
    result.push_back({key.first, key.second, std::move(uids)});
  }
  return result;
}

}  // namespace lodemig
