#ifndef LODEMIG_TESTS_DELTA_SCENARIO_H_
#define LODEMIG_TESTS_DELTA_SCENARIO_H_

// One account's store as a cut-over meets it: built, copied once, then
// changed the way its running server changes it while the copy is in use.
// Shared by the delta tests against the stand-in and against dovecot.

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/store_builder.h"

namespace lodemig::testing {

// A message on the target, by folder and the Message-ID its content
// carries ("<in.1@store.example>"); `flags` the system flag words it should
// have, sorted and blank-separated ("\Answered \Seen"), when known.
struct Placed {
  std::string folder;
  std::string id;
  std::string flags;

  bool operator==(const Placed& other) const {
    return std::tie(folder, id, flags) == std::tie(other.folder, other.id, other.flags);
  }
  bool operator<(const Placed& other) const {
    return std::tie(folder, id, flags) < std::tie(other.folder, other.id, other.flags);
  }
};
void PrintTo(const Placed& placed, std::ostream* out);

// The Message-ID of a message's content ("" without one).
std::string messageIdOf(const std::string& content);
// Flag words in any order, with or without \Recent, as Placed holds them.
std::string sortedFlags(const std::string& words);

// ann@example.com (default domain, an account directory):
//   INBOX    mailbox file, 5 messages  flags of two rewritten in place, two appended
//   Lists    mailbox file, 4 messages  the first deleted and the third moved to
//                                      Notes, the file compacted
//   Notes    message directory, 3      one renamed for a new flag, one deleted,
//                                      one new, the moved one
//   Archive  mailbox file, 2           unchanged
//   Old      mailbox file, 1           gone with its folder
//   Later    mailbox file, 1           a new folder
class DeltaScenario {
 public:
  explicit DeltaScenario(StoreBuilder& builder) : builder_(builder) {}

  // Writes the store as the first pass copies it.
  void build();
  // Changes it as above, the mailbox files written over in place (the
  // flag letters) and rewritten shorter (the compaction).
  void change();

  // How many messages the first pass sends.
  static int firstCount() { return 15; }
  // The target's messages of the migration after the first pass, after a
  // delta pass, and after one with -expunge; sorted, flags left empty.
  static std::vector<Placed> placedBefore();
  static std::vector<Placed> placedAfterDelta();
  static std::vector<Placed> placedAfterExpunge();
  // As placedAfterDelta() and placedAfterExpunge(), with each message's
  // flags as the store has them last (as sent for those gone).
  static std::vector<Placed> flaggedAfterDelta();
  static std::vector<Placed> flaggedAfterExpunge();

 private:
  StoreBuilder& builder_;
  std::string infoPath_;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_DELTA_SCENARIO_H_
