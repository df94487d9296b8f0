#ifndef LODEMIG_BENCH_STORE_CHANGES_H_
#define LODEMIG_BENCH_STORE_CHANGES_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "bench/store_generator.h"

namespace lodemig::bench {

// What a running server does to a store between two passes over it, in
// every account's INBOX.
struct StoreChangePlan {
  int newPerAccount = 0;    // messages delivered
  int flagsPerAccount = 0;  // messages whose flag letters change
  uint64_t seed = 1;
};

// One message whose flag letters changed.
struct FlagChange {
  size_t account = 0;  // index into StoreManifest::accounts
  size_t index = 0;    // its place in the mailbox file, or in the name order of its directory
  std::string before;  // the letters, as the store had them ("SA")
  std::string after;
};

// What changeStore() did.
struct StoreChanges {
  uint64_t newMessages = 0;
  uint64_t newBytes = 0;  // the new messages' content bytes
  std::vector<FlagChange> flags;
  // Per account, how many messages its mailbox file held before the change:
  // the messages from there on are the new ones.
  std::vector<uint64_t> mailboxMessagesBefore;
  std::set<std::string> newFiles;  // paths of the new message-directory files
};

// The flag letters a changed message gets: `letters` with its first letter
// replaced by the first of "SAFD" it does not hold, so that the header line
// keeps its length. Empty when no such change exists (no letters, or all four).
std::string changedFlagLetters(const std::string& letters);

// Changes the store of `*manifest` as its server would while running, and
// updates the manifest (spans, message files, counts and bytes) to match:
// - a mailbox file gets its flag changes written over the letters of the
//   header lines in place (same length, so no offset moves), then its new
//   messages appended, each after an empty line, with the next local uids;
// - a message directory gets its changed messages renamed (the part of the
//   name without the flags kept) and its new messages written as new files.
// New messages carry no flags. The messages whose flags change are spread
// over the folder in steps, each the first at or after its step that has
// letters to change; a folder with fewer such messages changes fewer.
// Throws std::runtime_error when a file cannot be read, written or renamed.
StoreChanges changeStore(const StoreChangePlan& plan, StoreManifest* manifest);

// Copies the files of `manifest`'s store to `root` (removed first when it
// exists) and returns the manifest of the copy. Throws
// std::filesystem::filesystem_error when a file cannot be copied.
StoreManifest copyStore(const StoreManifest& manifest, const std::string& root);

// The digest the target reports after a pass over the store before the
// change (`before`, that store's StoreDigest) and then a pass that sent only
// the new messages of `changes`, in the walk order of the changed store.
std::string expectedDigestAfter(const target::StoreDigest& before, const StoreManifest& manifest,
                                const StoreChanges& changes);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_STORE_CHANGES_H_
