// The forecast of a delta pass: what it would send, set and remove, from
// the store as it is and the journal's records, asking the target nothing.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "migration/account_audit.h"
#include "migration/folder_survey.h"
#include "utils/ql_exception.h"

namespace lodemig {

bool AccountAudit::forecastFolders(const std::vector<Folder>& folders, const Mailbox& mailbox) {
  const std::int64_t foldersBefore = forecast_.folders;
  bool fine = true;
  for (const Folder& folder : folders) {
    if (migrationTarget_->keeps(folder)) {
      fine = forecastFolder(folder, mailbox) && fine;
    }
  }
  for (const std::string& name : journal_->accountFolders(reporter_, account_)) {
    if (std::none_of(folders.begin(), folders.end(),
                     [&](const Folder& folder) { return folder.name() == name; })) {
      reporter_.print("Info: folder \"" + name + "\"" + " of <" + account_ +
                      "> is gone from the store: a delta pass leaves it on the target\n");
      ++forecast_.goneFolders;
    }
  }
  forecast_.accounts += forecast_.folders > foldersBefore ? 1 : 0;
  return fine;
}

bool AccountAudit::forecastFolder(const Folder& folder, const Mailbox& mailbox) {
  ++folders_;
  JournalDbFolder records = journal_->beginFolder(account_, folder.name());
  std::int64_t size = -1;
  std::int64_t mtime = -1;
  if (journal_->folderDone(account_, folder.name()) &&
      mailboxFileStamp(folder, mailbox, size, mtime) && records.sourceSize() == size &&
      records.sourceMtime() == mtime) {
    // Not read by the pass either: its bytes are the file's, headers and all.
    messages_ += records.storedCount();
    bytes_ += static_cast<std::uint64_t>(size);
    return true;
  }
  std::vector<SurveyedMessage> store;
  try {
    store = surveyFolder(folder, mailbox);
  } catch (const QLStoreException& error) {
    reporter_.print("Error: folder \"" + folder.name() + "\"" + " of <" + account_ +
                    "> cannot be read: " + error.what() + "\n");
    return false;
  }
  for (const SurveyedMessage& message : store) {
    ++messages_;
    bytes_ += message.size;
  }
  const DeltaPlan plan(records.messages(), store);
  if (plan.nothingToDo()) {
    return true;
  }
  ++forecast_.folders;
  forecast_.messages += plan.newMessages();
  forecast_.bytes += plan.newBytes();
  forecast_.flags += static_cast<std::int64_t>(plan.changed().size());
  forecast_.gone += static_cast<std::int64_t>(plan.gone().size());
  if (settings_.expunge) {
    forecast_.expunged += std::count_if(plan.gone().begin(), plan.gone().end(),
                                        [](const JournalMessage& m) { return m.targetUid > 0; });
  }
  return true;
}

std::string AccountAudit::forecastSummary() const {
  const Forecast& f = forecast_;
  // A folder that changed costs its SELECT, its flag commands and its
  // removal besides the messages sent.
  constexpr std::int64_t kRoundTripsPerFolder = 4;
  const double seconds =
      estimatedSeconds(f.messages, f.accounts, f.bytes, f.folders * kRoundTripsPerFolder);
  return "Info: the next delta pass would send " + std::to_string(f.messages) + " messages (" +
         formatSize(static_cast<std::int64_t>(f.bytes)) + "), set the flags of " +
         std::to_string(f.flags) + " messages, remove " + std::to_string(f.expunged) +
         " messages (" + std::to_string(f.gone) + " gone from the store) in " +
         std::to_string(f.folders) + " folders of " + std::to_string(f.accounts) + " accounts; " +
         std::to_string(f.goneFolders) + " folders are gone from the store\n" +
         "Info: the delta pass would take about " +
         std::to_string(static_cast<std::int64_t>(std::ceil(seconds))) + " s\n";
}

}  // namespace lodemig
