#ifndef LODEMIG_MIGRATION_ACCOUNT_AUDIT_H_
#define LODEMIG_MIGRATION_ACCOUNT_AUDIT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "imap/message_summary.h"
#include "migration/dav_audit.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/migration_target.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "migration/target_names.h"
#include "store/folder.h"
#include "store/mailbox.h"

namespace lodemig {

// Folders of one account whose target names are the same (INBOX matched in
// any case): each group with its store names, in store order.
// `targetName` gives a store folder's target name (targetFolderName when
// not given).
std::vector<std::vector<std::string>> collidingFolders(
    const std::vector<Folder>& folders,
    const std::function<std::string(const std::string&)>& targetName = targetFolderName);

// What a comparison of a folder's messages found.
struct FolderComparison {
  Verdict verdict = Verdict::Ok;
  std::string error;         // empty when ok, unless mail of others was left out
  std::int64_t foreign = 0;  // target messages that look like no store message
};

// Compares the messages of a folder as the store would send them with the
// target's, as multisets: the count, then sizes and flags, then the dates of
// the store's messages that have one (without one, the target chose it).
// When the target holds more, its messages whose size and date no store
// message has are mail others delivered: left out, and counted.
FolderComparison compareMessages(const std::vector<MessageSummary>& store,
                                 const std::vector<MessageSummary>& target);

// Reads a folder's messages as a migration would send them (CR/LF fixing as
// set on the folder). Throws QLStoreException, its text beginning with the
// message's number, when one cannot be read.
std::vector<MessageSummary> storeSummaries(Folder& folder, const Mailbox& mailbox);

// Runs that read the target and write nothing to it: a pre-flight check of
// what a migration would meet, and an audit of a finished one. Each account
// on its own connection acting as the account (MigrationTarget::actAs()),
// whose folders it names as a migration would. The references must outlive
// the object.
class AccountAudit {
 public:
  AccountAudit(const MigrationSettings& settings, const ConnectionSettings& connection,
               ImapGateway& gateway, Reporter& reporter, RunReport& report);
  // Writes the rows and totals into `report` from now on.
  void useReport(RunReport& report) { report_ = &report; }
  // A check with -delta forecasts the next delta pass from `journal`'s
  // records (opened to be read only); nullptr: none.
  void useJournal(Journal* journal) { journal_ = journal; }
  AccountAudit(const AccountAudit&) = delete;
  AccountAudit& operator=(const AccountAudit&) = delete;

  // Compares every folder of the account with the target, a report row
  // each. False when anything differs. Throws QLNetworkException when the
  // target fails, QLStoreException when the account's folders cannot be
  // listed.
  bool verify(Mailbox& mailbox);
  // Says whether the account exists on the target and which of its target
  // folders hold messages already, which folders would merge, and which
  // messages are over the target's APPENDLIMIT. False when the migration
  // would skip the account or fail some of it. Throws as verify().
  bool check(Mailbox& mailbox);

  // Before the first account of a check: the server's announced limit and
  // the round trip, measured on the administrator's connection.
  void startCheck();
  // The check's closing figures and an estimate of the migration's
  // duration.
  std::string checkSummary() const;

 private:
  // The target name of a store folder, as a migration would create it.
  std::string targetNameOf(const std::string& storeName) const;
  // Warns of the kept folders whose target names are the same; false when
  // there are any.
  bool warnMerging(const std::vector<Folder>& folders);
  // On the account's connection, which it then closes: says which target
  // folders exist already and what they hold.
  void reportTargetFolders(const std::vector<Folder>& folders);
  // The target folder's message count; -1 when it does not exist.
  std::int64_t targetCount(const std::string& name);
  // The folders a migration keeps, in groups that go into one target
  // folder, each in store order; they point into `folders`.
  std::vector<std::vector<Folder*>> mergedGroups(std::vector<Folder>& folders) const;
  // Compares the union of a group's store folders with their one target
  // folder; a report row per store folder. False when anything differs.
  bool verifyGroup(const std::vector<Folder*>& group, const Mailbox& mailbox);
  // Reads a store folder into store_; its row, failed when it cannot be read.
  ReportRow readStoreFolder(Folder& folder, const Mailbox& mailbox, const std::string& targetName,
                            bool alone);
  // Compares store_ with the target folder (unless the store gave
  // `storeError`), setting its count on `first`.
  FolderComparison compareWithTarget(const std::string& targetName, const std::string& storeError,
                                     ReportRow& first);
  // False when a message is over the limit; adds the folder to the totals.
  bool checkFolderMessages(Folder& folder, const Mailbox& mailbox);
  // What the next delta pass would do with the account's folders, added to
  // the forecast; false when a folder cannot be read.
  bool forecastFolders(const std::vector<Folder>& folders, const Mailbox& mailbox);
  bool forecastFolder(const Folder& folder, const Mailbox& mailbox);
  // The forecast's lines, in place of the migration's estimate.
  std::string forecastSummary() const;
  // The time a pass takes, by the benchmark's figures and the round trip.
  double estimatedSeconds(std::int64_t messages, std::int64_t accounts, std::uint64_t bytes,
                          std::int64_t roundTrips) const;

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  ImapGateway& gateway_;
  Reporter& reporter_;
  RunReport* report_;
  // An audit creates no account: the target's record of them stays empty.
  PasswordRecord noPasswords_;
  std::unique_ptr<MigrationTarget> migrationTarget_;
  // The calendars and contacts on the DAV server, when the run names one.
  DavAudit dav_;
  std::string account_;
  std::vector<MessageSummary> store_;
  std::vector<MessageSummary> target_;

  // The check's figures.
  std::int64_t appendLimit_ = -1;
  double roundTripSeconds_ = 0;
  std::int64_t accounts_ = 0;
  std::int64_t existing_ = 0;
  std::int64_t folders_ = 0;
  std::int64_t messages_ = 0;
  std::uint64_t bytes_ = 0;

  // The forecast of a delta pass.
  Journal* journal_ = nullptr;
  struct Forecast {
    std::int64_t accounts = 0;  // with anything to do
    std::int64_t folders = 0;
    std::int64_t messages = 0;  // to send
    std::uint64_t bytes = 0;
    std::int64_t flags = 0;  // messages whose flags change
    std::int64_t gone = 0;   // messages gone from the store
    std::int64_t expunged = 0;
    std::int64_t goneFolders = 0;
  } forecast_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_AUDIT_H_
