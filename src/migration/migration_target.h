#ifndef LODEMIG_MIGRATION_MIGRATION_TARGET_H_
#define LODEMIG_MIGRATION_MIGRATION_TARGET_H_

#include <cstdint>
#include <memory>
#include <string>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/folder_placement.h"
#include "migration/journal.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "store/folder.h"
#include "store/mailbox.h"
#include "utils/imessage.h"

namespace lodemig {

// What differs between the two kinds of target a run writes to, for the
// migration and the audit alike: how a connection comes to act as an account
// (and whether accounts are created), where a store folder goes and how it is
// made to exist, which folders are kept at all, and how messages are
// appended. One object per connection (per job), made by
// makeMigrationTarget(); it works on the gateway it was given and keeps what
// it learns of the target between accounts.
//
// The references given to it must outlive the object. Every operation that
// asks the target checks the answer as the step it is (checkResult()) and
// throws as that says: QLStoreException for the account or folder alone,
// QLNetworkException (QLConnectionLostException among them) for the run.
class MigrationTarget {
 public:
  virtual ~MigrationTarget() = default;
  MigrationTarget(const MigrationTarget&) = delete;
  MigrationTarget& operator=(const MigrationTarget&) = delete;

  // Where accounts created by a migration are recorded besides the password
  // file; nullptr: no journal. `journal` must outlive the object.
  virtual void useJournal(Journal* journal) = 0;

  // For a migration: opens a connection that acts as the account, creating
  // the account where the target lets the run do that. False when the
  // account exists already and -force is off (the connection stays open),
  // unless `resuming`: the account is already the run's, on a connection
  // that had to be renewed. Throws QLStoreException when the target does
  // not let the run act as the account.
  virtual bool openAccount(const Mailbox& mailbox, bool resuming) = 0;
  // After openAccount() at the start of an account's try: settles the
  // command appends go with from now on.
  virtual void prepareAppends() = 0;
  // From now on, round trips are saved where the order of the exchange does
  // not matter to the run's output: what a run with several connections at
  // once does, whose exchanges interleave anyway.
  void saveRoundTrips() { saveRoundTrips_ = true; }
  // For an audit, which writes nothing: opens a connection that acts as the
  // account when it exists. False (no connection left open) when it does
  // not or the target does not let the administrator act as it.
  virtual bool actAs(const Mailbox& mailbox) = 0;
  // For a check, on a connection that reaches the target: asks which command
  // appends would go with and returns the line that says so.
  virtual std::string describeAppends() = 0;

  // Whether place() can be asked now: a standard IMAP server's names are
  // known only once the run acts as the account.
  virtual bool canPlace() const = 0;
  // Where the store folder `storeName` goes on the target: its name there,
  // a line for the report when the name is not the store's own, or the
  // error of a folder that cannot go anywhere.
  virtual FolderPlace place(const std::string& storeName) const = 0;
  // Makes `place` exist as a folder of `type` and selects it. Returns its
  // message count: 0 when it was created, -1 when the server did not say.
  // With `uids`, sets what the server said of its UIDs (nothing, on the
  // private target, of a folder it has just created). On a standard IMAP
  // server the folder is subscribed too, since many clients show only the
  // folders that are; a refusal is a warning, the folder goes on.
  virtual std::int64_t createFolder(const FolderPlace& place, FolderType type,
                                    FolderUidState* uids = nullptr) = 0;
  // For an audit, once place() has placed `place`: false when the target
  // keeps subscriptions and the account has not subscribed the folder. The
  // account's subscriptions are asked once (LSUB) on its connection's
  // first call; when the server will not list them, a warning says so and
  // every folder counts as subscribed. Always true on the private target.
  virtual bool subscribed(const FolderPlace&) { return true; }
  // The kind word ("calendar", "contacts" ...) of a folder the target does
  // not keep, so that a migration leaves it out; "" for a folder it keeps.
  virtual const char* skippedKind(const Folder& folder) const = 0;
  bool keeps(const Folder& folder) const { return *skippedKind(folder) == '\0'; }
  // Why a migration leaves the folder out, for the report; "" when kept.
  std::string whySkipped(const Folder& folder) const;
  // The word the report gives the target folder's kind: the private
  // target's kind keyword ("X-MAIL"), or "mail" on a standard server, where
  // every folder kept is a mail folder.
  virtual std::string kindWord(const Folder& folder) const = 0;

  // The target's word in check lines: "Torvane" or "the target".
  virtual const char* name() const = 0;
  // What a check says of an account that exists on the target (or not):
  // `line` for the report ("" none), `fine` false when a migration would
  // skip or fail the account.
  struct AccountCheck {
    std::string line;
    bool fine = true;
  };
  virtual AccountCheck checkAccount(const std::string& account, bool exists) const = 0;

  // Writes the message's append to `folder` (a place()'s wire name) with the
  // command prepareAppends() settled, without waiting for its answer, which
  // the gateway's awaitAppend() hands back with `token`; the gateway's
  // submitAppend() results.
  GatewayResult submitAppend(const std::string& folder, IMessage& message, std::uint64_t token);

 protected:
  MigrationTarget(const MigrationSettings& settings, const ConnectionSettings& connection,
                  ImapGateway& gateway, Reporter& reporter);

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  ImapGateway& gateway_;
  Reporter& reporter_;
  // Messages go with X-APPEND, which lets the target skip search indexing.
  bool xAppend_ = false;
  bool saveRoundTrips_ = false;
};

// The target the settings name: the private target, with its administrator's
// extensions, or a standard IMAP server (settings.standardTarget). The
// accounts a migration creates are written to `passwords`; an audit adds
// nothing to it.
std::unique_ptr<MigrationTarget> makeMigrationTarget(const MigrationSettings& settings,
                                                     const ConnectionSettings& connection,
                                                     ImapGateway& gateway, Reporter& reporter,
                                                     PasswordRecord& passwords);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATION_TARGET_H_
