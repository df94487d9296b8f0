// A delta pass: what changed in the store since the journal's records, and
// how the target is brought up to it besides sending new messages.

#include <algorithm>

#include "migration/account_migration.h"
#include "migration/folder_survey.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {
void AccountMigration::takeSourceStamp(const Folder& folder, const Mailbox& mailbox) {
  sourceSize_ = -1;
  sourceMtime_ = -1;
  if (journal_->hasFile() && !mailboxFileStamp(folder, mailbox, sourceSize_, sourceMtime_)) {
    sourceSize_ = -1;
  }
}

void AccountMigration::keepSourceStamp(bool whole, const FolderTally& tally) {
  // A file that passes as unchanged is not read again, so a later -expunge
  // would never find the records of the messages gone from it.
  if (whole && sourceSize_ >= 0 && tally.gone == tally.removed) {
    journal_->folderSource(reporter_, resume_.records(), sourceSize_, sourceMtime_);
  }
}

bool AccountMigration::surveyUnchanged(Folder& folder, const Mailbox& mailbox, FolderTally& tally) {
  delta_.reset();
  collecting_ = false;
  collected_.clear();
  std::int64_t count = 0;
  std::string targetName;
  if (journal_->sourceUnchanged(account_, folder.name(), sourceSize_, sourceMtime_, count,
                                targetName)) {
    // The file is as the last pass read it whole: neither it nor the
    // folder's records are read.
    reportUnchanged(folder, mailbox, count, targetName);
    tally.read = count;
    tally.skipped = count;
    return true;
  }
  resume_.begin(*journal_, account_, folder.name());
  JournalDbFolder& records = resume_.records();
  const bool done = journal_->folderDone(account_, folder.name());
  if (resume_.imported()) {
    // Records keyed by place cannot tell a changed message from a new one.
    reporter_.log("Warning: folder \"" + folder.name() + "\" of <" + account_ +
                  ">: its records come from a text journal: flags and removals are not "
                  "compared\n");
    return false;
  }
  if (sourceSize_ >= 0 && (records.sourceSize() >= 0 || !done)) {
    // A mailbox file that is known to have changed is read once: the walk
    // that sends collects what the comparison needs.
    collecting_ = true;
    return false;
  }
  std::vector<SurveyedMessage> store;
  bool changed = false;
  try {
    store = surveyFolder(folder, mailbox, false, changed);
  } catch (const QLStoreException&) {
    // The walk that sends meets the same and reports the folder.
    return false;
  }
  if (changed) {
    // What the store holds is not known: its new messages are sent, the
    // rest waits for the next pass.
    tally.pending = true;
    tally.pendingNote = "the source changed while it was compared with the journal";
    return false;
  }
  delta_ = std::make_unique<DeltaPlan>(records.messages(), store);
  if (!done || !delta_->nothingToDo()) {
    return false;
  }
  count = static_cast<std::int64_t>(store.size());
  delta_.reset();
  reportUnchanged(folder, mailbox, count, records.targetName());
  // Read whole and found as recorded: the next pass need not read it.
  keepSourceStamp(true, tally);
  resume_.finish(true);
  tally.read = count;
  tally.skipped = count;
  return true;
}

void AccountMigration::reportUnchanged(const Folder& folder, const Mailbox& mailbox,
                                       std::int64_t count, const std::string& targetName) {
  reporter_.print("   - \"" + folder.name() + "\", unchanged\n");
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.targetFolder = targetName;
  row.kind = target_->kindWord(folder);
  row.storeMessages = count;
  row.skipped = count;
  row.verdict = Verdict::Ok;
  report_->add(row);
}

void AccountMigration::applyDelta(const Folder& folder, FolderTally& tally) {
  const DeltaPlan& plan = *delta_;
  const std::string where = "folder \"" + folder.name() + "\" of <" + account_ + ">";
  if ((!plan.changed().empty() || !plan.gone().empty()) &&
      checkResult(reporter_, TargetStep::Select, gateway_.select(targetName_), targetName_) !=
          StepOutcome::Done) {
    return;
  }
  std::int64_t withoutUid = 0;
  bool flagsSet = true;
  for (const FlagChange& change : plan.flagCommands(withoutUid)) {
    const GatewayResult result = gateway_.changeFlags(change.uids, change.add, change.flag);
    if (result != kGatewayOk) {
      checkResult(reporter_, TargetStep::Fetch, result, targetName_);
      reporter_.print("Error: " + where + ": the flags of " +
                      std::to_string(plan.changed().size()) +
                      " messages could not be set: the target refused it\n");
      tally.noteError("flags could not be set");
      flagsSet = false;
      break;
    }
  }
  if (flagsSet) {
    for (const DeltaPlan::Changed& change : plan.changed()) {
      if (change.record.targetUid > 0) {
        journal_->setFlags(reporter_, resume_.records(), change.record.id, change.flags);
        ++tally.flagsSet;
      }
    }
  }
  if (withoutUid > 0) {
    reporter_.log("Warning: " + where + ": " + std::to_string(withoutUid) +
                  " messages whose flags changed have no target UID recorded: their flags are "
                  "not set\n");
  }
  removeGone(where, tally);
  reporter_.log("Info: " + where + ": " + deltaFigures(tally) + "\n");
}

std::string AccountMigration::deltaFigures(const FolderTally& tally) const {
  return std::to_string(tally.sent) + " new sent, " + std::to_string(tally.flagsSet) +
         " with new flags, " + std::to_string(tally.gone) + " gone from the store, " +
         std::to_string(tally.removed) + " removed";
}

void AccountMigration::removeGone(const std::string& where, FolderTally& tally) {
  const std::vector<JournalMessage>& gone = delta_->gone();
  tally.gone = static_cast<std::int64_t>(gone.size());
  if (gone.empty()) {
    return;
  }
  if (!settings_.expunge) {
    reporter_.log("Info: " + where + ": " + std::to_string(gone.size()) +
                  " messages gone from the store stay on the target; -expunge removes them\n");
    return;
  }
  // Only what this tool put there, by the UID the target gave it.
  std::vector<std::uint64_t> uids;
  for (const JournalMessage& record : gone) {
    if (record.targetUid > 0) {
      uids.push_back(static_cast<std::uint64_t>(record.targetUid));
    }
  }
  std::sort(uids.begin(), uids.end());
  const bool uidPlus = uids.empty() || gateway_.uidPlus();
  const GatewayResult result = uidPlus ? gateway_.expungeUids(uids) : kGatewayExpungeFailed;
  if (result != kGatewayOk) {
    checkResult(reporter_, TargetStep::Fetch, result, targetName_);
    reporter_.print("Error: " + where + ": " + std::to_string(uids.size()) +
                    " messages gone from the store could not be removed" +
                    (uidPlus ? std::string() : ": the server has no UIDPLUS") + "\n");
    tally.noteError("messages gone from the store could not be removed");
    return;
  }
  for (const JournalMessage& record : gone) {
    if (record.targetUid > 0) {
      journal_->forget(reporter_, resume_.records(), record.id);
    }
  }
  tally.removed = static_cast<std::int64_t>(uids.size());
  if (uids.size() < gone.size()) {
    reporter_.log("Warning: " + where + ": " + std::to_string(gone.size() - uids.size()) +
                  " messages gone from the store have no target UID recorded: they stay\n");
  }
}

void AccountMigration::reportGoneFolders(const Mailbox& mailbox,
                                         const std::vector<Folder>& folders) {
  for (const std::string& name : journal_->accountFolders(reporter_, account_)) {
    const bool inStore = std::any_of(folders.begin(), folders.end(),
                                     [&](const Folder& folder) { return folder.name() == name; });
    if (inStore) {
      continue;
    }
    reporter_.print("   - \"" + name +
                    "\", gone from the store: its messages stay on the target\n");
    ReportRow row;
    row.domain = mailbox.domainName();
    row.account = account_;
    row.folder = name;
    row.verdict = Verdict::Skipped;
    row.error = "gone from the store; its messages stay on the target";
    report_->add(row);
  }
}

}  // namespace lodemig
