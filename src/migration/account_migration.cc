#include "migration/account_migration.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "migration/account_folders.h"
#include "migration/dav_folder_migration.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/stop_request.h"

namespace lodemig {
namespace {

constexpr int kMaxRetryPause = 30;
constexpr char kJournalDone[] = "already migrated, as the journal records";

// 1, 2, 4 ... seconds before try `attempt` + 1: a target that restarts gets
// the time it needs, one that only dropped a connection is back at once.
int retryPauseSeconds(int attempt) {
  return std::min(kMaxRetryPause, 1 << std::min(attempt, 5));
}

std::string retryReason(const std::string& what, const std::string& cause) {
  return cause.empty() ? what : what + ": " + cause;
}

}  // namespace

void stopIfAsked() {
  const int signal = ostrel::utils::stopSignal();
  if (signal != 0) {
    throw QLInterruptedException(
        std::string("the run was interrupted by ") + ostrel::utils::signalName(signal), signal);
  }
}

bool AccountTally::failed() const {
  for (const FolderTally& folder : folders) {
    if (folder.failed || folder.refused > 0 || folder.mismatch) {
      return true;
    }
  }
  return false;
}

AccountMigration::AccountMigration(const MigrationSettings& settings,
                                   const ConnectionSettings& connection, ImapGateway& gateway,
                                   Reporter& reporter, PasswordRecord& passwords)
    : settings_(settings),
      connection_(connection),
      gateway_(gateway),
      reporter_(reporter),
      target_(makeMigrationTarget(settings, connection, gateway, reporter, passwords)),
      resume_(reporter, settings.retries > 0) {
  if (settings.davOn()) {
    dav_ = std::make_unique<DavFolderMigration>(settings, reporter);
  }
}

AccountMigration::~AccountMigration() = default;

const AccountTally& AccountMigration::run(Mailbox& mailbox) {
  tally_ = AccountTally();
  account_ = mailbox.name() + "@" + mailbox.domainName();
  provisioned_ = false;
  lostIn_.clear();
  if (dav_ != nullptr) {
    dav_->beginAccount(mailbox);
  }
  if (!settings_.delta && journal_->accountDone(account_)) {
    reporter_.print("   Info: already migrated, as the journal records\n");
    tally_.skipped = true;
    reportSkipped(mailbox, "already migrated, as the journal records");
    return tally_;
  }
  for (int attempt = 0;; ++attempt) {
    attempt_ = attempt;
    try {
      tally_ = AccountTally();
      runOnce(mailbox, tally_);
      if (tally_.declined) {
        reportSkipped(mailbox, "the account exists on the target; -force migrates it");
      } else {
        report_->endAccount(true, tally_.failed());
      }
      return tally_;
    } catch (const QLConnectionLostException& error) {
      if (attempt >= settings_.retries) {
        throw;
      }
      if (!backOffAfterBye(attempt, error.what())) {
        RetryEvent retry;
        retry.kind = "retry";
        retry.account = account_;
        retry.attempt = attempt + 1;
        retry.attempts = settings_.retries;
        retry.pauseSeconds = retryPauseSeconds(attempt);
        retry.reason = retryReason(error.what(), gateway_.client().failureCause());
        watcher_->retried(retry);
        pauseBeforeRetry(reporter_, attempt, settings_.retries, error.what());
      }
    }
  }
}

void AccountMigration::reportSkipped(const Mailbox& mailbox, const std::string& why) {
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.verdict = Verdict::Skipped;
  row.error = why;
  report_->add(row);
  report_->endAccount(false, false);
}

void AccountMigration::reportFailure(const Mailbox& mailbox, const std::string& error) {
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = mailbox.name() + "@" + mailbox.domainName();
  row.verdict = Verdict::Failed;
  row.error = error;
  if (tally_.inFolder && !tally_.folders.empty()) {
    const FolderTally& folder = tally_.folders.back();
    row.folder = folder.name;
    row.targetFolder = shownName_;
    row.storeMessages = folder.storeMessages;
    row.storeBytes = folder.bytesSent;
    row.sent = folder.sent;
    row.refused = folder.refused;
    row.skipped = folder.skipped;
    row.matched = folder.matched;
    if (messageNumber_ > 0) {
      row.error = "message " + std::to_string(messageNumber_) + ": " + error;
    }
  }
  report_->add(row);
  report_->endAccount(true, true);
}

void pauseBeforeRetry(Reporter& reporter, int attempt, int retries, const std::string& what) {
  const int seconds = retryPauseSeconds(attempt);
  reporter.print("   Warning: " + what + ", try " + std::to_string(attempt + 1) + " of " +
                 std::to_string(retries) + " in " + std::to_string(seconds) + " s\n");
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    stopIfAsked();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void AccountMigration::runOnce(Mailbox& mailbox, AccountTally& tally) {
  try {
    accountOpen_ = false;
    // A delta pass asks the target only for a folder that changed.
    if (!settings_.delta && !openTarget(mailbox, tally)) {
      return;
    }
    migrateFolders(mailbox, tally);
    if (tally.declined) {
      return;
    }
    finishAccount(tally);
  } catch (QLNetworkException& error) {
    // The client keeps why its last exchange failed; the target's steps
    // only know that it did.
    if (error.cause().empty() && !gateway_.client().failureCause().empty()) {
      error.setCause(causeText(gateway_.client().failureCause(), account_,
                               tally.inFolder ? tally.folders.back().name : std::string()));
    }
    reporter_.console("\n");
    gateway_.disconnect(true);
    throw;
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
}

bool AccountMigration::openTarget(const Mailbox& mailbox, AccountTally& tally) {
  if (accountOpen_) {
    return true;
  }
  // Once the account is the run's, a new connection goes on with it.
  if (!target_->openAccount(mailbox, provisioned_)) {
    tally.declined = true;
    gateway_.disconnect(true);
    return false;
  }
  provisioned_ = true;
  accountOpen_ = true;
  target_->prepareAppends();
  return true;
}

void AccountMigration::finishAccount(const AccountTally& tally) {
  if (!tally.failed()) {
    journal_->endAccount(reporter_, account_);
  }
  // Every append is answered: saving round trips, the LOGOUT's answer is not
  // waited for; a standard server's connection serves no next account.
  gateway_.disconnect(true, !saveRoundTrips_ && !settings_.standardTarget);
}

void AccountMigration::migrateFolders(Mailbox& mailbox, AccountTally& tally) {
  AccountFolders list;
  try {
    list = readAccountFolders(mailbox, settings_.migrateUnlisted);
  } catch (const QLStoreException&) {
    reporter_.log("Error: cannot read folder list");
    reporter_.log("\n");
    // The messages may well be on disk: say how to take them.
    if (!mailbox.diskFolders().empty()) {
      reporter_.print("   Info: <" + account_ +
                      ">: its folders on disk can be migrated with -unlistedFolders migrate\n");
    }
    throw;
  }
  // Said once: a retry after a lost connection lists them again.
  if (attempt_ == 0) {
    sayUnlistedFolders(list, mailbox, reporter_);
    for (const DiskFolder& unlisted : list.unlisted) {
      if (!list.unlistedTaken) {
        report_->add(unlistedFolderRow(mailbox, unlisted));
      }
    }
  }
  tally.folders.reserve(list.folders.size());
  for (Folder& folder : list.folders) {
    if (tally.declined) {
      return;
    }
    folder.setFixCrLf(settings_.fixCrLf);
    folder.setLive(settings_.live);
    tally.folders.emplace_back();
    tally.inFolder = true;
    transferFolder(folder, mailbox, tally.folders.back());
    tally.inFolder = false;
  }
  if (settings_.delta && attempt_ == 0) {
    reportGoneFolders(mailbox, list.folders);
  }
}

bool AccountMigration::startFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally) {
  tally.name = folder.name();
  tally.storeMessages = folder.messageCount();
  if (!settings_.delta && journal_->folderDone(account_, folder.name())) {
    // A folder finished before a lost connection was reported then.
    if (attempt_ == 0) {
      skipFolder(folder, mailbox, kJournalDone, kJournalDone, "");
    }
    return false;
  }
  if (DavKind kind; dav_ != nullptr && davKindOf(folder.type(), kind)) {
    dav_->migrate(folder, mailbox, kind, tally, *journal_, *report_, *watcher_);
    return false;
  }
  if (const std::string why = target_->whySkipped(folder); !why.empty()) {
    skipFolder(folder, mailbox, "skipped: " + why, why, target_->skippedKind(folder));
    return false;
  }
  takeSourceStamp(folder, mailbox);
  if (settings_.delta && surveyUnchanged(folder, mailbox, tally)) {
    return false;
  }
  if (!settings_.delta) {
    resume_.begin(*journal_, account_, folder.name());
  }
  if (!openTarget(mailbox, tally_)) {
    tally_.folders.pop_back();
    return false;
  }
  return true;
}

void AccountMigration::transferFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally) {
  stopIfAsked();
  if (!startFolder(folder, mailbox, tally)) {
    return;
  }
  bool identityLost = false;
  std::int64_t count = 0;
  std::int64_t targetCount = -1;
  messageNumber_ = 0;
  try {
    FolderUidState state;
    targetCount = createFolder(folder, state);
    reporter_.print("   - \"" + folder.name() + "\", messages: ");
    count = folder.messageCount();
    reporter_.log(count);
    reporter_.log("\n");
    state.messages = targetCount;
    fillFolder(folder, mailbox, state, tally, identityLost);
  } catch (const QLStoreException& error) {
    noteFolderFailure(folder, tally,
                      error.cause().empty() ? std::string(error.what())
                                            : std::string(error.what()) + ": " + error.cause());
  } catch (const QLConnectionLostException&) {
    lostIn_ = folder.name();
    throw;
  }
  endFolder(folder, mailbox, tally, count, identityLost ? -2 : targetCount);
  if (identityLost) {
    // Going on would put the next folders into the administrator's own mailbox.
    throw QLStoreException("problem with identity switching");
  }
}

void AccountMigration::endFolder(const Folder& folder, const Mailbox& mailbox, FolderTally& tally,
                                 std::int64_t count, std::int64_t targetCount) {
  if (resume_.reconciled()) {
    reporter_.log("Info: folder \"" + folder.name() + "\" of <" + account_ + ">: " +
                  std::to_string(tally.matched) + " matched, " + std::to_string(tally.sent) +
                  " sent, " + std::to_string(tally.refused) + " refused\n");
  }
  if (tally.failed) {
    // In place of the count, which would only stand after the error line.
    reporter_.print(causeLine(causeText(tally.failure, account_, folder.name())) + "\n");
  } else {
    reporter_.console(count);
    reporter_.console("\n");
  }
  if (targetCount != -2) {
    reportFolder(folder, mailbox, tally, targetCount);
  }
  const bool whole = !tally.failed && tally.refused == 0 && !tally.pending;
  keepSourceStamp(whole, tally);
  resume_.finish(whole);
  delta_.reset();
}

void AccountMigration::fillFolder(Folder& folder, const Mailbox& mailbox,
                                  const FolderUidState& state, FolderTally& tally,
                                  bool& identityLost) {
  reconcile(folder, mailbox, state);
  if (folder.messageCount() > 0) {
    try {
      transferMessages(folder, mailbox, tally);
    } catch (const QLStoreException&) {
      // A read error may have left the connection in any state.
      identityLost = !renewConnection(mailbox);
      throw;
    }
  }
  if (lostIn_ == folder.name()) {
    removeDoubles(folder, mailbox, tally);
    lostIn_.clear();
  }
  if (collecting_ && !folder.sourceChanged()) {
    delta_ = std::make_unique<DeltaPlan>(resume_.records().messages(), collected_);
  }
  collecting_ = false;
  collected_.clear();
  collected_.shrink_to_fit();
  if (delta_ != nullptr) {
    applyDelta(folder, tally);
  }
}

void AccountMigration::noteFolderFailure(const Folder& folder, FolderTally& tally,
                                         const std::string& error) {
  reporter_.console("\n");
  reporter_.print("Error: cannot migrate folder \"" + folder.name() + "\"\n");
  tally.failed = true;
  tally.failure = error;
  tally.noteError(messageNumber_ > 0 ? "message " + std::to_string(messageNumber_) + ": " + error
                                     : error);
  if (reporting_ && messageNumber_ > 0) {
    reporter_.log("Error: cannot read message " + std::to_string(messageNumber_) + " of folder \"" +
                  folder.name() + "\" of <" + account_ + ">: " + error + "\n");
  }
  if (messageNumber_ > 0) {
    watcher_->messageFailed(
        MessageFailureEvent{account_, folder.name(), messageNumber_, true, error});
  }
}

void AccountMigration::noteRefused(long number, const std::string& error, const std::string& cause,
                                   FolderTally& tally) {
  reporter_.console("\n");
  reporter_.print("Error: cannot migrate message nr.: ");
  reporter_.print(static_cast<std::int64_t>(number));
  reporter_.print("\n");
  if (!cause.empty()) {
    reporter_.print(causeLine(causeText(cause, account_, tally.name)) + "\n");
  }
  if (reporting_) {
    reporter_.log("Error: message " + std::to_string(number) + " of folder \"" + tally.name +
                  "\" of <" + account_ + "> was not stored: " + error + "\n");
  }
  ++tally.refused;
  tally.noteError("message " + std::to_string(number) + ": " + error);
  watcher_->messageFailed(
      MessageFailureEvent{account_, tally.name, number, false, cause.empty() ? error : cause});
}

void AccountMigration::reportFolder(const Folder& folder, const Mailbox& mailbox,
                                    FolderTally& tally, std::int64_t before) {
  // Asked again after the last message: what the target holds now must be
  // what it held plus what it accepted. Only for a report file: without one
  // the row just counts, and the exchange stays what it was.
  std::int64_t after = -1;
  if (reporting_ && checkResult(reporter_, TargetStep::Select, gateway_.select(targetName_, &after),
                                targetName_) == StepOutcome::Refused) {
    after = 0;
  }
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.targetFolder = shownName_;
  row.kind = target_->kindWord(folder);
  row.storeMessages = tally.failed ? tally.storeMessages : tally.read;
  row.storeBytes = tally.bytesSent;
  row.sent = tally.sent;
  row.refused = tally.refused;
  row.skipped = tally.skipped;
  row.matched = tally.matched;
  row.targetBefore = before;
  row.targetAfter = after;
  row.flagsSet = tally.flagsSet;
  row.gone = tally.gone;
  row.removed = tally.removed;
  row.verdict = folderVerdict(folder, mailbox, tally, before, after);
  row.error = folderNote(tally);
  if (tally.pending && row.verdict != Verdict::Failed) {
    row.verdict = Verdict::Pending;
    row.error = tally.pendingNote;
  }
  if (row.verdict == Verdict::Missing || row.verdict == Verdict::Extra) {
    tally.mismatch = true;
    const std::int64_t expected = before + tally.sent - tally.removed;
    row.error = "the target holds " + std::to_string(after) + " messages, " +
                std::to_string(expected) + " expected";
    reporter_.print("Error: folder \"" + shownName_ + "\" of <" + account_ + "> holds " +
                    std::to_string(after) + " messages, " + std::to_string(expected) +
                    " expected\n");
  }
  report_->add(row);
}

Verdict AccountMigration::folderVerdict(const Folder& folder, const Mailbox& mailbox,
                                        const FolderTally& tally, std::int64_t before,
                                        std::int64_t after) {
  // What a delta removed is no longer there to count.
  const Verdict verdict =
      migrationVerdict(tally.failed, tally.refused, tally.sent - tally.removed, before, after);
  if (verdict != Verdict::Extra) {
    return verdict;
  }
  // Mail others delivered meanwhile is theirs: neither counted as the run's
  // nor a fault of it.
  const std::int64_t foreign = foreignArrivals(folder, mailbox, before);
  if (foreign <= 0) {
    return verdict;
  }
  reporter_.log("Info: folder \"" + folder.name() + "\" of <" + account_ +
                ">: " + std::to_string(foreign) +
                " messages others delivered during the run are left alone\n");
  return migrationVerdict(tally.failed, tally.refused, tally.sent + foreign - tally.removed, before,
                          after);
}

std::string AccountMigration::folderNote(const FolderTally& tally) const {
  if (!tally.firstError.empty()) {
    return tally.firstError;
  }
  if (resume_.counted()) {
    return "the target cannot list its messages: what arrived was counted";
  }
  if (tally.flagsSet > 0 || tally.gone > 0) {
    return deltaFigures(tally);
  }
  if (tally.doublesRemoved > 0) {
    return std::to_string(tally.doublesRemoved) +
           " copies a lost connection stored twice were removed";
  }
  return std::string();
}

bool AccountMigration::renewConnection(const Mailbox& mailbox) {
  gateway_.disconnect(false);
  try {
    target_->openAccount(mailbox, true);
  } catch (const QLStoreException&) {
    return false;
  }
  return true;
}

void AccountMigration::skipFolder(const Folder& folder, const Mailbox& mailbox,
                                  const std::string& said, const std::string& why,
                                  const char* kind) {
  reporter_.print("   - \"" + folder.name() + "\", " + said + "\n");
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.kind = kind;
  row.storeMessages = folder.messageCount();
  row.verdict = Verdict::Skipped;
  row.error = why;
  report_->add(row);
}

std::int64_t AccountMigration::createFolder(const Folder& folder, FolderUidState& uids) {
  const FolderPlace place = target_->place(folder.name());
  if (!place.error.empty()) {
    reporter_.print("Error: " + place.error + "\n");
    throw QLStoreException(place.error);
  }
  reporter_.print(place.note);
  const std::int64_t count = target_->createFolder(place, folder.type(), &uids);
  targetName_ = place.wireName;
  shownName_ = place.shownName;
  return count;
}

}  // namespace lodemig
