#ifndef LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_
#define LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "imap/uid_response.h"
#include "migration/append_window.h"
#include "migration/delta_plan.h"
#include "migration/folder_resume.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/migration_target.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "migration/run_watcher.h"
#include "migration/throttle.h"
#include "store/folder.h"
#include "store/mailbox.h"
#include "store/message.h"
#include "utils/imessage.h"

namespace lodemig {

class DavFolderMigration;

// Throws QLInterruptedException when a stop signal has come.
void stopIfAsked();
// Says in the report that the connection was lost (`what`) and which try of
// `retries` comes next, then waits 1, 2, 4 ... seconds (at most 30) for try
// `attempt` + 1, stopping early when a stop signal comes.
void pauseBeforeRetry(Reporter& reporter, int attempt, int retries, const std::string& what);

// What became of one folder of an account.
struct FolderTally {
  std::string name;                 // as in the store
  std::int64_t storeMessages = 0;   // the count the store's info file gives
  std::int64_t read = 0;            // messages read from the store
  std::int64_t sent = 0;            // messages the target accepted
  std::int64_t refused = 0;         // messages refused or whose content failed
  std::int64_t skipped = 0;         // messages the journal had as stored
  std::int64_t matched = 0;         // messages found on the target, not sent
  std::int64_t doublesRemoved = 0;  // copies a lost connection left, removed
  std::uint64_t bytesSent = 0;      // content bytes accepted, as sent
  bool failed = false;              // the folder could not be read to its end
  bool mismatch = false;            // the target's count after it is not as expected
  std::string firstError;           // the first failure, with its message number
  std::string failure;              // why the folder could not be read to its end
  // A delta pass: messages whose flags were set, gone from the store, and
  // removed from the target of those.
  std::int64_t flagsSet = 0;
  std::int64_t gone = 0;
  std::int64_t removed = 0;
  // The source changed while the folder was read: what changed is left for
  // the next pass.
  bool pending = false;
  std::string pendingNote;

  // Keeps `text` as the folder's first error unless it has one.
  void noteError(const std::string& text) {
    if (firstError.empty()) {
      firstError = text;
    }
  }
};

// What became of one account.
struct AccountTally {
  bool declined = false;  // it existed on the target and force was off
  bool skipped = false;   // the journal had it as migrated
  std::vector<FolderTally> folders;
  // The folder being migrated is the last one until it ends.
  bool inFolder = false;

  // True when a message or a folder failed, or a folder's count did not match.
  bool failed() const;
};

// Migrates one account on the gateway's connection: opens a connection that
// acts as the account (on the private target creating it and recording its
// password, see MigrationTarget), then creates every folder and appends every
// message. A failed
// message is reported and the next one sent; a folder that cannot be read is
// reported, the connection renewed, and the next folder migrated.
//
// The references must outlive the object; one account is migrated at a time.
class AccountMigration {
 public:
  AccountMigration(const MigrationSettings& settings, const ConnectionSettings& connection,
                   ImapGateway& gateway, Reporter& reporter, PasswordRecord& passwords);
  ~AccountMigration();
  AccountMigration(const AccountMigration&) = delete;
  AccountMigration& operator=(const AccountMigration&) = delete;

  // Records progress in `journal` and resumes from what it holds; nullptr:
  // no journal. `journal` must outlive the object.
  void useJournal(Journal* journal) {
    journal_ = journal != nullptr ? journal : &noJournal_;
    target_->useJournal(journal_);
  }
  // Writes a row of `report` for every folder as it ends, checking the target
  // folder's count against what was stored when the report writes a file (a
  // report without one only counts); nullptr: no report. `report` must
  // outlive the object.
  void useReport(RunReport* report) {
    report_ = report != nullptr ? report : &noReport_;
    reporting_ = report != nullptr && report->writesFile();
  }
  // Paces the appends and takes the server's requests to slow down with
  // `throttle`, shared with the run's other jobs; nullptr: no limits, and a
  // throttle of this account's own for the requests. Must outlive the object.
  void useThrottle(Throttle* throttle) {
    throttle_ = throttle != nullptr ? throttle : &noThrottle_;
  }
  // Tells `watcher` of every message stored, refused or unreadable and of
  // every retry and slow-down; nullptr: nobody. Must outlive the object.
  void useWatcher(RunWatcher* watcher) { watcher_ = watcher != nullptr ? watcher : &noWatcher_; }
  RunWatcher& watcher() { return *watcher_; }
  // Saves round trips where the order of the exchange does not matter to
  // the output (the switch with the creation, the version asked once, the
  // LOGOUT's answer not awaited): for a run of several connections at once.
  void saveRoundTrips() {
    saveRoundTrips_ = true;
    target_->saveRoundTrips();
  }
  // The report row of the account whose run() has just thrown
  // `error`, for the folder it was in or (none) for the account itself.
  void reportFailure(const Mailbox& mailbox, const std::string& error);

  // Throws QLStoreException when the account fails as a whole (its folder
  // list cannot be read, the identity switch is refused), QLNetworkException
  // when the target fails (the run ends). A lost connection is tried again
  // on a new one up to the settings' retries, going on where it was; then its
  // QLConnectionLostException leaves. The connection is closed however it
  // ends.
  const AccountTally& run(Mailbox& mailbox);

 private:
  // One try at the account, on a new connection.
  void runOnce(Mailbox& mailbox, AccountTally& tally);
  // Opens a connection that acts as the account, unless one is open; false
  // (with the tally declined) when the account exists and is not the run's.
  bool openTarget(const Mailbox& mailbox, AccountTally& tally);
  // Records the account as done (when it is) and closes the connection.
  void finishAccount(const AccountTally& tally);
  // Reports a folder that is not migrated: the console and log say `said`,
  // its report row gives `why` (and the folder's `kind`, or "").
  void skipFolder(const Folder& folder, const Mailbox& mailbox, const std::string& said,
                  const std::string& why, const char* kind);
  // Reports a folder that failed with `error`, at messageNumber_ when not 0.
  void noteFolderFailure(const Folder& folder, FolderTally& tally, const std::string& error);
  // The row of a folder that has ended; with a report file its target count
  // is asked again.
  void reportFolder(const Folder& folder, const Mailbox& mailbox, FolderTally& tally,
                    std::int64_t before);
  // The verdict of a folder the target held `before` messages of and holds
  // `after` of now; mail others delivered meanwhile is left out.
  Verdict folderVerdict(const Folder& folder, const Mailbox& mailbox, const FolderTally& tally,
                        std::int64_t before, std::int64_t after);
  // The note of a folder's report row: its first error, else what else it
  // met.
  std::string folderNote(const FolderTally& tally) const;
  // The report row of an account skipped as a whole, and its totals.
  void reportSkipped(const Mailbox& mailbox, const std::string& why);
  void migrateFolders(Mailbox& mailbox, AccountTally& tally);
  // Creates the folder on the target and copies its messages. Throws
  // QLNetworkException, or QLStoreException (after the folder's report) when
  // the renewed connection cannot switch to the account.
  void transferFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // Whether the folder is to be migrated now: false when it is skipped, done
  // or (a delta pass) unchanged, each then reported.
  bool startFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // Says how the folder ended, reports it (unless `targetCount` is -2: the
  // connection could not act as the account again) and records it.
  void endFolder(const Folder& folder, const Mailbox& mailbox, FolderTally& tally,
                 std::int64_t count, std::int64_t targetCount);
  // With the target folder in `state`: decides what it holds already, sends
  // the rest and, in a folder a connection was lost in, removes the doubles
  // the lost connection left. Sets `identityLost` when a store error left a
  // connection that cannot act as the account again.
  void fillFolder(Folder& folder, const Mailbox& mailbox, const FolderUidState& state,
                  FolderTally& tally, bool& identityLost);
  // Reads every message and appends it, with up to the connection's window
  // of appends outstanding (one at a time with a window of 1). Answers are
  // taken in store order, and the reader's log lines of a message are held
  // until its answer, so that the console, the log and the journal read the
  // same whatever the window. A store error leaves it once the messages
  // before the failing one are answered.
  void transferMessages(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // One walk of transferMessages(): with several messages per command where
  // the server offers it, or, `retrying`, only the messages of the commands
  // refused in the first walk (refusedTogether_), one per command.
  void walkMessages(Folder& folder, const Mailbox& mailbox, FolderTally& tally, bool retrying);
  // Reads the first or next message; on a store error answers the window
  // first and leaves messageNumber_ at `number`.
  bool readNext(Folder& folder, const Mailbox& mailbox, Message& message, bool first, long number,
                FolderTally& tally, long total);
  // Writes the message's append and, when the window is full, takes the
  // answers of its older half.
  // `backOffs`: how often the server refused it for its load before.
  void sendMessage(Message& message, const std::string& identity, long number, FolderTally& tally,
                   long total, int backOffs = 0);
  // The window the walk uses now: the connection's, or less once the server
  // asked the run to slow down.
  std::size_t windowWanted() const;
  // Before the next append: answers the window and takes a smaller one when
  // the throttle's has shrunk; then waits as the throttle says.
  void paceAppend(FolderTally& tally, long total);
  // The window's oldest was refused with `cause`: when the server asked to
  // slow down and the message may be tried again, the throttle backs off,
  // the message is kept to be sent again after the folder's walk, and
  // true is returned.
  bool deferRefused(const SentMessage& record, const std::string& cause, FolderTally& tally);
  // After a lost connection that try `attempt` + 1 follows: when the
  // server's BYE said it is overloaded, the throttle backs off, the console
  // and log say so, and the pause passes; false otherwise.
  bool backOffAfterBye(int attempt, const std::string& what);
  // Tells the watcher of a slow-down the server asked for: of one message
  // refused (`attempt` 0) or before try `attempt` of the account.
  void noteBackOff(const Throttle::BackOff& backOff, int attempt, const std::string& cause);
  // Sends the messages deferRefused() kept, walking the folder again, until
  // each is stored or refused for good.
  void resendDeferred(const Folder& folder, const Mailbox& mailbox, FolderTally& tally, long total);
  // Takes every answer still outstanding, then writes out the reader's held
  // lines.
  void settleWindow(FolderTally& tally, long total);
  // The window's oldest message: its log lines, its counter, its answer.
  void completeOldest(FolderTally& tally, long total);
  // True when the answer leaves the message to be sent again (a refused
  // command of several messages, or a refusal for the server's load):
  // neither stored nor refused yet.
  bool setAside(const SentMessage& record, GatewayResult result, const std::string& cause,
                FolderTally& tally);
  // After a lost connection: which messages of the window were not confirmed.
  void reportUnconfirmed(FolderTally& tally);
  // Reports that the target refused message `number` (or its content
  // failed), and why when `cause` says.
  void noteRefused(long number, const std::string& error, const std::string& cause,
                   FolderTally& tally);
  // After a folder that could not be read: a fresh connection acting as the
  // account. False when it cannot act as the account.
  bool renewConnection(const Mailbox& mailbox);
  // Says where the folder goes and makes it exist there (setting
  // targetName_). Returns the target folder's message count: 0 when it was
  // created, -1 when the server did not say, and sets what the server said
  // of its UIDs. Throws QLStoreException when the folder cannot be placed,
  // else as the target's steps say.
  std::int64_t createFolder(const Folder& folder, FolderUidState& uids);
  // Decides, before the first append, which of the folder's messages the
  // target holds already: what the journal records, and what the target
  // lists beyond that, matched with the store's messages.
  void reconcile(const Folder& folder, const Mailbox& mailbox, FolderUidState state);
  // After a lost connection: removes the copies of the folder's messages the
  // target holds twice because a dead connection's appends were stored
  // after the run had sent them again.
  void removeDoubles(const Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // How many messages others delivered to the target folder while the run
  // sent to it, as its listing from the folder's start tells; 0 when that
  // start is unknown or the target cannot list.
  std::int64_t foreignArrivals(const Folder& folder, const Mailbox& mailbox, std::int64_t before);
  // The walk's decision for `message` (number `number`); false when it is to
  // be sent.
  bool settledWithoutSending(Message& message, const std::string& identity, long number,
                             FolderTally& tally, long total);
  // What each of the folder's messages looks like to the target, in store
  // order, read without a word to the log.
  std::vector<StoreFingerprint> storeFingerprints(const Folder& folder, const Mailbox& mailbox);
  // The folder's messages that the journal names neither as stored nor as
  // refused, counted without a word to the log.
  std::int64_t countUnrecorded(const Folder& folder, const Mailbox& mailbox);

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  ImapGateway& gateway_;
  Reporter& reporter_;
  // What differs between the kinds of target.
  std::unique_ptr<MigrationTarget> target_;
  // Calendars and contacts for the DAV server or the export files; null
  // when the run sends none.
  std::unique_ptr<DavFolderMigration> dav_;
  // Never null: noJournal_ when the run keeps none.
  Journal noJournal_{Journal::Mode::Off};
  Journal* journal_ = &noJournal_;
  // Never null: noReport_, which only counts, when the run writes none.
  RunReport noReport_;
  RunReport* report_ = &noReport_;
  // Never null: noWatcher_, which does nothing, when nobody follows the run.
  RunWatcher noWatcher_;
  RunWatcher* watcher_ = &noWatcher_;
  bool reporting_ = false;
  bool saveRoundTrips_ = false;
  AccountTally tally_;
  // The message being read or sent, from 1.
  long messageNumber_ = 0;
  // The try at the current account (0 the first), and whether it was
  // provisioned by one of them.
  int attempt_ = 0;
  bool provisioned_ = false;
  bool accountOpen_ = false;  // this try's connection acts as the account
  // The account being migrated, as the journal names it.
  std::string account_;
  // A delta pass: the folder's mailbox file before it was read (-1: none
  // or not known), and what changed in the store since the journal's
  // records (null when the pass is no delta, or compares nothing).
  void takeSourceStamp(const Folder& folder, const Mailbox& mailbox);
  // After a folder read `whole`: records that stamp, unless messages gone
  // from the store are left on the target.
  void keepSourceStamp(bool whole, const FolderTally& tally);
  // Looks at the folder before the target is asked anything: true when
  // nothing changed since the last pass, which is then reported and left.
  // Begins the folder's resume unless the journal alone tells it unchanged.
  bool surveyUnchanged(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  void reportUnchanged(const Folder& folder, const Mailbox& mailbox, std::int64_t count,
                       const std::string& targetName);
  // After the folder's new messages: sets the flags that changed and deals
  // with the messages gone from the store.
  void applyDelta(const Folder& folder, FolderTally& tally);
  void removeGone(const std::string& where, FolderTally& tally);
  // "N new sent, N with new flags, N gone from the store, N removed".
  std::string deltaFigures(const FolderTally& tally) const;
  // The folders the journal began that the store no longer has: reported.
  void reportGoneFolders(const Mailbox& mailbox, const std::vector<Folder>& folders);
  std::int64_t sourceSize_ = -1;
  std::int64_t sourceMtime_ = -1;
  std::unique_ptr<DeltaPlan> delta_;
  // A delta pass over a mailbox file that changed: the walk that sends
  // collects the messages the plan is made of afterwards.
  bool collecting_ = false;
  std::vector<SurveyedMessage> collected_;

  // The folder a connection of this account was lost in; checked for doubles
  // when a new connection has finished it.
  std::string lostIn_;
  // The journal's decisions for the folder being migrated.
  FolderResume resume_;
  // The current folder's target name, used for every message, and the same
  // as people read it (UTF-8), for the report.
  std::string targetName_;
  std::string shownName_;

  // The messages whose answers are still to be taken.
  AppendWindow window_;
  // The numbers of the folder's messages whose command of several was
  // refused, ascending: sent again one per command.
  std::vector<long> refusedTogether_;
  // The folder whose messages are being sent, for the answers to tell a
  // message whose file changed under its read.
  Folder* walking_ = nullptr;
  // Where the reader writes while a window is open.
  std::ostringstream readLog_;

  // Never null: noThrottle_, without limits, when the run gives none.
  Throttle noThrottle_;
  Throttle* throttle_ = &noThrottle_;
  // Messages of the folder the server refused for its load: sent again
  // once its walk is over.
  struct Deferred {
    long number = 0;
    std::string identity;
    std::int64_t headerOffset = -1;
    std::string fileName;
    std::uint64_t storedSize = 0;
    int backOffs = 0;
    std::string cause;
  };
  std::vector<Deferred> deferred_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_
