#ifndef LODEMIG_BENCH_STORE_GENERATOR_H_
#define LODEMIG_BENCH_STORE_GENERATOR_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/prng.h"
#include "target/content_digest.h"

namespace lodemig::bench {

// How one generated account keeps its INBOX.
enum class AccountLayout {
  kMailboxFile,       // <domain>/<name>.mbox with .settings/.info beside it
  kAccountDirectory,  // <domain>/<name>.macnt/ holding INBOX.mbox and account.*
  kMessageDirectory,  // <domain>/<name>.mdir/ with one file per message
};

// The distribution message sizes are drawn from.
enum class SizeProfile {
  kRealistic,    // median about 4 KB, a tail up to about 200 KB, mean about 5 KB
  kSmall,        // about 2 KB, no tail
  kOneMebibyte,  // exactly 1048576 bytes each
};

// What to generate. Account i (from 0) gets layout layouts[i % size] and lives
// in the default domain when i % (extraDomains + 1) is 0, otherwise in
// Domains/d<k>.example.
struct StorePlan {
  int accounts = 1;
  int messagesPerAccount = 0;
  SizeProfile sizes = SizeProfile::kRealistic;
  std::vector<AccountLayout> layouts{AccountLayout::kMailboxFile};
  int extraDomains = 0;
  // Adds Sent Items, Drafts, Calendar, Contacts and Archive/2007 (all empty)
  // to every info file, as a print run over real accounts would read them.
  bool extraFolders = false;
  uint64_t seed = 1;
};

// One message inside a mailbox file: where its content lies.
struct MessageSpan {
  uint64_t offset = 0;
  uint64_t length = 0;
};

struct GeneratedAccount {
  std::string domainPath;  // the domain directory that lists the account
  std::string entryName;   // the account's entry in that directory
  AccountLayout layout = AccountLayout::kMailboxFile;
  std::string inboxPath;           // the INBOX mailbox file or message directory
  std::vector<MessageSpan> spans;  // mailbox-file layouts only, in file order
  uint64_t messages = 0;
  uint64_t bytes = 0;
};

// What a generated store holds; everything a run's results are checked against.
struct StoreManifest {
  std::string root;
  std::vector<GeneratedAccount> accounts;  // in generation order
  std::vector<std::string> messageFiles;   // every file that holds message content
  std::vector<std::string> settingsFiles;  // every .settings and .info file
  uint64_t messages = 0;
  uint64_t bytes = 0;  // message content bytes, separators and header lines excluded
  uint32_t medianSize = 0;
  uint32_t maxSize = 0;
};

// Builds message contents of an exact size: RFC 822 header lines and a body of
// text (and base64 attachment lines for large messages), every line ending in
// CR LF and none beginning with "From <". The same seed gives the same bytes.
class MessageFactory {
 public:
  // The smallest size build() accepts; smaller requests are raised to it.
  static constexpr uint32_t kMinSize = 1024;

  explicit MessageFactory(uint64_t seed);

  // A size drawn from `profile`.
  uint32_t sampleSize(SizeProfile profile);
  // Replaces *out with a message of exactly max(size, kMinSize) bytes;
  // `serial` makes its Message-ID unique.
  void build(uint32_t size, uint32_t serial, std::string* out);

 private:
  Prng prng_;
  std::vector<std::string> textLines_;
  std::vector<std::string> base64Lines_;
};

// Writes the store described by `plan` under `root` (which must not exist yet,
// or be empty) and returns its manifest. Throws std::runtime_error when a file
// or directory cannot be written.
StoreManifest generateStore(const StorePlan& plan, const std::string& root);

// The target's content digest (target/content_digest.h: a StoreDigest, 16
// lower-case hex digits) of every message's content in the order a migration
// walks the store: the default domain, then Domains/ in directory-listing
// order; accounts in listing order; mailbox-file messages in file order and
// message-directory files in listing order. Throws std::runtime_error when a
// file cannot be read.
std::string expectedDigest(const StoreManifest& manifest);
// Where a message of the walk lies, for a caller that digests only some of
// them: its account (an index into manifest.accounts), its place in its
// mailbox file (from 0), and for a message directory its file's path.
struct MessagePlace {
  size_t account = 0;
  size_t index = 0;
  std::string path;  // empty for a mailbox-file message
};
// Adds to *digest, in the walk order of expectedDigest(), every message that
// `include` accepts. Throws std::runtime_error when a file cannot be read.
void foldMessages(const StoreManifest& manifest,
                  const std::function<bool(const MessagePlace&)>& include,
                  target::StoreDigest* digest);
// The AccountsDigest a server started with --accounts-digest reports once it
// holds the store: each account's messages in store order, the accounts in
// any order.
std::string expectedAccountsDigest(const StoreManifest& manifest);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_STORE_GENERATOR_H_
