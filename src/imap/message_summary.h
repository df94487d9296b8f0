#ifndef LODEMIG_IMAP_MESSAGE_SUMMARY_H_
#define LODEMIG_IMAP_MESSAGE_SUMMARY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// The system flags as bits, so that two servers' spellings and orders of
// the same flags compare equal. \Recent belongs to a session, not to the
// message, and keywords are never sent: neither has a bit.
enum SystemFlag : unsigned {
  kFlagSeen = 1,
  kFlagAnswered = 2,
  kFlagFlagged = 4,
  kFlagDeleted = 8,
  kFlagDraft = 16,
};

// What a verification compares of one message: its size as sent, its
// internal date and its system flags.
struct MessageSummary {
  std::uint64_t size = 0;
  std::int64_t date = -1;  // seconds since 1970 UTC; -1: none given
  unsigned flags = 0;

  bool operator==(const MessageSummary& other) const {
    return size == other.size && date == other.date && flags == other.flags;
  }
  bool operator<(const MessageSummary& other) const;
};

// The bits of the system flags named in `text` ("\Seen \Answered ", or the
// inside of a FETCH FLAGS list), matched without regard to case.
unsigned systemFlagBits(std::string_view text);

// Reads an IMAP date-time, "30-Jun-1993 21:49:08 +0000" (a day of one
// digit may be blank-padded or not), into seconds since 1970 UTC. False
// when it is not one.
bool parseImapDateTime(std::string_view text, std::int64_t& seconds);

// Reads an untagged "* n FETCH (...)" response's RFC822.SIZE, INTERNALDATE
// and FLAGS, in any order, into `summary`, and its sequence number into
// `sequence`. False when it is no such response or lacks one of the three.
bool parseFetchSummary(std::string_view response, std::int64_t& sequence, MessageSummary& summary);

// The APPENDLIMIT a "* CAPABILITY ..." response among `untagged`
// announces; -1 when none does.
std::int64_t announcedAppendLimit(const std::vector<std::string>& untagged);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_MESSAGE_SUMMARY_H_
