#ifndef LODEMIG_IMAP_UID_RESPONSE_H_
#define LODEMIG_IMAP_UID_RESPONSE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// What a server tells of a folder's UIDs when it is selected or its status
// asked. 0 (and -1 for the count) where the server said nothing.
struct FolderUidState {
  std::int64_t messages = -1;
  std::uint64_t uidValidity = 0;
  std::uint64_t uidNext = 0;
};

// What any server can give to recognise a message it holds: its UID, its
// size as stored, its internal date and its Message-ID (without the angle
// brackets' surroundings trimmed: "<a@b>"; empty when it has none).
struct MessageFingerprint {
  std::uint64_t uid = 0;
  std::uint64_t size = 0;
  std::int64_t date = -1;  // seconds since 1970 UTC
  std::string messageId;

  bool operator==(const MessageFingerprint& other) const {
    return uid == other.uid && size == other.size && date == other.date &&
           messageId == other.messageId;
  }
};

// The UIDVALIDITY and UID of a tagged "OK [APPENDUID v u] ..." line (the
// code in any letter case); false, leaving both alone, without one.
bool parseAppendUid(std::string_view taggedLine, std::uint64_t& uidValidity, std::uint64_t& uid);
// The UIDVALIDITY and UIDs of an "OK [APPENDUID v set]" line answering an
// append of `count` messages: the set ("5:7,9") names one UID per message,
// in the order they were sent. False, leaving both alone, when there is no
// such code or its set does not name exactly `count` UIDs.
bool parseAppendUidSet(std::string_view taggedLine, std::size_t count, std::uint64_t& uidValidity,
                       std::vector<std::uint64_t>& uids);

// Reads "* OK [UIDVALIDITY n]", "* OK [UIDNEXT n]" and "* n EXISTS" among a
// SELECT's untagged responses into `state`; the last of each counts.
void readSelectResponses(const std::vector<std::string>& untagged, FolderUidState& state);

// Reads the MESSAGES, UIDNEXT and UIDVALIDITY of a "* STATUS name (...)"
// response into `state`. False when it is no STATUS response or its item
// list cannot be read.
bool parseStatusResponse(std::string_view response, FolderUidState& state);

// Reads a "* n FETCH (...)" response with UID, RFC822.SIZE, INTERNALDATE and
// the BODY[HEADER.FIELDS (MESSAGE-ID)] section (a literal or a quoted string,
// or NIL) in any order, other items passed over, into `fingerprint`. False
// when it is no such response or lacks one of the four.
bool parseFetchFingerprint(std::string_view response, MessageFingerprint& fingerprint);

// The value of a Message-ID header field section ("Message-ID: <a@b>" CR LF,
// folded or not, the name in any case): the field body unfolded, blanks
// trimmed. Empty when the section holds no such field.
std::string messageIdOfHeader(std::string_view header);

// A UID set for a command: ascending runs joined as "a:b", separated by
// commas ("3:5,9"). `uids` in any order, repeats allowed; empty gives "".
std::string uidSetText(std::vector<std::uint64_t> uids);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_UID_RESPONSE_H_
