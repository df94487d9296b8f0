#ifndef LODEMIG_DAV_DAV_ITEM_H_
#define LODEMIG_DAV_DAV_ITEM_H_

#include <string>
#include <string_view>
#include <vector>

#include "store/store_kind.h"

namespace lodemig {

// Where a folder's items go on a DAV server: calendar, task and journal
// folders to a CalDAV calendar collection, contact folders to a CardDAV
// address book.
enum class DavKind { Calendar, AddressBook };

// The DAV kind of a store folder type; false for a folder DAV does not keep
// (mail and every other kind).
bool davKindOf(FolderType type, DavKind& kind);

// One resource of a DAV collection, as it is stored and exported: a whole
// VCALENDAR holding the components of one UID (RFC 4791 4.1), or one VCARD.
struct DavItem {
  std::string uid;          // as the item carries it (derived when it had none)
  std::string name;         // its resource name in the collection: from the UID, ".ics" / ".vcf"
  std::string text;         // the whole object, every line ending CR LF
  bool uidDerived = false;  // the UID was derived and written into `text`
};

// What one stored message of a calendar or contacts folder holds.
struct DavItems {
  std::vector<DavItem> items;
  // Why the message holds no valid iCalendar or vCard ("no text/calendar
  // part", "VEVENT without END" ...); "" when `items` is not empty.
  std::string error;
};

// The items of `message` (the message as stored: header, blank line, body,
// in any line-end form): its text/calendar or text/vcard body (also as a
// part of a multipart message, base64 or quoted-printable), unfolded only to
// be read and kept as written. A VCALENDAR is split into one item per UID,
// each with the VTIMEZONEs its components name and without METHOD; each
// VCARD is an item. An item without a UID gets one derived from `seed` (what
// identifies the message stably across runs) and the item's place in the
// message, written into the item ("lodemig-" and 32 hex digits): after the
// BEGIN line of a component, after the VERSION line of a card. Components of
// one UID in several VCALENDARs of the message make one item.
DavItems davItemsOf(std::string_view message, DavKind kind, const std::string& seed);

// The resource name of a UID in a collection: the UID itself when it is made
// of letters, digits and "-_.@" only (and is not "." or "..", and at most
// 200 bytes: servers keep resources as files), else the SHA-256 hex of it;
// with ".ics" or ".vcf".
std::string davResourceName(const std::string& uid, DavKind kind);

// A digest of an item's text (hex), which tells a changed item in a later
// pass.
std::string davItemDigest(const DavItem& item);

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_ITEM_H_
