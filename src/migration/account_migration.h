#ifndef LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_
#define LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "imap/connection_settings.h"
#include "imap/imap_gateway.h"
#include "migration/migration_settings.h"
#include "migration/password_record.h"
#include "migration/reporter.h"
#include "store/folder.h"
#include "store/mailbox.h"
#include "utils/imessage.h"

namespace lodemig {

// What became of one folder of an account.
struct FolderTally {
  std::string name;                // as in the store
  std::int64_t storeMessages = 0;  // the count the store's info file gives
  std::int64_t read = 0;           // messages read from the store
  std::int64_t sent = 0;           // messages the target accepted
  std::int64_t refused = 0;        // messages refused or whose content failed
  std::uint64_t bytesSent = 0;     // content bytes accepted, as sent
  bool failed = false;             // the folder could not be read to its end
  std::string firstError;          // the first failure, with its message number
};

// What became of one account.
struct AccountTally {
  bool declined = false;  // it existed on the target and force was off
  std::vector<FolderTally> folders;

  // True when a message or a folder failed.
  bool failed() const;
};

// Migrates one account on the gateway's connection: connects as
// administrator, makes the account exist (recording its password), switches
// to it, then creates every folder and appends every message. A failed
// message is reported and the next one sent; a folder that cannot be read is
// reported, the connection renewed, and the next folder migrated.
//
// The references must outlive the object; one account is migrated at a time.
class AccountMigration {
 public:
  AccountMigration(const MigrationSettings& settings, const ConnectionSettings& connection,
                   ImapGateway& gateway, Reporter& reporter, PasswordRecord& passwords);
  AccountMigration(const AccountMigration&) = delete;
  AccountMigration& operator=(const AccountMigration&) = delete;

  // Throws QLStoreException when the account fails as a whole (its folder
  // list cannot be read, the identity switch is refused), QLNetworkException
  // when the target fails (the run ends). The connection is closed however it
  // ends.
  AccountTally run(Mailbox& mailbox);

  // Opens the administrator's connection. Throws QLNetworkException.
  void connect();
  // Makes the account exist (choosing and recording its password) and
  // switches the connection to it. False when it already existed and force is
  // off, unless `resuming`: the account was already being migrated on a
  // connection that had to be renewed. Throws QLStoreException when the switch
  // is refused, else QLNetworkException (also, before creating anything, once
  // the password record cannot be written).
  bool provision(const Mailbox& mailbox, bool resuming = false);

 private:
  void migrateFolders(Mailbox& mailbox, AccountTally& tally);
  // Creates the folder on the target and copies its messages. Throws
  // QLNetworkException, or QLStoreException (after the folder's report) when
  // the renewed connection cannot switch to the account.
  void transferFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // Reads and appends every message; a store error leaves it.
  void transferMessages(Folder& folder, const Mailbox& mailbox, FolderTally& tally);
  // After a folder that could not be read: a fresh connection acting as the
  // account. False when it cannot act as the account.
  bool renewConnection(const Mailbox& mailbox);
  // Makes the folder's target path exist, level by level, each missing level
  // with the folder's kind. Throws QLNetworkException.
  void createFolder(const Folder& folder);
  // Throws QLStoreException when the server refuses the message or its
  // content fails, else QLNetworkException.
  void appendMessage(IMessage& message);
  std::string choosePassword(const Mailbox& mailbox, bool& generated) const;

  const MigrationSettings& settings_;
  const ConnectionSettings& connection_;
  ImapGateway& gateway_;
  Reporter& reporter_;
  PasswordRecord& passwords_;
  bool fastAppend_ = false;
  // The current folder's target name, used for every message.
  std::string targetName_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_MIGRATION_H_
