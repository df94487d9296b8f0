#ifndef LODEMIG_STORE_MESSAGE_IDENTITY_H_
#define LODEMIG_STORE_MESSAGE_IDENTITY_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "utils/imessage.h"

// A message's store identity: a text that names one message of a folder the
// same way in every run, and keeps naming it when the store changes around
// it (other messages removed, a mailbox file compacted, flags changed). It
// never holds an offset. Three forms, told apart by their first two bytes:
//   "u:<local uid>:<stored size>"  a mailbox-file message whose header's uid
//                                  is present and not seen before in its file
//   "f:<file name without flags>"  a message file of a message directory
//   "d:<content size>:<md5 hex>"   a mailbox-file message without a usable
//                                  uid: the digest of its content as sent
// The uid and name parts are the store's bytes as they are; the size that
// ends the first form has no ':', so no two (uid, size) pairs share a text.
//
// In a mailbox file the first message to carry a uid keeps the uid's form;
// a later one with the same uid, and one without any, take the content's.
// That is decided while the walk meets each header, so a file whose uids are
// all there and unique is read once, as before, and no content is digested.
// Over an unchanged store the walk meets the messages in the same order and
// gives the same identities. When the source server compacts the file (drops
// messages, keeps the order of the rest) every remaining message keeps its
// identity, with one exception: when the dropped message was the first to
// carry a uid that a later message repeats, that later one now takes the
// uid's form. A rule over the whole file (every holder of a repeated uid
// digested) would need a second pass over it for every folder, and still
// changes an identity when one of two holders goes.

namespace lodemig {

// Which of the forms above a message's identity takes; the folder walk
// decides it while it reads the message's header or name.
enum class IdentityBasis { kLocalUid, kFileName, kContent };

// The uids one walk over a mailbox file has met, to tell a message whose uid
// repeats an earlier one. Uids the store writes are increasing decimal
// numbers: those cost 8 bytes each and no search; any other text is kept
// whole. Not thread-safe; one per folder walk.
class UidRegister {
 public:
  // Forgets every uid (a new walk starts).
  void clear();
  // Records `uid`; true when this walk has not met it before. An empty uid
  // is never recorded and always false: a missing uid names nothing.
  bool firstSighting(std::string_view uid);

 private:
  std::vector<std::uint64_t> ascending_;      // numbers met in increasing order
  std::set<std::uint64_t> others_;            // numbers met out of that order
  std::set<std::string, std::less<>> texts_;  // uids that are no plain number
};

// "u:<uid>:<size>".
std::string localUidIdentity(std::string_view uid, std::uint64_t storedSize);
// "f:" and the name with the flag letters between its first and second '-'
// removed ("1187-SA-2007...-host" -> "f:1187--2007...-host"); a name the
// reader finds no flags in (fewer than three '-') is kept whole.
std::string fileNameIdentity(std::string_view fileName);
// "d:<size>:<hex>": the MD5 of the pieces firstChunk()/nextChunk() deliver,
// i.e. the bytes the run sends, after any line-end fixing, and their count.
// Reads the whole content once; throws what the pieces throw.
std::string contentIdentity(IMessage& message);

}  // namespace lodemig

#endif  // LODEMIG_STORE_MESSAGE_IDENTITY_H_
