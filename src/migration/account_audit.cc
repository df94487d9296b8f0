#include "migration/account_audit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>

#include "migration/account_folders.h"
#include "migration/target_names.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

// The figures a migration's duration is estimated from, as the benchmark
// measures them on a 2-core machine: client time per message besides its
// round trip, commands per account besides its messages, and the bytes a
// connection carries per second.
constexpr double kSecondsPerMessage = 30e-6;
constexpr int kRoundTripsPerAccount = 8;
constexpr double kBytesPerSecond = 100e6;
constexpr int kRoundTripSamples = 5;

// The name two target folders are the same under: INBOX, the first level,
// in any case.
std::string collisionKey(const std::string& targetName) {
  const std::size_t slash = targetName.find('/');
  const std::string first = targetName.substr(0, slash);
  if (ostrel::utils::equalsIgnoreCase(first, "INBOX")) {
    return "INBOX" + (slash == std::string::npos ? std::string() : targetName.substr(slash));
  }
  return targetName;
}

// The entries of `from` that `in` does not match, both sorted.
template <typename T>
std::size_t unmatched(const std::vector<T>& from, const std::vector<T>& in) {
  std::vector<T> rest;
  std::set_difference(from.begin(), from.end(), in.begin(), in.end(), std::back_inserter(rest));
  return rest.size();
}

std::string quoted(const std::string& name) {
  return "\"" + name + "\"";
}

// A row of a folder that is not subscribed: failed, whatever else it says.
void markUnsubscribed(ReportRow& row) {
  constexpr char kText[] = "the folder is not subscribed on the target";
  if (row.verdict == Verdict::Ok) {
    row.verdict = Verdict::Failed;
    // Mail of others left out, if it said so, is still worth reading.
    row.error = row.error.empty() ? kText : std::string(kText) + "; " + row.error;
  } else {
    row.error += std::string("; ") + kText;
  }
}

}  // namespace

std::vector<std::vector<std::string>> collidingFolders(
    const std::vector<Folder>& folders,
    const std::function<std::string(const std::string&)>& targetName) {
  std::map<std::string, std::vector<std::string>> byTarget;
  std::vector<std::string> order;
  for (const Folder& folder : folders) {
    const std::string key = collisionKey(targetName(folder.name()));
    std::vector<std::string>& names = byTarget[key];
    if (names.size() == 1) {
      order.push_back(key);
    }
    names.push_back(folder.name());
  }
  std::vector<std::vector<std::string>> groups;
  for (const std::string& key : order) {
    groups.push_back(byTarget[key]);
  }
  return groups;
}

std::vector<MessageSummary> withoutForeign(const std::vector<MessageSummary>& store,
                                           const std::vector<MessageSummary>& target) {
  // The dates of the store's messages by size; -1 stands for any date.
  std::multimap<std::uint64_t, std::int64_t> dates;
  for (const MessageSummary& message : store) {
    dates.emplace(message.size, message.date);
  }
  std::vector<MessageSummary> ours;
  for (const MessageSummary& message : target) {
    const auto [first, last] = dates.equal_range(message.size);
    if (std::any_of(first, last, [&](const auto& entry) {
          return entry.second < 0 || entry.second == message.date;
        })) {
      ours.push_back(message);
    }
  }
  return ours;
}

FolderComparison compareMessages(const std::vector<MessageSummary>& store,
                                 const std::vector<MessageSummary>& all) {
  FolderComparison result;
  // Mail others delivered looks like no store message; a second copy of a
  // store message does, and stays to be counted.
  const std::vector<MessageSummary> target =
      all.size() > store.size() ? withoutForeign(store, all) : all;
  result.foreign = static_cast<std::int64_t>(all.size() - target.size());
  if (store.size() != target.size()) {
    result.verdict = target.size() < store.size() ? Verdict::Missing : Verdict::Extra;
    result.error = "the target holds " + std::to_string(target.size()) + " messages, " +
                   std::to_string(store.size()) + " in the store";
    return result;
  }
  std::vector<std::pair<std::uint64_t, unsigned>> storeKeys, targetKeys;
  std::vector<std::int64_t> storeDates, targetDates;
  for (const MessageSummary& message : store) {
    storeKeys.emplace_back(message.size, message.flags);
    if (message.date >= 0) {
      storeDates.push_back(message.date);
    }
  }
  for (const MessageSummary& message : target) {
    targetKeys.emplace_back(message.size, message.flags);
    targetDates.push_back(message.date);
  }
  std::sort(storeKeys.begin(), storeKeys.end());
  std::sort(targetKeys.begin(), targetKeys.end());
  std::sort(storeDates.begin(), storeDates.end());
  std::sort(targetDates.begin(), targetDates.end());
  const std::size_t differing =
      std::max(unmatched(storeKeys, targetKeys), unmatched(storeDates, targetDates));
  if (differing > 0) {
    result.verdict = Verdict::Failed;
    result.error = std::to_string(differing) + " of " + std::to_string(store.size()) +
                   " messages differ in size, date or flags";
  } else if (result.foreign > 0) {
    result.error = std::to_string(result.foreign) +
                   " messages that look like no store message (others delivered them) are left "
                   "out";
  }
  return result;
}

std::vector<MessageSummary> storeSummaries(Folder& folder, const Mailbox& mailbox) {
  std::vector<MessageSummary> summaries;
  if (folder.messageCount() <= 0) {
    return summaries;  // a migration reads no further either
  }
  Message message(&folder);
  FolderReading reading(folder);
  long number = 1;
  try {
    folder.open(mailbox.name());
    for (bool more = folder.firstMessage(message); more; more = folder.nextMessage(message)) {
      MessageSummary summary;
      summary.size = message.contentSize();
      summary.flags = systemFlagBits(message.flags());
      if (!parseImapDateTime(message.internalDate(), summary.date)) {
        summary.date = -1;
      }
      summaries.push_back(summary);
      ++number;
    }
  } catch (const std::runtime_error& error) {
    throw QLStoreException("message " + std::to_string(number) + ": " + error.what());
  }
  return summaries;
}

AccountAudit::AccountAudit(const MigrationSettings& settings, const ConnectionSettings& connection,
                           ImapGateway& gateway, Reporter& reporter, RunReport& report)
    : settings_(settings),
      connection_(connection),
      gateway_(gateway),
      reporter_(reporter),
      report_(&report),
      noPasswords_(reporter),
      migrationTarget_(makeMigrationTarget(settings, connection, gateway, reporter, noPasswords_)),
      dav_(settings, reporter) {}

std::string AccountAudit::targetNameOf(const std::string& storeName) const {
  return migrationTarget_->place(storeName).wireName;
}

std::int64_t AccountAudit::targetCount(const std::string& name) {
  std::int64_t count = -1;
  if (checkResult(reporter_, TargetStep::Select, gateway_.select(name, &count), name) ==
      StepOutcome::Refused) {
    return -1;
  }
  return std::max<std::int64_t>(count, 0);
}

bool AccountAudit::verify(Mailbox& mailbox) {
  account_ = mailbox.name() + "@" + mailbox.domainName();
  AccountFolders list = readAccountFolders(mailbox, settings_.migrateUnlisted);
  sayUnlistedFolders(list, mailbox, reporter_);
  if (!migrationTarget_->actAs(mailbox)) {
    reporter_.print("Error: <" + account_ + "> is not on " + targetServerWord(connection_) + "\n");
    ReportRow row;
    row.domain = mailbox.domainName();
    row.account = account_;
    row.verdict = Verdict::Missing;
    row.error = "the account is not on the target";
    report_->add(row);
    report_->endAccount(true, true);
    return false;
  }
  // A folder left out is a difference between the store and the target.
  bool matched = list.unlistedTaken || list.unlisted.empty();
  if (!list.unlistedTaken) {
    for (const DiskFolder& unlisted : list.unlisted) {
      report_->add(unlistedFolderRow(mailbox, unlisted));
    }
  }
  try {
    for (const std::vector<Folder*>& group : mergedGroups(list.folders)) {
      matched = verifyGroup(group, mailbox) && matched;
    }
    if (!settings_.dav.url.empty()) {
      matched = dav_.verify(list.folders, mailbox, *report_) && matched;
    }
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
  gateway_.disconnect(true);
  report_->endAccount(true, !matched);
  return matched;
}

std::vector<std::vector<Folder*>> AccountAudit::mergedGroups(std::vector<Folder>& folders) const {
  std::vector<std::vector<Folder*>> groups;
  std::map<std::string, std::size_t> byTarget;
  for (Folder& folder : folders) {
    if (!migrationTarget_->keeps(folder)) {
      continue;  // a migration leaves it out by design
    }
    folder.setFixCrLf(settings_.fixCrLf);
    const std::string key = collisionKey(targetNameOf(folder.name()));
    const auto [at, added] = byTarget.emplace(key, groups.size());
    if (added) {
      groups.emplace_back();
    }
    groups[at->second].push_back(&folder);
  }
  return groups;
}

bool AccountAudit::verifyGroup(const std::vector<Folder*>& group, const Mailbox& mailbox) {
  const FolderPlace place = migrationTarget_->place(group.front()->name());
  const std::string& targetName = place.shownName;
  std::string names;
  for (const Folder* folder : group) {
    names += (names.empty() ? "" : " and ") + quoted(folder->name());
  }
  if (group.size() > 1) {
    reporter_.print("   Info: folders " + names + " go into " + quoted(targetName) +
                    ": compared together\n");
  }
  std::vector<ReportRow> rows;
  store_.clear();
  std::string storeError;
  for (Folder* folder : group) {
    rows.push_back(readStoreFolder(*folder, mailbox, targetName, group.size() == 1));
    if (storeError.empty() && !rows.back().error.empty()) {
      storeError =
          group.size() == 1 ? rows.back().error : quoted(folder->name()) + ": " + rows.back().error;
    }
  }
  const FolderComparison comparison = compareWithTarget(place.wireName, storeError, rows.front());
  // A folder that is there but not subscribed is hidden from the many
  // clients that show subscribed folders only: a difference too.
  const bool unsubscribed = rows.front().targetBefore >= 0 && !migrationTarget_->subscribed(place);
  std::int64_t storeMessages = 0;
  for (ReportRow& row : rows) {
    storeMessages += row.storeMessages;
    if (row.error.empty() || group.size() > 1) {
      row.verdict = comparison.verdict;
      row.error = comparison.error;
    }
    if (unsubscribed) {
      markUnsubscribed(row);
    }
  }
  if (group.size() > 1) {
    reporter_.print("   - " + names + ", messages: ");
  }
  reporter_.print(std::to_string(storeMessages) + ", " +
                  verdictWord(unsubscribed ? rows.front().verdict : comparison.verdict) + "\n");
  if (comparison.verdict != Verdict::Ok) {
    reporter_.print(std::string(group.size() > 1 ? "Error: folders " : "Error: folder ") + names +
                    " of <" + account_ + ">: " + comparison.error + "\n");
  } else if (comparison.foreign > 0) {
    reporter_.log(std::string(group.size() > 1 ? "Info: folders " : "Info: folder ") + names +
                  " of <" + account_ + ">: " + comparison.error + "\n");
  }
  if (unsubscribed) {
    reporter_.print("Warning: folder " + quoted(targetName) + " of <" + account_ +
                    "> is not subscribed on the target\n");
  }
  for (const ReportRow& row : rows) {
    report_->add(row);
  }
  return comparison.verdict == Verdict::Ok && !unsubscribed;
}

ReportRow AccountAudit::readStoreFolder(Folder& folder, const Mailbox& mailbox,
                                        const std::string& targetName, bool alone) {
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.targetFolder = targetName;
  row.kind = migrationTarget_->kindWord(folder);
  reporter_.print("   - " + quoted(folder.name()) + ", messages: ");
  try {
    const std::vector<MessageSummary> summaries = storeSummaries(folder, mailbox);
    row.storeMessages = static_cast<std::int64_t>(summaries.size());
    for (const MessageSummary& message : summaries) {
      row.storeBytes += message.size;
    }
    store_.insert(store_.end(), summaries.begin(), summaries.end());
  } catch (const QLStoreException& error) {
    row.storeMessages = folder.messageCount();
    row.verdict = Verdict::Failed;
    row.error = error.what();
  }
  // A folder alone has its verdict on the same line; merged ones after all.
  if (!alone) {
    reporter_.print(std::to_string(row.storeMessages) + "\n");
  }
  return row;
}

FolderComparison AccountAudit::compareWithTarget(const std::string& targetName,
                                                 const std::string& storeError, ReportRow& first) {
  FolderComparison result;
  if (!storeError.empty()) {
    // The store could not be read: nothing to compare with.
    result.verdict = Verdict::Failed;
    result.error = storeError;
    return result;
  }
  // Merged folders share one count: the first row holds it, so that the
  // totals count the target's messages once.
  const std::int64_t count = targetCount(targetName);
  first.targetBefore = first.targetAfter = count;
  if (count < 0) {
    result.verdict = Verdict::Missing;
    result.error = "the folder is not on the target";
    return result;
  }
  target_.clear();
  // Some servers refuse 1:* in an empty folder.
  if (count > 0 && checkResult(reporter_, TargetStep::Fetch, gateway_.fetchSummaries(target_)) ==
                       StepOutcome::Refused) {
    result.verdict = Verdict::Failed;
    result.error = targetServerWord(connection_) + " refused to list the folder's messages";
    return result;
  }
  return compareMessages(store_, target_);
}

void AccountAudit::startCheck() {
  checkConnect(reporter_, connectMaster(reporter_, gateway_, connection_), connection_);
  reporter_.print(migrationTarget_->describeAppends());
  gateway_.appendLimit(&appendLimit_);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRoundTripSamples; ++i) {
    checkConnect(reporter_, {gateway_.noop(), std::string()}, connection_);
  }
  roundTripSeconds_ =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
      kRoundTripSamples;
  gateway_.disconnect(true);
  if (appendLimit_ >= 0) {
    reporter_.print("Info: " + targetServerWord(connection_) + " accepts messages of at most " +
                    formatSize(appendLimit_) + "\n");
  }
}

bool AccountAudit::check(Mailbox& mailbox) {
  account_ = mailbox.name() + "@" + mailbox.domainName();
  AccountFolders list = readAccountFolders(mailbox, settings_.migrateUnlisted);
  sayUnlistedFolders(list, mailbox, reporter_);
  std::vector<Folder>& folders = list.folders;
  ++accounts_;
  // A folder a migration would leave behind is a problem to mend first.
  bool fine = list.unlistedTaken || list.unlisted.empty();
  const bool exists = migrationTarget_->actAs(mailbox);
  // On a standard server the names depend on the server, known once logged in.
  if (migrationTarget_->canPlace()) {
    fine = warnMerging(folders) && fine;
  }
  MigrationTarget::AccountCheck account = migrationTarget_->checkAccount(account_, exists);
  if (settings_.delta && journal_ != nullptr && !journal_->passwordFileOf(account_).empty()) {
    // Made or taken over by the journal's runs: a delta pass goes on in it.
    account = MigrationTarget::AccountCheck();
  }
  if (!account.line.empty()) {
    reporter_.print(account.line);
  }
  fine = fine && account.fine;
  if (exists) {
    ++existing_;
    reportTargetFolders(folders);
  }
  if (settings_.delta && journal_ != nullptr) {
    return forecastFolders(folders, mailbox) && fine;
  }
  for (Folder& folder : folders) {
    folder.setFixCrLf(settings_.fixCrLf);
    fine = checkFolderMessages(folder, mailbox) && fine;
  }
  if (!settings_.dav.url.empty()) {
    fine = dav_.check(folders, mailbox) && fine;
  }
  return fine;
}

bool AccountAudit::warnMerging(const std::vector<Folder>& folders) {
  std::vector<Folder> kept;
  for (const Folder& folder : folders) {
    if (migrationTarget_->keeps(folder)) {
      kept.push_back(folder);
    }
  }
  bool fine = true;
  const auto name = [this](const std::string& store) { return targetNameOf(store); };
  for (const std::vector<std::string>& group : collidingFolders(kept, name)) {
    std::string names;
    for (const std::string& folderName : group) {
      names += (names.empty() ? "" : " and ") + quoted(folderName);
    }
    reporter_.print("Warning: folders " + names + " of <" + account_ + "> would merge into " +
                    quoted(migrationTarget_->place(group.front()).shownName) + "\n");
    fine = false;
  }
  return fine;
}

void AccountAudit::reportTargetFolders(const std::vector<Folder>& folders) {
  const std::string where = migrationTarget_->name();
  try {
    for (const Folder& folder : folders) {
      if (DavKind kind; settings_.davOn() && davKindOf(folder.type(), kind)) {
        continue;  // the DAV server's: said by its own check
      }
      if (!migrationTarget_->keeps(folder)) {
        reporter_.print("Info: folder " + quoted(folder.name()) + " of <" + account_ +
                        "> is skipped: a " + migrationTarget_->skippedKind(folder) + " folder\n");
        continue;
      }
      const FolderPlace place = migrationTarget_->place(folder.name());
      const std::string& name = place.shownName;
      if (!place.unmarked.empty()) {
        reporter_.print("Warning: folder " + quoted(folder.name()) + " of <" + account_ +
                        "> would go into " + quoted(name) + ": " + place.unmarked + "\n");
      }
      const std::int64_t count = targetCount(place.wireName);
      if (count > 0) {
        reporter_.print("Info: folder " + quoted(name) + " of <" + account_ + "> holds " +
                        std::to_string(count) + " messages on " + where + " already\n");
      } else if (count == 0) {
        reporter_.print("Info: folder " + quoted(name) + " of <" + account_ + "> exists on " +
                        where + ", empty\n");
      }
      if (count >= 0 && !migrationTarget_->subscribed(place)) {
        reporter_.print("Warning: folder " + quoted(name) + " of <" + account_ +
                        "> is not subscribed on " + where + ": a migration subscribes it\n");
      }
    }
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
  gateway_.disconnect(true);
}

bool AccountAudit::checkFolderMessages(Folder& folder, const Mailbox& mailbox) {
  ++folders_;
  store_.clear();
  try {
    store_ = storeSummaries(folder, mailbox);
  } catch (const QLStoreException& error) {
    reporter_.print("Error: folder " + quoted(folder.name()) + " of <" + account_ +
                    "> cannot be read: " + error.what() + "\n");
    return false;
  }
  bool fine = true;
  long number = 1;
  for (const MessageSummary& message : store_) {
    ++messages_;
    bytes_ += message.size;
    if (appendLimit_ >= 0 && message.size > static_cast<std::uint64_t>(appendLimit_)) {
      reporter_.print("Warning: message " + std::to_string(number) + " of folder " +
                      quoted(folder.name()) + " of <" + account_ + "> (" +
                      formatSize(static_cast<std::int64_t>(message.size)) + ") is over " +
                      targetServerWord(connection_) + "'s limit\n");
      fine = false;
    }
    ++number;
  }
  return fine;
}

double AccountAudit::estimatedSeconds(std::int64_t messages, std::int64_t accounts,
                                      std::uint64_t bytes, std::int64_t roundTrips) const {
  return static_cast<double>(messages) * (roundTripSeconds_ + kSecondsPerMessage) +
         static_cast<double>(accounts * kRoundTripsPerAccount + roundTrips) * roundTripSeconds_ +
         static_cast<double>(bytes) / kBytesPerSecond;
}

std::string AccountAudit::checkSummary() const {
  const double seconds = estimatedSeconds(messages_, accounts_, bytes_, 0);
  char roundTrip[32];
  std::snprintf(roundTrip, sizeof(roundTrip), "%.2f", roundTripSeconds_ * 1000);
  return "Info: accounts: " + std::to_string(accounts_) + ", " + std::to_string(existing_) +
         " on " + targetServerWord(connection_) + " already\n" +
         "Info: folders: " + std::to_string(folders_) + "\n" +
         "Info: messages: " + std::to_string(messages_) + ", " +
         formatSize(static_cast<std::int64_t>(bytes_)) + "\n" +
         (settings_.delta && journal_ != nullptr ? forecastSummary() : std::string()) +
         "Info: a migration would take about " +
         std::to_string(static_cast<std::int64_t>(std::ceil(seconds))) + " s (round trip " +
         roundTrip + " ms)\n";
}

}  // namespace lodemig
