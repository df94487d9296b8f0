#include "migration/account_migration.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "migration/folder_placement.h"
#include "migration/target_names.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/stop_request.h"

namespace lodemig {
namespace {

constexpr int kGeneratedPasswordLength = 6;
constexpr int kMaxRetryPause = 30;

void noteFirstError(FolderTally& tally, const std::string& text) {
  if (tally.firstError.empty()) {
    tally.firstError = text;
  }
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
      passwords_(passwords),
      resume_(reporter, settings.retries > 0) {}

const AccountTally& AccountMigration::run(Mailbox& mailbox) {
  tally_ = AccountTally();
  account_ = mailbox.name() + "@" + mailbox.domainName();
  provisioned_ = false;
  if (journal_->accountDone(account_)) {
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
      } else if (report_ != nullptr) {
        report_->endAccount(true, tally_.failed());
      }
      return tally_;
    } catch (const QLConnectionLostException& error) {
      if (attempt >= settings_.retries) {
        throw;
      }
      pauseBeforeRetry(reporter_, attempt, settings_.retries, error.what());
    }
  }
}

void AccountMigration::reportSkipped(const Mailbox& mailbox, const std::string& why) {
  if (report_ == nullptr) {
    return;
  }
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.verdict = Verdict::Skipped;
  row.error = why;
  report_->add(row);
  report_->endAccount(false, false);
}

void AccountMigration::reportFailure(const Mailbox& mailbox, const std::string& error) {
  if (report_ == nullptr) {
    return;
  }
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = mailbox.name() + "@" + mailbox.domainName();
  row.verdict = Verdict::Failed;
  row.error = error;
  if (tally_.inFolder && !tally_.folders.empty()) {
    const FolderTally& folder = tally_.folders.back();
    row.folder = folder.name;
    row.targetFolder = targetName_;
    row.storeMessages = folder.storeMessages;
    row.storeBytes = folder.bytesSent;
    row.sent = folder.sent;
    row.refused = folder.refused;
    row.skipped = folder.skipped;
    if (messageNumber_ > 0) {
      row.error = "message " + std::to_string(messageNumber_) + ": " + error;
    }
  }
  report_->add(row);
  report_->endAccount(true, true);
}

void pauseBeforeRetry(Reporter& reporter, int attempt, int retries, const std::string& what) {
  // 1, 2, 4 ... seconds: a target that restarts gets the time it needs, one
  // that only dropped a connection is back at once.
  const int seconds = std::min(kMaxRetryPause, 1 << std::min(attempt, 5));
  reporter.print("   Warning: " + what + ", try " + std::to_string(attempt + 1) + " of " +
                 std::to_string(retries) + " in " + std::to_string(seconds) + " s\n");
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    stopIfAsked();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void AccountMigration::runOnce(Mailbox& mailbox, AccountTally& tally) {
  try {
    if (settings_.standardTarget) {
      logInForAccount();
      migrateFolders(mailbox, tally);
      finishAccount(tally);
      return;
    }
    connect();
    // Once the account is the run's, a new connection goes on with it.
    if (!provision(mailbox, provisioned_)) {
      tally.declined = true;
      gateway_.disconnect(true);
      return;
    }
    provisioned_ = true;
    // The target's version does not change while a run lasts: with several
    // jobs, each asks it once, a round trip per account saved.
    if (settings_.jobs <= 1 || knownVersion_ < 0) {
      knownVersion_ = gateway_.checkVersion() ? 1 : 0;
    }
    fastAppend_ = knownVersion_ == 1;
    if (fastAppend_) {
      reporter_.log(
          "Info: Ostrel MailServer 6.3.0 or newer detected, search indexing disabled (improve "
          "migration speed).");
      reporter_.log("\n");
    }
    migrateFolders(mailbox, tally);
    finishAccount(tally);
  } catch (const QLNetworkException&) {
    reporter_.console("\n");
    gateway_.disconnect(true);
    throw;
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
}

void AccountMigration::finishAccount(const AccountTally& tally) {
  if (!tally.failed()) {
    journal_->endAccount(reporter_, account_);
  }
  // Every append is answered: with several jobs, the LOGOUT's answer is
  // not waited for.
  gateway_.disconnect(true, settings_.jobs <= 1);
}

void AccountMigration::connect() {
  checkResult(reporter_, TargetStep::Connect, connectMaster(reporter_, gateway_, connection_));
}

void AccountMigration::logInForAccount() {
  if (connectForAccount(reporter_, gateway_, connection_, account_, settings_.folderMap,
                        placement_) == kGatewayAuthenticationFailed) {
    // Such a server has its accounts already; one it refuses fails alone.
    reporter_.print("   Error: the target refused the login for <" + account_ +
                    ">: accounts are not created on an IMAP server, it may not exist there\n");
    throw QLStoreException("the target refused the login for <" + account_ + ">");
  }
  fastAppend_ = false;
}

std::string AccountMigration::choosePassword(const Mailbox& mailbox, bool& generated) const {
  generated = false;
  if (!settings_.forceSetPassword.empty()) {
    return settings_.forceSetPassword;
  }
  if (!mailbox.password().empty()) {
    return mailbox.password();
  }
  if (!settings_.setPassword.empty()) {
    return settings_.setPassword;
  }
  generated = true;
  return generatePassword(kGeneratedPasswordLength);
}

bool AccountMigration::provision(const Mailbox& mailbox, bool resuming) {
  if (passwords_.broken() && !resuming) {
    // A new account's password would have nowhere to go but the terminal.
    reporter_.log("Error: no further accounts are created\n");
    throw QLNetworkException(
        "no further accounts are created, the password file cannot be written");
  }
  bool generated = false;
  std::string password = choosePassword(mailbox, generated);
  const std::string qualified = mailbox.name() + "@" + mailbox.domainName();
  // An account an earlier run of the journal created or switched to is the
  // run's own: it is filled again without -force.
  const bool ours = !journal_->passwordFileOf(qualified).empty();
  const bool recording = !ours && !resuming;
  if (recording) {
    journal_->creating(reporter_, qualified, passwords_.path(), password, generated);
  }
  // With several jobs the switch goes out with the creation, a round trip
  // saved per account; its answer is taken below, where it was asked.
  const bool together = settings_.jobs > 1;
  GatewayResult switched = kGatewayOk;
  GatewayResult result =
      together
          ? gateway_.createThenSetUser(mailbox.name(), mailbox.domainName(), password,
                                       mailbox.fullName(), &switched)
          : gateway_.createUser(mailbox.name(), mailbox.domainName(), password, mailbox.fullName());
  bool created = checkResult(reporter_, TargetStep::CreateUser, result) == StepOutcome::Done;
  if (!created && !resuming && ours) {
    created = takeUnconfirmedCreation(qualified, password, generated);
  }
  if (created) {
    reporter_.log("   Info: created user <" + qualified + ">, password: \"" + password + "\"\n");
    passwords_.add(
        "<" + qualified + ">, password: \"" + password + (generated ? "\" (generated)\n" : "\"\n"),
        reporter_);
  } else {
    passwords_.add("<" + qualified + "> already exist, hold current password\n", reporter_);
  }
  // An account this run has started to fill exists by now; declining it
  // would lose the rest of its folders.
  if (!settings_.force && !created && !resuming && !ours) {
    if (recording) {
      journal_->account(reporter_, qualified, Journal::Settled::Declined, passwords_.path());
    }
    reporter_.print("   Info: cannot migrate, user already exist: use \"-force\" argument\n");
    return false;
  }
  checkResult(reporter_, TargetStep::SetUser,
              together ? switched : gateway_.setUser(mailbox.name(), mailbox.domainName()));
  if (recording || (created && ours)) {
    journal_->account(reporter_, qualified,
                      created ? Journal::Settled::Created : Journal::Settled::Switched,
                      passwords_.path());
  }
  return true;
}

bool AccountMigration::takeUnconfirmedCreation(const std::string& qualified, std::string& password,
                                               bool& generated) {
  // An earlier run asked for the account and was cut off before the answer:
  // the account that exists now is the one it created, with its password.
  if (!journal_->creationUnconfirmed(qualified, password, generated)) {
    return false;
  }
  reporter_.log("   Info: the creation of <" + qualified +
                "> was cut short by an interruption; it is taken as created\n");
  return true;
}

void AccountMigration::migrateFolders(Mailbox& mailbox, AccountTally& tally) {
  std::vector<Folder> folders;
  try {
    mailbox.readFolders(folders);
  } catch (const QLStoreException&) {
    reporter_.log("Error: cannot read folder list");
    reporter_.log("\n");
    throw;
  }
  tally.folders.reserve(folders.size());
  for (Folder& folder : folders) {
    folder.setFixCrLf(settings_.fixCrLf);
    tally.folders.emplace_back();
    tally.inFolder = true;
    transferFolder(folder, mailbox, tally.folders.back());
    tally.inFolder = false;
  }
}

void AccountMigration::transferFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally) {
  stopIfAsked();
  tally.name = folder.name();
  tally.storeMessages = folder.messageCount();
  if (journal_->folderDone(account_, folder.name())) {
    // A folder finished before a lost connection was reported then.
    if (attempt_ == 0) {
      reporter_.print("   - \"");
      reporter_.print(folder.name());
      reporter_.print("\", already migrated, as the journal records\n");
      if (report_ != nullptr) {
        ReportRow row;
        row.domain = mailbox.domainName();
        row.account = account_;
        row.folder = folder.name();
        row.storeMessages = folder.messageCount();
        row.verdict = Verdict::Skipped;
        row.error = "already migrated, as the journal records";
        report_->add(row);
      }
    }
    return;
  }
  if (settings_.standardTarget && !settings_.createNonMailFolders &&
      *nonMailKindWord(folder.type()) != '\0') {
    skipNonMailFolder(folder, mailbox);
    return;
  }
  bool identityLost = false;
  std::int64_t count = 0;
  std::int64_t targetCount = -1;
  messageNumber_ = 0;
  try {
    targetCount = createFolder(folder);
    reporter_.print("   - \"");
    reporter_.print(folder.name());
    reporter_.print("\", messages: ");
    count = folder.messageCount();
    reporter_.log(count);
    reporter_.log("\n");
    resume_.start(*journal_, account_, folder.name(), targetCount,
                  [&] { return countUnrecorded(folder, mailbox); });
    if (count > 0) {
      try {
        transferMessages(folder, mailbox, tally);
      } catch (const QLStoreException&) {
        // A read error may have left the connection in any state.
        identityLost = !renewConnection(mailbox);
        throw;
      }
    }
  } catch (const QLStoreException& error) {
    reporter_.console("\n");
    reporter_.print("Error: cannot migrate folder \"");
    reporter_.print(folder.name());
    reporter_.print("\"\n");
    tally.failed = true;
    noteFirstError(tally, messageNumber_ > 0
                              ? "message " + std::to_string(messageNumber_) + ": " + error.what()
                              : std::string(error.what()));
    if (report_ != nullptr && messageNumber_ > 0) {
      reporter_.log("Error: cannot read message " + std::to_string(messageNumber_) +
                    " of folder \"" + folder.name() + "\" of <" + account_ + ">: " + error.what() +
                    "\n");
    }
  }
  reporter_.console(count);
  reporter_.console("\n");
  if (report_ != nullptr && !identityLost) {
    reportFolder(folder, mailbox, tally, targetCount);
  }
  resume_.finish(!tally.failed && tally.refused == 0);
  if (identityLost) {
    // Going on would put the next folders into the administrator's own mailbox.
    throw QLStoreException("problem with identity switching");
  }
}

void AccountMigration::noteRefused(long number, const std::string& error, FolderTally& tally) {
  resume_.record(false);
  reporter_.console("\n");
  reporter_.print("Error: cannot migrate message nr.: ");
  reporter_.print(static_cast<std::int64_t>(number));
  reporter_.print("\n");
  if (report_ != nullptr) {
    reporter_.log("Error: message " + std::to_string(number) + " of folder \"" + tally.name +
                  "\" of <" + account_ + "> was not stored: " + error + "\n");
  }
  ++tally.refused;
  noteFirstError(tally, "message " + std::to_string(number) + ": " + error);
}

void AccountMigration::reportFolder(const Folder& folder, const Mailbox& mailbox,
                                    FolderTally& tally, std::int64_t before) {
  // Asked again after the last message: what the target holds now must be
  // what it held plus what it accepted.
  std::int64_t after = -1;
  if (checkResult(reporter_, TargetStep::Select, gateway_.select(targetName_, &after),
                  targetName_) == StepOutcome::Refused) {
    after = 0;
  }
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.targetFolder = targetName_;
  row.kind = folderKindWord(folderKindBits(folder.type()));
  row.storeMessages = tally.failed ? tally.storeMessages : tally.read;
  row.storeBytes = tally.bytesSent;
  row.sent = tally.sent;
  row.refused = tally.refused;
  row.skipped = tally.skipped;
  row.targetBefore = before;
  row.targetAfter = after;
  row.verdict = migrationVerdict(tally.failed, tally.refused, tally.sent, before, after);
  row.error = tally.firstError;
  if (row.verdict == Verdict::Missing || row.verdict == Verdict::Extra) {
    tally.mismatch = true;
    const std::int64_t expected = before + tally.sent;
    row.error = "the target holds " + std::to_string(after) + " messages, " +
                std::to_string(expected) + " expected";
    reporter_.print("Error: folder \"" + targetName_ + "\" of <" + account_ + "> holds " +
                    std::to_string(after) + " messages, " + std::to_string(expected) +
                    " expected\n");
  }
  report_->add(row);
}

bool AccountMigration::renewConnection(const Mailbox& mailbox) {
  gateway_.disconnect(false);
  if (settings_.standardTarget) {
    try {
      logInForAccount();
    } catch (const QLStoreException&) {
      return false;
    }
    return true;
  }
  connect();
  try {
    provision(mailbox, true);
  } catch (const QLStoreException&) {
    return false;
  }
  return true;
}

void AccountMigration::skipNonMailFolder(const Folder& folder, const Mailbox& mailbox) {
  // By design: such a server keeps mail only, and the run can still succeed.
  const std::string why = std::string("a ") + nonMailKindWord(folder.type()) +
                          " folder, the target keeps mail only (-nonMailFolders create)";
  reporter_.print("   - \"" + folder.name() + "\", skipped: " + why + "\n");
  if (report_ != nullptr) {
    ReportRow row;
    row.domain = mailbox.domainName();
    row.account = account_;
    row.folder = folder.name();
    row.kind = nonMailKindWord(folder.type());
    row.storeMessages = folder.messageCount();
    row.verdict = Verdict::Skipped;
    row.error = why;
    report_->add(row);
  }
}

std::int64_t AccountMigration::createStandardFolder(const Folder& folder) {
  const FolderPlacement::Place place = placement_->place(folder.name());
  if (!place.error.empty()) {
    reporter_.print("Error: " + place.error + "\n");
    throw QLStoreException(place.error);
  }
  reporter_.print(place.note);
  std::int64_t count = -1;
  if (checkResult(reporter_, TargetStep::Select, gateway_.select(place.wireName, &count),
                  place.shownName) != StepOutcome::Done) {
    checkResult(reporter_, TargetStep::CreateFolder, gateway_.createFolder(place.wireName, 0),
                place.shownName);
    // The count of the new folder, which servers give with the SELECT.
    checkResult(reporter_, TargetStep::Select, gateway_.select(place.wireName, &count),
                place.shownName);
  }
  targetName_ = place.wireName;
  return count;
}

std::int64_t AccountMigration::createFolder(const Folder& folder) {
  if (settings_.standardTarget) {
    return createStandardFolder(folder);
  }
  const std::string& source = folder.name();
  std::string replaced = source;
  replaceForbiddenChars(replaced, '_');
  if (replaced != source) {
    reporter_.print("Warning: folder-name \"");
    reporter_.print(source);
    reporter_.print("\" contain forbidden chars. ");
    reporter_.print("Name \"");
    reporter_.print(replaced);
    reporter_.print("\" will be usead instead it.\n");
  }
  std::string path;
  bool firstLevel = true;
  std::int64_t count = -1;
  for (const std::string& level : splitPath(replaced, "/")) {
    if (!firstLevel) {
      path += '/';
    }
    firstLevel = false;
    path += level;
    if (checkResult(reporter_, TargetStep::Select, gateway_.select(path, &count), path) ==
        StepOutcome::Done) {
      continue;
    }
    checkResult(reporter_, TargetStep::CreateFolder, gateway_.createFolder(path, folder.type()),
                path);
    count = 0;
  }
  targetName_ = replaced;
  return count;
}

std::int64_t AccountMigration::countUnrecorded(const Folder& folder, const Mailbox& mailbox) {
  std::ostream silent(nullptr);
  Folder walk(folder);
  walk.setLog(&silent);
  Message message(&walk);
  std::int64_t count = 0;
  walk.open(mailbox.name());
  for (bool more = walk.firstMessage(message); more; more = walk.nextMessage(message)) {
    if (!resume_.recorded(message.key())) {
      ++count;
    }
  }
  walk.close();
  return count;
}

}  // namespace lodemig
