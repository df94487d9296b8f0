#include "tests/dav_store.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

// The texts below are written with LF for reading; the store has CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  return out;
}

const std::string kBegin = "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Dav Test//Store//EN\n";
const std::string kEnd = "END:VCALENDAR\n";

const std::string kBerlin = R"(BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:STANDARD
DTSTART:19701025T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
TZNAME:CET
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:19700329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
TZNAME:CEST
END:DAYLIGHT
END:VTIMEZONE
)";

const std::string kNewYork = R"(BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:STANDARD
DTSTART:19701101T020000
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
TZNAME:EST
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:19700308T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
TZNAME:EDT
END:DAYLIGHT
END:VTIMEZONE
)";

// A long line folded as the store's clients wrote it.
std::string weekly(const std::string& summary) {
  return "BEGIN:VEVENT\nUID:weekly-berlin@dav.example\nDTSTAMP:20070823T103000Z\n"
         "DTSTART;TZID=Europe/Berlin:20070827T090000\nDTEND;TZID=Europe/Berlin:20070827T100000\n"
         "RRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=10\nSUMMARY:" +
         summary +
         "\nDESCRIPTION:Agenda: what each of us did last week and what comes\n"
         "  next\\, one at a time\nEND:VEVENT\n";
}

const std::string kStandup = R"(BEGIN:VEVENT
UID:standup@dav.example
DTSTAMP:20070823T103000Z
DTSTART:20070903T090000Z
DURATION:PT15M
RRULE:FREQ=DAILY;COUNT=5
EXDATE:20070905T090000Z
SUMMARY:Stand-up
END:VEVENT
BEGIN:VEVENT
UID:standup@dav.example
DTSTAMP:20070823T103000Z
RECURRENCE-ID:20070904T090000Z
DTSTART:20070904T100000Z
DURATION:PT15M
SUMMARY:Stand-up an hour later
END:VEVENT
)";

const std::string kLunch = R"(BEGIN:VEVENT
UID:lunch@dav.example
DTSTAMP:20070823T103000Z
DTSTART;TZID=America/New_York:20070910T120000
DTEND;TZID=America/New_York:20070910T130000
SUMMARY:Lunch in New York
END:VEVENT
)";

const std::string kReview = R"(BEGIN:VEVENT
UID:review@dav.example
DTSTAMP:20070823T103000Z
DTSTART:20070911T140000Z
DTEND:20070911T150000Z
SUMMARY:Design review
END:VEVENT
)";

const std::string kEncoded =
    "BEGIN:VEVENT\nUID:base64-event@dav.example\nDTSTAMP:20070823T103000Z\n"
    "DTSTART:20070912T080000Z\nDTEND:20070912T083000Z\nSUMMARY:Breakfast\n"
    "LOCATION:Caf\xc3\xa9 Ren\xc3\xa9\nEND:VEVENT\n";

const std::string kParty = R"(BEGIN:VEVENT
UID:party@dav.example
DTSTAMP:20070823T103000Z
DTSTART:20070915T180000Z
DTEND:20070915T230000Z
SUMMARY:Summer party on the roof terrace with music and food for everyone
LOCATION:Roof = top floor
END:VEVENT
)";

const std::string kOld = R"(BEGIN:VEVENT
UID:old-2007@dav.example
DTSTAMP:20070101T000000Z
DTSTART;VALUE=DATE:20070115
SUMMARY:Inventory
END:VEVENT
)";

const std::string kNew = R"(BEGIN:VEVENT
UID:new-event@dav.example
DTSTAMP:20070920T103000Z
DTSTART:20070921T160000Z
DTEND:20070921T170000Z
SUMMARY:Added after the first pass
END:VEVENT
)";

const std::string kReport = R"(BEGIN:VTODO
UID:todo-report@dav.example
DTSTAMP:20070823T103000Z
DUE;VALUE=DATE:20070901
PRIORITY:1
STATUS:NEEDS-ACTION
SUMMARY:Write the report
END:VTODO
)";

const std::string kPlants = R"(BEGIN:VTODO
DTSTAMP:20070823T103000Z
STATUS:COMPLETED
SUMMARY:Water the plants
END:VTODO
)";

const std::string kDiary = R"(BEGIN:VJOURNAL
UID:journal-1@dav.example
DTSTAMP:20070823T103000Z
DTSTART;VALUE=DATE:20070823
SUMMARY:Moved desks
DESCRIPTION:The team moved to the second floor.\nPhones work.
END:VJOURNAL
)";

const std::string kCarl = R"(BEGIN:VCARD
VERSION:3.0
FN:Carl Diaz
N:Diaz;Carl;;;
EMAIL;TYPE=INTERNET:carl@example.net
TEL;TYPE=CELL:+1 555 0199
NOTE:Met at the fair\nlikes tea
END:VCARD
)";

const std::string kAnnLee = R"(BEGIN:VCARD
VERSION:4.0
UID:urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1
FN:Ann Lee
N:Lee;Ann;;;
KIND:individual
EMAIL;TYPE=work:ann.lee@example.net
TEL;VALUE=uri;TYPE="voice,cell":tel:+1-555-555-0103
END:VCARD
)";

const std::string kDora = R"(BEGIN:VCARD
VERSION:3.0
UID:dora-park@dav.example
FN:Dora Park
N:Park;Dora;;;
EMAIL;TYPE=INTERNET:dora@example.net
END:VCARD
)";

const std::string kEmil = R"(BEGIN:VCARD
VERSION:3.0
FN:Emil Stone
N:Stone;Emil;;;
TEL;TYPE=HOME:+1 555 0142
END:VCARD
)";

std::string header(const std::string& subject, const std::string& type) {
  return crlf("From: Ann <ann@example.com>\nSubject: " + subject +
              "\nMIME-Version: 1.0\nContent-Type: " + type + "\n");
}

// A message whose body is `text` (written with LF) as it is.
std::string plainMessage(const std::string& subject, const std::string& type,
                         const std::string& text) {
  return header(subject, type) + "\r\n" + crlf(text);
}

std::string base64Lines(const std::string& data) {
  std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(data.data()),
                                     static_cast<int>(data.size()));
  encoded.resize(static_cast<std::size_t>(length));
  std::string lines;
  for (std::size_t at = 0; at < encoded.size(); at += 76) {
    lines += encoded.substr(at, 76) + "\r\n";
  }
  return lines;
}

std::string base64Message() {
  return header("Breakfast", "text/calendar; charset=utf-8") +
         "Content-Transfer-Encoding: base64\r\n\r\n" + base64Lines(crlf(kBegin + kEncoded + kEnd));
}

// The calendar part soft-breaks its long summary and encodes "=".
std::string multipartMessage() {
  std::string part = crlf(kBegin + kParty + kEnd);
  part.replace(part.find("for everyone"), 12, "for every=\r\none");
  part.replace(part.find("Roof = top"), 10, "Roof =3D top");
  return header("Party", "multipart/mixed; boundary=\"next-part\"") +
         crlf(
             "\n--next-part\nContent-Type: text/plain; charset=utf-8\n\nYou are invited.\n"
             "--next-part\nContent-Type: text/calendar; charset=utf-8; method=PUBLISH\n"
             "Content-Transfer-Encoding: quoted-printable\n\n") +
         part + "\r\n--next-part--\r\n";
}

std::string calendarMessage(const std::string& subject, const std::string& body) {
  return plainMessage(subject, "text/calendar; charset=utf-8", kBegin + body + kEnd);
}

std::string cardMessage(const std::string& subject, const std::string& cards) {
  return plainMessage(subject, "text/vcard; charset=utf-8", cards);
}

std::string infoText(bool changed) {
  return "{ INBOX = { Class = IPF.Note; Messages = #1; }; Archive = { Class = IPF.Note; "
         "Messages = #1; }; Calendar = { Class = IPF.Appointment; Messages = #" +
         std::to_string(changed ? 7 : 6) +
         "; }; \"Archive/Calendar 2007\" = { Class = IPF.Appointment; Messages = #1; }; Tasks = { "
         "Class = IPF.Task; Messages = #2; }; Journal = { Class = IPF.Journal; Messages = #1; }; "
         "Contacts = { Class = IPF.Contact; Messages = #3; }; }";
}

std::string fileName(int number) {
  return std::to_string(number) + "-S-2007082310300" + std::to_string(number % 10) + "-h";
}

DavExpectedItem expected(const std::string& folder, const std::string& uid,
                         const std::string& text) {
  return {folder, uid, normalLines(crlf(text))};
}

std::string calendar(const std::string& body) {
  return kBegin + body + kEnd;
}

}  // namespace

void DavStore::build() {
  infoPath_ =
      builder_.account("", kUser, AccountDirectory)
          .settings(
              std::string("{ RealName = \"Ann Lee\"; PasswordEncryption = clear; Password = \"") +
              kPassword + "\"; }")
          .info(infoText(false))
          .infoPath();
  builder_.messageFile("", kUser, "INBOX", fileName(1),
                       crlf("Message-ID: <in.1@dav.example>\nSubject: hello\n\nfirst mail\n"));
  builder_.messageFile("", kUser, "Archive", fileName(1),
                       crlf("Message-ID: <ar.1@dav.example>\nSubject: old\n\nkept mail\n"));
  const std::vector<std::string> calendarMessages = {
      calendarMessage("Weekly sync", kBerlin + weekly("Weekly sync")),
      calendarMessage("Stand-up", kStandup),
      plainMessage("Two events", "text/calendar; charset=utf-8; method=PUBLISH",
                   kBegin + "METHOD:PUBLISH\n" + kNewYork + kLunch + kReview + kEnd),
      plainMessage("Just a note", "text/plain; charset=utf-8", "No calendar data in here.\n"),
      base64Message(),
      multipartMessage(),
  };
  for (std::size_t i = 0; i < calendarMessages.size(); ++i) {
    builder_.messageFile("", kUser, "Calendar", fileName(static_cast<int>(i) + 1),
                         calendarMessages[i]);
  }
  builder_.messageFile("", kUser, "Archive/Calendar 2007", fileName(1),
                       calendarMessage("Inventory", kOld));
  builder_.messageFile("", kUser, "Tasks", fileName(1), calendarMessage("Report", kReport));
  builder_.messageFile("", kUser, "Tasks", fileName(2), calendarMessage("Plants", kPlants));
  builder_.messageFile("", kUser, "Journal", fileName(1), calendarMessage("Desks", kDiary));
  builder_.messageFile("", kUser, "Contacts", fileName(1), cardMessage("Carl Diaz", kCarl));
  builder_.messageFile("", kUser, "Contacts", fileName(2), cardMessage("Ann Lee", kAnnLee));
  builder_.messageFile("", kUser, "Contacts", fileName(3),
                       cardMessage("Dora and Emil", kDora + kEmil));
}

void DavStore::change() {
  builder_.messageFile("", kUser, "Calendar", fileName(1),
                       calendarMessage("Weekly sync", kBerlin + weekly("Weekly sync in room C")));
  builder_.messageFile("", kUser, "Calendar", fileName(7), calendarMessage("New", kNew));
  writeFile(infoPath_, infoText(true));
}

std::vector<DavExpectedItem> DavStore::items(bool changed) {
  std::vector<DavExpectedItem> all = {
      expected("Calendar", kChangedUid,
               calendar(kBerlin + weekly(changed ? "Weekly sync in room C" : "Weekly sync"))),
      expected("Calendar", "standup@dav.example", calendar(kStandup)),
      expected("Calendar", "lunch@dav.example", calendar(kNewYork + kLunch)),
      expected("Calendar", "review@dav.example", calendar(kReview)),
      expected("Calendar", "base64-event@dav.example", calendar(kEncoded)),
      expected("Calendar", "party@dav.example", calendar(kParty)),
      expected("Archive/Calendar 2007", "old-2007@dav.example", calendar(kOld)),
      expected("Tasks", "todo-report@dav.example", calendar(kReport)),
      expected("Tasks", "", calendar(kPlants)),
      expected("Journal", "journal-1@dav.example", calendar(kDiary)),
      expected("Contacts", "", kCarl),
      expected("Contacts", "urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1", kAnnLee),
      expected("Contacts", "dora-park@dav.example", kDora),
      expected("Contacts", "", kEmil),
  };
  if (changed) {
    all.push_back(expected("Calendar", kNewUid, calendar(kNew)));
  }
  return all;
}

std::vector<DavExpectedItem> DavStore::itemsOf(const std::string& folder, bool changed) {
  std::vector<DavExpectedItem> those;
  for (DavExpectedItem& item : items(changed)) {
    if (item.folder == folder) {
      those.push_back(std::move(item));
    }
  }
  return those;
}

int DavStore::messagesOf(const std::string& folder, bool changed) {
  const std::map<std::string, int> counts = {{"INBOX", 1},
                                             {"Archive", 1},
                                             {"Calendar", changed ? 7 : 6},
                                             {"Archive/Calendar 2007", 1},
                                             {"Tasks", 2},
                                             {"Journal", 1},
                                             {"Contacts", 3}};
  const auto count = counts.find(folder);
  return count == counts.end() ? -1 : count->second;
}

std::vector<std::string> DavStore::davFolders() {
  return {"Calendar", "Archive/Calendar 2007", "Tasks", "Journal", "Contacts"};
}

std::vector<std::string> DavStore::mailFolders() {
  return {"INBOX", "Archive"};
}

namespace {

// Where `text` has `separator` outside double quotes, from `from` on.
std::size_t unquoted(const std::string& text, char separator, std::size_t from = 0) {
  bool quoted = false;
  for (std::size_t at = from; at < text.size(); ++at) {
    if (text[at] == '"') {
      quoted = !quoted;
    } else if (text[at] == separator && !quoted) {
      return at;
    }
  }
  return std::string::npos;
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

// "TEL;VALUE=uri;type=x:..." as "TEL;TYPE=x;VALUE=uri:...".
std::string normalLine(const std::string& line) {
  const std::size_t colon = unquoted(line, ':');
  if (colon == std::string::npos) {
    return line;
  }
  const std::string head = line.substr(0, colon);
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= head.size();) {
    std::size_t end = unquoted(head, ';', at);
    end = end == std::string::npos ? head.size() : end;
    parts.push_back(head.substr(at, end - at));
    at = end + 1;
  }
  std::string result = upper(parts[0]);
  for (std::string& part : parts) {
    const std::size_t equals = part.find('=');
    part = upper(part.substr(0, equals)) + (equals == std::string::npos ? "" : part.substr(equals));
  }
  std::sort(parts.begin() + 1, parts.end());
  for (std::size_t i = 1; i < parts.size(); ++i) {
    result += ";" + parts[i];
  }
  return result + line.substr(colon);
}

}  // namespace

std::vector<std::string> normalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
      lines.back() += line.substr(1);
    } else if (!line.empty()) {
      lines.push_back(line);
    }
    at = end + 1;
  }
  for (std::string& line : lines) {
    line = normalLine(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace lodemig::testing
