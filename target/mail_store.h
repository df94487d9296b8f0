#ifndef LODEMIG_TARGET_MAIL_STORE_H_
#define LODEMIG_TARGET_MAIL_STORE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "target/content_digest.h"

namespace lodemig::target {

// Totals for the stop line. Accounts and folders leave out the
// administrator's own mailbox; messages and bytes count everything stored.
struct StoreCounts {
  std::size_t accounts = 0;
  std::size_t folders = 0;
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
};

// What the store keeps of every message, in counting mode too, so that
// FETCH can show a client whether what arrived is what it sent.
struct MessageRecord {
  std::uint64_t size = 0;  // the literal's byte count
  std::string date;        // the append's date as given; empty when it had none
  std::string flags;       // the text of the append's flag list
  std::uint64_t uid = 0;   // ascending within its folder, never given twice
  // The message's Message-ID header field as it stands in the header, line
  // ends included ("Message-ID: <a@b>\r\n"); empty when it has none.
  std::string messageIdField;
  std::uint64_t file = 0;  // the number of its files; 0 when none are written
};

// A folder's UID state as SELECT and STATUS report it.
struct FolderUids {
  std::uint64_t validity = 1;
  std::uint64_t next = 1;
  std::uint64_t messages = 0;
};

// What storeMessage() keeps of one message.
struct IncomingMessage {
  std::string_view flags;
  std::string_view date;
  std::string_view command;  // the command that brought it, for the .meta file
  std::uint64_t digest = 0;  // its own ContentDigest
  std::uint64_t size = 0;    // the literal's byte count
  // The message itself when keepsBytes(), not read otherwise.
  std::string_view bytes;
  std::string_view messageIdField;  // as MessageRecord keeps it
};

// The server's accounts, folders and messages. Without a directory it keeps
// only the counts, a MessageRecord of each message and a StoreDigest of the
// stored messages, and never sees a message's bytes; with one it also
// writes, under DIR/accounts/<address>/:
//   account              "password: <pw>\nfullname: <full name>\n"
//   folders              one "<kind word or -> <name>\n" line per folder, INBOX first
//   messages/NNNNNN.eml  the message bytes as received
//   messages/NNNNNN.meta "folder: ..\nflags: ..\ndate: ..\ncommand: ..\n"
//   uids                 one "NNNNNN <uid> <folder>\n" line per message ever stored,
//                        kept after an expunge so that no UID is given twice
// Files are complete when the call that writes them returns. The
// administrator's mailbox ("admin") exists from the start; its directory
// appears when something is first stored in it.
//
// Every method may be called from any thread. Methods that write files throw
// QLException when a file cannot be written; nothing is recorded then.
class MailStore {
 public:
  using AccountId = std::size_t;
  static constexpr AccountId kAdministrator = 0;
  // The folders-file word of a folder created without a kind.
  static constexpr std::string_view kNoKind = "-";

  enum class Outcome {
    kDone,
    kExists,   // the account or folder is already there
    kMissing,  // no such folder
    kInvalid,  // a name or text that cannot be kept (path characters, line ends, empty)
  };

  // `directory` empty: counting only. Otherwise DIR/accounts is created;
  // throws QLException when it cannot be, or when it already holds accounts
  // (two runs' messages must never mix) unless `reopen`: then the accounts,
  // folders and messages a server wrote there before are read back with
  // their UIDs, and QLException names a file that cannot be read.
  explicit MailStore(std::string directory, bool reopen = false);
  MailStore(const MailStore&) = delete;
  MailStore& operator=(const MailStore&) = delete;

  // Creates the account `address` (user@domain) with an INBOX of kind X-MAIL.
  Outcome createAccount(const std::string& address, const std::string& password,
                        const std::string& fullName);
  // The account with that address, compared without regard to ASCII case.
  std::optional<AccountId> findAccount(std::string_view address) const;
  std::string password(AccountId account) const;

  // `kind` is a kind word or kNoKind. INBOX is matched without regard to case;
  // other names exactly.
  Outcome createFolder(AccountId account, std::string_view kind, const std::string& name);
  // Messages in the folder, or nothing when it does not exist.
  std::optional<std::uint64_t> folderMessages(AccountId account, std::string_view name) const;
  // The records of the folder's messages in arrival order, or nothing when
  // it does not exist.
  std::optional<std::vector<MessageRecord>> folderRecords(AccountId account,
                                                          std::string_view name) const;
  // The folder's UIDVALIDITY, UIDNEXT and count, or nothing when it does not
  // exist.
  std::optional<FolderUids> folderUids(AccountId account, std::string_view name) const;
  // True when messages are written to files, so that storeMessage() needs
  // their bytes; otherwise the caller need not keep them.
  bool keepsBytes() const { return !directory_.empty(); }
  // Stores one message under the folder's next UID, which *uid is set to
  // when not null. kMissing when the folder does not exist; the counts and
  // the digest change only on kDone.
  Outcome storeMessage(AccountId account, std::string_view folder, const IncomingMessage& message,
                       std::uint64_t* uid = nullptr);
  // Adds the flag word `flag` to the messages of `uids` that do not have it
  // (or, not `add`, takes it from those that have it); UIDs the folder does
  // not hold are passed over. Flags are kept in memory only. kMissing when
  // the folder does not exist.
  Outcome addFlag(AccountId account, std::string_view folder,
                  const std::vector<std::uint64_t>& uids, std::string_view flag, bool add = true);
  // Removes the messages flagged \Deleted, only those of `uids` unless it
  // is null, with their files. Returns the sequence number of each as an
  // EXPUNGE response reports it (each counted after the removals before
  // it), or nothing when the folder does not exist. The counts and digests
  // of the stop line keep what arrived.
  std::optional<std::vector<std::uint64_t>> expunge(AccountId account, std::string_view folder,
                                                    const std::vector<std::uint64_t>* uids);

  StoreCounts counts() const;
  // The StoreDigest (16 lower-case hex digits) of all stored messages in
  // arrival order.
  std::string finishDigest() const;
  // The AccountsDigest of every account that holds messages: each account's
  // messages in their arrival order, the accounts in any order.
  std::string accountsDigest() const;

 private:
  struct Folder {
    std::string kind;
    std::string name;
    std::vector<MessageRecord> messages;
    std::uint64_t uidNext = 1;
  };
  struct Account {
    std::string address;
    std::string password;
    std::string fullName;
    std::vector<Folder> folders;
    std::map<std::string, std::size_t, std::less<>> folderIndex;
    std::uint64_t nextMessage = 1;
    bool written = false;
    StoreDigest digest;  // of its messages in arrival order
    bool holdsMessages = false;
  };

  Folder* findFolder(Account& account, std::string_view name);
  const Folder* findFolder(const Account& account, std::string_view name) const;
  std::string accountDirectory(const Account& account) const;
  void writeAccount(Account& account);
  Account& newAccount(const std::string& address, const std::string& password,
                      const std::string& fullName);
  void writeMessageFiles(Account& account, const Folder& folder, const IncomingMessage& message,
                         std::uint64_t uid);
  // Reads back what a server wrote under directory_ before.
  void loadAccounts();
  void loadAccount(const std::string& base, const std::string& address);
  void loadMessages(Account& account, const std::string& base);

  const std::string directory_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Account>> accounts_;
  std::unordered_map<std::string, AccountId> accountIndex_;
  StoreCounts counts_;
  StoreDigest digest_;
  std::string name_;  // reused for message file names
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_MAIL_STORE_H_
