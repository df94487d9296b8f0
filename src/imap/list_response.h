#ifndef LODEMIG_IMAP_LIST_RESPONSE_H_
#define LODEMIG_IMAP_LIST_RESPONSE_H_

#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// One mailbox of a LIST (or LSUB) response.
struct ListEntry {
  // The attributes as sent, e.g. "\\HasNoChildren", "\\Sent", in their order.
  std::vector<std::string> attributes;
  // The hierarchy separator; "" for NIL.
  std::string separator;
  // The name as on the wire once unquoted: still in modified UTF-7
  // (imap/mailbox_name.h), or UTF-8 when the server sends that.
  std::string name;
};

// Parses one untagged LIST or LSUB response as ImapCommand::untaggedLines()
// holds it: "* LIST " (the word in any case), without the final CR LF, a
// literal's "{n}" CR LF and its n bytes inside. The attributes, the
// separator (a quoted character or NIL) and the name (an atom, a quoted
// string with \" and \\ escapes, or a literal) go into `entry`; extended data
// after the name, such as ("CHILDINFO" ("SUBSCRIBED")), is checked for its
// shape and skipped. False, with `entry` unspecified, for any other response
// and for anything malformed; never reads outside `response`.
bool parseListResponse(const std::string& response, ListEntry& entry);

// True when `entry` has `attribute` (e.g. "\\Noselect"), matched without
// regard to ASCII case.
bool hasAttribute(const ListEntry& entry, std::string_view attribute);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_LIST_RESPONSE_H_
