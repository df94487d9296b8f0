#ifndef LODEMIG_TESTS_DAV_STORE_H_
#define LODEMIG_TESTS_DAV_STORE_H_

// A store whose account holds every kind of calendar and contact data a
// migration to a CalDAV/CardDAV server meets, and what the server should
// hold of it afterwards.

#include <string>
#include <vector>

#include "tests/store_builder.h"

namespace lodemig::testing {

// One item the DAV server should hold after a migration of the store.
struct DavExpectedItem {
  std::string folder;  // the store folder: the collection's display name
  std::string uid;     // "" when the store's item has none and the run derives one
  // The item's lines as the store holds them, unfolded, CR LF taken off and
  // sorted (servers reorder them), without the UID a run derives.
  std::vector<std::string> lines;
};

// ann@example.com (the default domain, an account directory, every folder a
// message directory), her password in clear:
//   INBOX, Archive          mail, one message each
//   Calendar                1 weekly event in a named time zone (with its
//                           VTIMEZONE), 2 a daily event and one moved
//                           instance of it (same UID), 3 two events of
//                           different UIDs and METHOD, 4 plain text (no
//                           calendar data), 5 an event in base64, 6 an event
//                           in a quoted-printable part of a multipart message
//   Archive/Calendar 2007   one event
//   Tasks                   two VTODOs, the second without UID
//   Journal                 one VJOURNAL
//   Contacts                1 a vCard 3.0 without UID, 2 a vCard 4.0 with
//                           one, 3 two vCards (with and without UID)
class DavStore {
 public:
  static constexpr char kUser[] = "ann";
  static constexpr char kAccount[] = "ann@example.com";
  static constexpr char kPassword[] = "Ann-Dav-2007";
  // The UIDs of the event change() rewrites and of the one it adds.
  static constexpr char kChangedUid[] = "weekly-berlin@dav.example";
  static constexpr char kNewUid[] = "new-event@dav.example";

  explicit DavStore(StoreBuilder& builder) : builder_(builder) {}

  // Writes the account.
  void build();
  // Rewrites Calendar's first message in place (a new summary) and adds a
  // seventh message with a new event.
  void change();

  // What the server holds after a migration of the store as build() (or,
  // `changed`, change()) left it, in no particular order.
  static std::vector<DavExpectedItem> items(bool changed);
  // Those of `folder`.
  static std::vector<DavExpectedItem> itemsOf(const std::string& folder, bool changed);
  // How many messages the store folder holds.
  static int messagesOf(const std::string& folder, bool changed);
  // The calendar and contacts folders, and the mail folders.
  static std::vector<std::string> davFolders();
  static std::vector<std::string> mailFolders();

 private:
  StoreBuilder& builder_;
  std::string infoPath_;
};

// The lines of an iCalendar or vCard text unfolded, without their line ends
// and without empty lines; each with its parameters in one order, so that
// two texts a server wrote differently compare equal. Sorted.
std::vector<std::string> normalLines(const std::string& text);

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_DAV_STORE_H_
