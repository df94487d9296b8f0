#ifndef LODEMIG_TESTS_STORE_BUILDER_H_
#define LODEMIG_TESTS_STORE_BUILDER_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/store_kind.h"

namespace lodemig::testing {

// One message of a mailbox file, as the builder writes it: the header line
// "From <sender@example.com>(FLAGS-UID) DATE" CR LF, then `content` as is.
// Messages after the first are preceded by the CR LF separator that the reader
// drops, so reading gives back exactly `content` (unless it holds a line that
// begins with "From <").
struct MailboxMessage {
  std::string flags;    // flag letters, "SA"
  std::string uid;      // local uid, "1"
  std::string date;     // header timestamp, "Wed Jun 30 21:49:08 1993"
  std::string content;  // the stored bytes, "Subject: x\r\n\r\nbody\r\n"
};

// Builds a store in a directory (normally a ScopedTempDir) the way the reader
// expects it:
//
//   StoreBuilder store(dir.path());
//   store.account("", "john", AccountDirectory)
//       .settings("{ RealName = \"John\"; Password = pw; }")
//       .info("{ #StorageUsed = #1024; INBOX = { Class = IPF.Note; Messages = #2; }; }");
//   store.mailboxFile("", "john", "INBOX", {{"SA", "1", "Wed Jun 30 21:49:08 1993", "x\r\n"}});
//   store.account("example.org", "bob", MessageDirectory);
//   store.messageFile("example.org", "bob", "INBOX", "1-S-20070823103000-host", "content");
//
// The domain "" is the default domain (<store>/Accounts); any other name is
// <store>/Domains/<name>. Folder names are written as in the info file
// ("Archive/2007"). Everything is written at once; helpers throw
// std::runtime_error when a file cannot be written and std::logic_error when
// asked for something the layout does not have.
class StoreBuilder {
 public:
  // The files of one account; returned by account() for chaining.
  class Account {
   public:
    Account(std::string path, std::string settingsPath, std::string infoPath)
        : path_(std::move(path)),
          settingsPath_(std::move(settingsPath)),
          infoPath_(std::move(infoPath)) {}
    // Writes the settings file (dictionary text).
    Account& settings(const std::string& text);
    // Writes the info file (dictionary text).
    Account& info(const std::string& text);
    // The account path as the reader reports it.
    const std::string& path() const { return path_; }
    const std::string& settingsPath() const { return settingsPath_; }
    const std::string& infoPath() const { return infoPath_; }

   private:
    std::string path_;
    std::string settingsPath_;
    std::string infoPath_;
  };

  explicit StoreBuilder(std::string storePath) : storePath_(std::move(storePath)) {}

  // Creates the domain directory and returns its path.
  std::string domain(const std::string& domain);
  std::string domainPath(const std::string& domain) const;

  // Creates the account's directory (".macnt", ".mdir") or its empty mailbox
  // file (".mbox"), without settings or info file.
  Account account(const std::string& domain, const std::string& name, StorageKind kind);

  // Where the reader looks for a folder of an account made with account():
  // its mailbox file (not for MessageDirectory accounts) and its message
  // directory (not for MailboxFile accounts).
  std::string mailboxPath(const std::string& domain, const std::string& name,
                          const std::string& folder) const;
  std::string messageDirectoryPath(const std::string& domain, const std::string& name,
                                   const std::string& folder) const;

  // Writes the folder's mailbox file; returns its path.
  std::string mailboxFile(const std::string& domain, const std::string& name,
                          const std::string& folder, const std::vector<MailboxMessage>& messages);
  // Writes one file of the folder's message directory; returns its path.
  std::string messageFile(const std::string& domain, const std::string& name,
                          const std::string& folder, const std::string& fileName,
                          const std::string& content);

  // Messages 1 to `count` of `tag` whose flags, arrival times and sizes
  // differ from their neighbours', so that a message stored in another's
  // place shows; each with its own Message-ID unless `withIds` is false.
  static std::vector<MailboxMessage> variedMessages(const std::string& tag, int count,
                                                    bool withIds = true);

  // The mailbox file text of `messages`.
  static std::string mailboxText(const std::vector<MailboxMessage>& messages);

 private:
  StorageKind kindOf(const std::string& domain, const std::string& name) const;
  std::string accountPath(const std::string& domain, const std::string& name) const;

  std::string storePath_;
  std::map<std::pair<std::string, std::string>, StorageKind> kinds_;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_STORE_BUILDER_H_
