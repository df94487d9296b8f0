#include "dav/dav_item.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dav/mime_body.h"
#include "imap/digest.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using lodemig::testing::readFile;

// Lines joined, each ending CR LF.
std::string crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\r\n";
  }
  return text;
}

std::string message(const std::string& contentType, const std::string& body,
                    const std::string& moreHeader = "") {
  return "From: John <john@example.com>\r\nSubject: item\r\nContent-Type: " + contentType + "\r\n" +
         moreHeader + "\r\n" + body;
}

class DavItemTest : public ::testing::Test {
 protected:
  static DavItems calendar(const std::string& text, const std::string& seed = "f:1") {
    return davItemsOf(text, DavKind::Calendar, seed);
  }
  static DavItems cards(const std::string& text, const std::string& seed = "f:1") {
    return davItemsOf(text, DavKind::AddressBook, seed);
  }
  static std::string example(const std::string& relative) {
    return readFile(std::string(LODEMIG_SOURCE_DIR) + "/examples/Accounts/john.macnt/" + relative);
  }
  static std::string bodyOf(const std::string& stored) {
    return stored.substr(stored.find("\r\n\r\n") + 4);
  }

  const std::string berlin_ =
      crlf({"BEGIN:VTIMEZONE", "TZID:Europe/Berlin", "BEGIN:STANDARD", "DTSTART:19701025T030000",
            "TZOFFSETFROM:+0200", "TZOFFSETTO:+0100", "END:STANDARD", "END:VTIMEZONE"});
  const std::string newYork_ =
      crlf({"BEGIN:VTIMEZONE", "TZID:America/New_York", "BEGIN:STANDARD", "DTSTART:19701101T020000",
            "TZOFFSETFROM:-0400", "TZOFFSETTO:-0500", "END:STANDARD", "END:VTIMEZONE"});
  const std::string head_ = crlf({"BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Test//EN"});
  const std::string eventA_ =
      crlf({"BEGIN:VEVENT", "UID:a@example.com", "DTSTAMP:20240101T000000Z",
            "DTSTART;TZID=Europe/Berlin:20240105T100000", "SUMMARY:A", "END:VEVENT"});
  const std::string eventB_ = crlf({"BEGIN:VEVENT", "UID:b@example.com", "DTSTAMP:20240101T000000Z",
                                    "DTSTART:20240106T100000Z", "SUMMARY:B", "BEGIN:VALARM",
                                    "ACTION:DISPLAY", "TRIGGER:-PT5M", "END:VALARM", "END:VEVENT"});
  const std::string card3_ =
      crlf({"BEGIN:VCARD", "VERSION:3.0", "FN:Mary Chen", "N:Chen;Mary;;;", "END:VCARD"});
};

TEST_F(DavItemTest, ExampleStoreCalendarMessagesAreOneItemEachAsWritten) {
  const char* files[] = {"Calendar.mdir/1187865000.1-S-20070823103000-mail.example.com",
                         "Calendar.mdir/1187956800.2-S-20070824120000-mail.example.com"};
  const char* uids[] = {"team-20070827@example.com", "dentist-20070903@example.com"};
  for (int i = 0; i < 2; ++i) {
    const std::string stored = example(files[i]);
    ASSERT_FALSE(stored.empty()) << files[i];
    const DavItems result = calendar(stored);
    ASSERT_EQ(result.error, "");
    ASSERT_EQ(result.items.size(), 1u);
    EXPECT_EQ(result.items[0].uid, uids[i]);
    EXPECT_EQ(result.items[0].name, std::string(uids[i]) + ".ics");
    EXPECT_EQ(result.items[0].text, bodyOf(stored));
    EXPECT_FALSE(result.items[0].uidDerived);
  }
}

TEST_F(DavItemTest, ExampleStoreContactsGetAStableUidAfterVersion) {
  const std::string stored =
      example("Contacts.mdir/1187600000.1-S-20070820085320-mail.example.com");
  const DavItems result = cards(stored, "f:1187600000.1--20070820085320-mail.example.com");
  ASSERT_EQ(result.error, "");
  ASSERT_EQ(result.items.size(), 1u);
  const DavItem& item = result.items[0];
  EXPECT_TRUE(item.uidDerived);
  const std::string expected =
      "lodemig-" +
      ostrel::crypto::sha256Hex("f:1187600000.1--20070820085320-mail.example.com/0").substr(0, 32);
  EXPECT_EQ(item.uid, expected);
  EXPECT_EQ(item.name, expected + ".vcf");
  std::string body = bodyOf(stored);
  body.insert(body.find("VERSION:3.0\r\n") + 13, "UID:" + expected + "\r\n");
  EXPECT_EQ(item.text, body);
  // The same message gives the same UID again; another message another one.
  EXPECT_EQ(cards(stored, "f:1187600000.1--20070820085320-mail.example.com").items[0].text,
            item.text);
  EXPECT_NE(cards(stored, "f:other").items[0].uid, item.uid);
}

TEST_F(DavItemTest, CalendarIsSplitByUidWithTheTimezonesEachNames) {
  const std::string body =
      crlf({"BEGIN:VCALENDAR", "VERSION:2.0", "METHOD:REQUEST", "PRODID:-//Test//EN"}) + newYork_ +
      berlin_ + eventA_ + eventB_ + "END:VCALENDAR\r\n";
  const DavItems result = calendar(message("text/calendar; method=REQUEST", body));
  ASSERT_EQ(result.error, "");
  ASSERT_EQ(result.items.size(), 2u);
  EXPECT_EQ(result.items[0].uid, "a@example.com");
  EXPECT_EQ(result.items[0].text, head_ + berlin_ + eventA_ + "END:VCALENDAR\r\n");
  EXPECT_EQ(result.items[1].uid, "b@example.com");
  EXPECT_EQ(result.items[1].text, head_ + eventB_ + "END:VCALENDAR\r\n");
}

TEST_F(DavItemTest, RecurrenceOverrideJoinsItsMaster) {
  const std::string master = crlf({"BEGIN:VEVENT", "UID:weekly", "DTSTART:20240101T090000Z",
                                   "RRULE:FREQ=WEEKLY;COUNT=10", "END:VEVENT"});
  const std::string override = crlf({"BEGIN:VEVENT", "UID:weekly", "RECURRENCE-ID:20240108T090000Z",
                                     "DTSTART:20240108T100000Z", "END:VEVENT"});
  const DavItems result =
      calendar(message("text/calendar", head_ + master + eventB_ + override + "END:VCALENDAR\r\n"));
  ASSERT_EQ(result.items.size(), 2u) << result.error;
  EXPECT_EQ(result.items[0].text, head_ + master + override + "END:VCALENDAR\r\n");
  EXPECT_EQ(result.items[1].uid, "b@example.com");
}

TEST_F(DavItemTest, TasksJournalsAndSeveralCalendarsInOneBody) {
  const std::string todo = crlf({"BEGIN:VTODO", "UID:t1", "SUMMARY:Do", "END:VTODO"});
  const std::string journal = crlf({"BEGIN:VJOURNAL", "UID:j1", "SUMMARY:Log", "END:VJOURNAL"});
  const std::string second = crlf({"BEGIN:VTODO", "UID:t1", "RECURRENCE-ID:20240101", "END:VTODO"});
  const DavItems result =
      calendar(message("application/ics", head_ + todo + journal + "END:VCALENDAR\r\n" + head_ +
                                              second + "END:VCALENDAR\r\n"));
  ASSERT_EQ(result.items.size(), 2u) << result.error;
  EXPECT_EQ(result.items[0].text, head_ + todo + second + "END:VCALENDAR\r\n");
  EXPECT_EQ(result.items[1].text, head_ + journal + "END:VCALENDAR\r\n");
}

TEST_F(DavItemTest, ComponentWithoutUidGetsOneAfterItsBegin) {
  const std::string body = head_ + crlf({"BEGIN:VEVENT", "SUMMARY:x", "END:VEVENT", "BEGIN:VEVENT",
                                         "UID:", "SUMMARY:y", "END:VEVENT", "END:VCALENDAR"});
  const DavItems first = calendar(message("text/calendar", body), "seed");
  ASSERT_EQ(first.items.size(), 2u) << first.error;
  const std::string uid0 = "lodemig-" + ostrel::crypto::sha256Hex("seed/0").substr(0, 32);
  const std::string uid1 = "lodemig-" + ostrel::crypto::sha256Hex("seed/1").substr(0, 32);
  EXPECT_EQ(first.items[0].text, head_ + crlf({"BEGIN:VEVENT", "UID:" + uid0, "SUMMARY:x",
                                               "END:VEVENT", "END:VCALENDAR"}));
  // An empty UID line gives way to the derived one.
  EXPECT_EQ(first.items[1].text, head_ + crlf({"BEGIN:VEVENT", "UID:" + uid1, "SUMMARY:y",
                                               "END:VEVENT", "END:VCALENDAR"}));
  EXPECT_TRUE(first.items[1].uidDerived);
  EXPECT_EQ(calendar(message("text/calendar", body), "seed").items[1].text, first.items[1].text);
}

TEST_F(DavItemTest, CardsOfBothVersionsAndSeveralInOneMessage) {
  const std::string card4 =
      crlf({"BEGIN:VCARD", "VERSION:4.0", "UID:urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1",
            "FN:Bob", "END:VCARD"});
  const DavItems result = cards(message("text/x-vcard", card3_ + "\r\n" + card4), "m");
  ASSERT_EQ(result.items.size(), 2u) << result.error;
  EXPECT_EQ(result.items[0].uid, "lodemig-" + ostrel::crypto::sha256Hex("m/0").substr(0, 32));
  EXPECT_EQ(result.items[1].uid, "urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1");
  EXPECT_EQ(result.items[1].text, card4);
  EXPECT_EQ(result.items[1].name,
            ostrel::crypto::sha256Hex("urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1") + ".vcf");
  // A card without VERSION takes its UID right after BEGIN.
  const DavItems bare = cards(message("text/vcard", crlf({"BEGIN:VCARD", "FN:X", "END:VCARD"})));
  ASSERT_EQ(bare.items.size(), 1u);
  EXPECT_EQ(bare.items[0].text,
            crlf({"BEGIN:VCARD", "UID:" + bare.items[0].uid, "FN:X", "END:VCARD"}));
}

TEST_F(DavItemTest, TransferEncodingsAreDecoded) {
  const std::string base64 =
      ostrel::crypto::base64Encode(head_ + eventB_ + "END:VCALENDAR\r\n", 76);
  const DavItems fromBase64 =
      calendar(message("text/calendar", base64, "Content-Transfer-Encoding: BASE64\r\n"));
  ASSERT_EQ(fromBase64.items.size(), 1u) << fromBase64.error;
  EXPECT_EQ(fromBase64.items[0].text, head_ + eventB_ + "END:VCALENDAR\r\n");

  const std::string quoted =
      crlf({"BEGIN:VCARD", "VERSION:3.0", "UID:q=3D1", "FN:Ren=C3=A9 Lon=", "g", "END:VCARD"});
  const DavItems fromQuoted =
      cards(message("text/vcard", quoted, "Content-Transfer-Encoding: quoted-printable\r\n"));
  ASSERT_EQ(fromQuoted.items.size(), 1u) << fromQuoted.error;
  EXPECT_EQ(fromQuoted.items[0].uid, "q=1");
  EXPECT_EQ(fromQuoted.items[0].text,
            crlf({"BEGIN:VCARD", "VERSION:3.0", "UID:q=1", "FN:Ren\xC3\xA9 Long", "END:VCARD"}));
}

TEST_F(DavItemTest, QuotedPrintableKeepsWhatIsNoEscape) {
  EXPECT_EQ(decodeQuotedPrintable("a=3Db=\r\nc=\nd"), "a=bcd");
  EXPECT_EQ(decodeQuotedPrintable("x=ZZ y=4"), "x=ZZ y=4");
  EXPECT_EQ(decodeQuotedPrintable("soft= \r\nend="), "softend");
}

TEST_F(DavItemTest, CalendarFoundInNestedMultipart) {
  const std::string inner =
      crlf({"--in", "Content-Type: text/html", "", "<p>x</p>", "--in",
            "Content-Type: text/calendar; method=REQUEST", "Content-Transfer-Encoding: 7bit", ""}) +
      head_ + eventB_ + "END:VCALENDAR\r\n--in--\r\n";
  const std::string body =
      crlf({"preamble", "--out", "Content-Type: text/plain", "", "Hello, see the invitation.",
            "--out", "Content-Type: multipart/alternative;", " boundary=in", ""}) +
      inner + "--out--\r\n";
  const DavItems result = calendar(message("multipart/mixed; boundary=\"out\"", body));
  ASSERT_EQ(result.items.size(), 1u) << result.error;
  EXPECT_EQ(result.items[0].text, head_ + eventB_ + "END:VCALENDAR\r\n");
}

TEST_F(DavItemTest, LfLinesBecomeCrLfAndFoldsStayAsWritten) {
  const std::string body =
      "BEGIN:VCALENDAR\nVERSION:2.0\nBEGIN:VEVENT\nUID:long-\n uid\nDESCRIPTION:one\n\ttwo\n"
      "END:VEVENT\nEND:VCALENDAR\n";
  const DavItems result = davItemsOf("Subject: no type\n\n" + body, DavKind::Calendar, "s");
  ASSERT_EQ(result.items.size(), 1u) << result.error;
  EXPECT_EQ(result.items[0].uid, "long-uid");
  EXPECT_EQ(result.items[0].text,
            crlf({"BEGIN:VCALENDAR", "VERSION:2.0", "BEGIN:VEVENT", "UID:long-", " uid",
                  "DESCRIPTION:one", "\ttwo", "END:VEVENT", "END:VCALENDAR"}));
}

TEST_F(DavItemTest, QuotedParameterMayHoldColonAndTimezoneName) {
  const std::string event =
      crlf({"BEGIN:VEVENT", "UID:q", "ATTENDEE;CN=\"Doe: John\";ROLE=CHAIR:mailto:j@example.com",
            "DTSTART;VALUE=DATE-TIME;TZID=\"Europe/Berlin\":20240101T100000", "END:VEVENT"});
  const DavItems result =
      calendar(message("text/calendar", head_ + berlin_ + event + "END:VCALENDAR\r\n"));
  ASSERT_EQ(result.items.size(), 1u) << result.error;
  EXPECT_EQ(result.items[0].text, head_ + berlin_ + event + "END:VCALENDAR\r\n");
}

TEST_F(DavItemTest, MessagesWithoutValidDataSayWhy) {
  struct Case {
    std::string message;
    std::string error;
  };
  const std::string end = "END:VCALENDAR\r\n";
  const std::vector<Case> cases = {
      {message("text/plain", "BEGIN:VCALENDAR\r\n"), "no text/calendar part"},
      {message("text/calendar", ""), "no BEGIN:VCALENDAR"},
      {message("text/calendar", "hello\r\n"), "line 1 has no ':'"},
      {message("text/calendar", crlf({"Note: see below"}) + head_ + eventB_ + end),
       "line 1 is outside BEGIN:VCALENDAR"},
      {message("text/calendar", head_ + "BEGIN:VEVENT\r\nUID:x\r\n" + end),
       "line 6: END:VCALENDAR where END:VEVENT belongs"},
      {message("text/calendar", head_ + "BEGIN:VEVENT\r\nUID:x\r\n"), "VEVENT without END"},
      {message("text/calendar", head_ + berlin_ + end),
       "no VEVENT, VTODO, VJOURNAL or VFREEBUSY in the VCALENDAR at line 1"},
      {message("text/calendar", head_ + std::string(20, 'x') + "\r\n"), "line 4 has no ':'"},
      {message("text/calendar", "@@@@", "Content-Transfer-Encoding: base64\r\n"),
       "its base64 is broken"},
  };
  for (const Case& c : cases) {
    const DavItems result = calendar(c.message);
    EXPECT_EQ(result.error, c.error) << c.message;
    EXPECT_TRUE(result.items.empty());
  }
  std::string deep = head_;
  for (int i = 0; i < 20; ++i) {
    deep += "BEGIN:X\r\n";
  }
  EXPECT_EQ(calendar(message("text/calendar", deep)).error,
            "line 19: components nested deeper than 16");
  EXPECT_EQ(cards(message("text/calendar", head_ + eventB_ + end)).error, "no text/vcard part");
  EXPECT_EQ(cards(message("text/vcard", head_ + eventB_ + end)).error,
            "line 1 is outside BEGIN:VCARD");
}

TEST_F(DavItemTest, EveryPrefixGivesItemsOrAReason) {
  const std::string whole =
      message("multipart/mixed; boundary=b", "--b\r\nContent-Type: text/calendar\r\n\r\n" + head_ +
                                                 berlin_ + eventA_ + "END:VCALENDAR\r\n--b--\r\n");
  ASSERT_EQ(calendar(whole).items.size(), 1u);
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    const DavItems result = calendar(whole.substr(0, size));
    EXPECT_NE(result.items.empty(), result.error.empty()) << size;
  }
}

TEST_F(DavItemTest, ResourceNamesKeepSafeUidsAndDigestTheRest) {
  struct Case {
    std::string uid;
    bool plain;
  };
  const std::vector<Case> cases = {
      {"abc-DEF_1.2@host", true},
      {".", false},
      {"..", false},
      {"a/b", false},
      {"a b", false},
      {"x:y", false},
      {"\xC3\xA9t\xC3\xA9", false},
      {std::string(200, 'a'), true},
      {std::string(201, 'a'), false},
      {"...", true},
  };
  for (const Case& c : cases) {
    const std::string expected = (c.plain ? c.uid : ostrel::crypto::sha256Hex(c.uid)) + ".ics";
    EXPECT_EQ(davResourceName(c.uid, DavKind::Calendar), expected) << c.uid;
  }
  EXPECT_EQ(davResourceName("a/b", DavKind::AddressBook),
            ostrel::crypto::sha256Hex("a/b") + ".vcf");
}

TEST_F(DavItemTest, KindsAndDigests) {
  DavKind kind = DavKind::AddressBook;
  EXPECT_TRUE(davKindOf(kFolderTypeCalendar, kind));
  EXPECT_EQ(kind, DavKind::Calendar);
  kind = DavKind::AddressBook;
  EXPECT_TRUE(davKindOf(kFolderTypeTasks, kind) && kind == DavKind::Calendar);
  kind = DavKind::AddressBook;
  EXPECT_TRUE(davKindOf(kFolderTypeJournal, kind) && kind == DavKind::Calendar);
  EXPECT_TRUE(davKindOf(kFolderTypeContacts, kind) && kind == DavKind::AddressBook);
  EXPECT_FALSE(davKindOf(kFolderTypeMail, kind));
  EXPECT_FALSE(davKindOf(kFolderTypeNone, kind));
  DavItem one;
  one.text = "BEGIN:VCARD\r\nEND:VCARD\r\n";
  DavItem two = one;
  EXPECT_EQ(davItemDigest(one), ostrel::crypto::sha256Hex(one.text));
  two.text += " ";
  EXPECT_NE(davItemDigest(one), davItemDigest(two));
}

}  // namespace
}  // namespace lodemig
