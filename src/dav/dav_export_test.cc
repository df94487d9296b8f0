#include "dav/dav_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/temp_dir.h"
#include "utils/directory.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::makeDirectories;
using lodemig::testing::readFile;
using lodemig::testing::runProcess;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

std::string crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\r\n";
  }
  return text;
}

// Prints the UIDs of an .ics file's events and tasks, or of a .vcf file's
// cards, one a line, as a real parser reads them.
constexpr char kParse[] = R"(
import sys
data = open(sys.argv[2], 'rb').read()
if sys.argv[1] == 'ics':
    import icalendar
    calendar = icalendar.Calendar.from_ical(data)
    for part in calendar.walk():
        if part.name in ('VEVENT', 'VTODO', 'VJOURNAL', 'VTIMEZONE'):
            print(part.name, part.get('UID', part.get('TZID')))
else:
    import vobject
    for card in vobject.readComponents(data.decode('utf-8')):
        print('VCARD', card.uid.value, card.fn.value)
)";

class DavExportTest : public ::testing::Test {
 protected:
  static DavItem calendarItem(const std::string& uid, const std::string& tzid) {
    DavItem item;
    item.uid = uid;
    item.name = uid + ".ics";
    const std::string start =
        tzid.empty() ? "DTSTART:20240101T100000Z" : "DTSTART;TZID=" + tzid + ":20240101T100000";
    item.text =
        crlf({"BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Other//EN", "CALSCALE:GREGORIAN"}) +
        (tzid.empty() ? "" : timezone(tzid)) +
        crlf({"BEGIN:VEVENT", "UID:" + uid, "DTSTAMP:20240101T000000Z", start,
              "SUMMARY:Meeting " + uid, "END:VEVENT", "END:VCALENDAR"});
    return item;
  }
  static std::string timezone(const std::string& tzid) {
    return crlf({"BEGIN:VTIMEZONE", "TZID:" + tzid, "BEGIN:STANDARD", "DTSTART:19701025T030000",
                 "TZOFFSETFROM:+0200", "TZOFFSETTO:+0100", "END:STANDARD", "END:VTIMEZONE"});
  }
  static std::string eventOf(const DavItem& item) {
    const std::size_t begin = item.text.find("BEGIN:VEVENT");
    return item.text.substr(begin, item.text.find("END:VCALENDAR") - begin);
  }
  static DavItem card(const std::string& uid, const std::string& name) {
    DavItem item;
    item.uid = uid;
    item.text = crlf({"BEGIN:VCARD", "VERSION:3.0", "UID:" + uid, "FN:" + name,
                      "N:" + name + ";;;;", "END:VCARD"});
    return item;
  }
  static int modeOf(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
  }
  // What the parser read.
  static std::string parsed(const std::string& kind, const std::string& path) {
    testing::ProcessResult result = runProcess("/usr/bin/python3", {"-c", kParse, kind, path});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
  }
  static bool parserMissing(const std::string& kind) {
    const char* module = kind == "ics" ? "import icalendar" : "import vobject";
    return runProcess("/usr/bin/python3", {"-c", module}).exitStatus != 0;
  }

  ScopedTempDir dir_;
  const std::string root_ = dir_ / "export";
};

TEST_F(DavExportTest, CalendarFileHoldsEveryComponentAndEachTimezoneOnce) {
  const DavItem a = calendarItem("a@example.com", "Europe/Berlin");
  const DavItem b = calendarItem("b@example.com", "");
  const DavItem c = calendarItem("c@example.com", "Europe/Berlin");
  {
    DavExport exporter(root_);
    exporter.beginFolder("example.com", "john", "Calendar", DavKind::Calendar);
    exporter.add(a);
    exporter.add(b);
    exporter.add(c);
    EXPECT_EQ(exporter.endFolder(), root_ + "/example.com/john/Calendar.ics");
  }
  const std::string path = root_ + "/example.com/john/Calendar.ics";
  EXPECT_EQ(readFile(path),
            crlf({"BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//lodemig//export//EN"}) +
                timezone("Europe/Berlin") + eventOf(a) + eventOf(b) + eventOf(c) +
                "END:VCALENDAR\r\n");
  EXPECT_EQ(modeOf(path), 0600);
  EXPECT_EQ(modeOf(root_ + "/example.com/john"), 0700);
  if (parserMissing("ics")) {
    GTEST_SKIP() << "python3-icalendar is needed to parse the export";
  }
  EXPECT_EQ(parsed("ics", path),
            "VTIMEZONE Europe/Berlin\nVEVENT a@example.com\nVEVENT b@example.com\n"
            "VEVENT c@example.com\n");
}

TEST_F(DavExportTest, ContactsFileHoldsTheCardsInTurnAndParses) {
  DavExport exporter(root_);
  exporter.beginFolder("example.com", "john", "Contacts", DavKind::AddressBook);
  exporter.add(card("urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1", "Mary Chen"));
  exporter.add(card("lodemig-0123", "Bob Turner"));
  const std::string path = exporter.endFolder();
  ASSERT_EQ(path, root_ + "/example.com/john/Contacts.vcf");
  EXPECT_EQ(readFile(path),
            card("urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1", "Mary Chen").text +
                card("lodemig-0123", "Bob Turner").text);
  EXPECT_EQ(modeOf(path), 0600);
  if (parserMissing("vcf")) {
    GTEST_SKIP() << "python3-vobject is needed to parse the export";
  }
  EXPECT_EQ(parsed("vcf", path),
            "VCARD urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1 Mary Chen\n"
            "VCARD lodemig-0123 Bob Turner\n");
}

TEST_F(DavExportTest, FolderLevelsBecomeSafeDirectories) {
  struct Case {
    std::string folder;
    std::string file;
  };
  const std::vector<Case> cases = {
      {"Archive/Calendar 2007", "Archive/Calendar 2007.ics"},
      {"../up", "%2E%2E/up.ics"},
      {"./a//b", "%2E/a/%/b.ics"},
      {"100%\x01", "100%25%01.ics"},
      {"x\\y", "x%5Cy.ics"},
      {std::string(250, 'c'), ""},
  };
  DavExport exporter(root_);
  for (const Case& c : cases) {
    exporter.beginFolder("example.com", "..", c.folder, DavKind::Calendar);
    exporter.add(calendarItem("u", ""));
    const std::string path = exporter.endFolder();
    if (!c.file.empty()) {
      EXPECT_EQ(path, root_ + "/example.com/%2E%2E/" + c.file);
    } else {
      EXPECT_EQ(path.substr(path.rfind('/') + 1).size(), 200u + 4u) << path;
    }
    EXPECT_FALSE(readFile(path).empty()) << path;
  }
}

TEST_F(DavExportTest, EmptyFolderWritesNothingAndKeepsAnEarlierFile) {
  const std::string path = root_ + "/d/u/Tasks.ics";
  writeFile(path, "earlier");
  DavExport exporter(root_);
  exporter.beginFolder("d", "u", "Tasks", DavKind::Calendar);
  EXPECT_EQ(exporter.endFolder(), "");
  EXPECT_EQ(readFile(path), "earlier");
  exporter.beginFolder("d", "u", "Tasks", DavKind::Calendar);
  exporter.add(calendarItem("t", ""));
  EXPECT_EQ(exporter.endFolder(), path);
  EXPECT_EQ(readFile(path).substr(0, 17), "BEGIN:VCALENDAR\r\n");
  EXPECT_EQ(modeOf(path), 0600);
}

TEST_F(DavExportTest, PlantedLinksAreNotFollowed) {
  const std::string elsewhere = dir_ / "elsewhere";
  makeDirectories(elsewhere);
  makeDirectories(root_ + "/d/u");
  ASSERT_EQ(::symlink((elsewhere + "/Calendar.ics").c_str(), (root_ + "/d/u/Calendar.ics").c_str()),
            0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), (root_ + "/linked").c_str()), 0);
  DavExport exporter(root_);
  try {
    exporter.beginFolder("d", "u", "Calendar", DavKind::Calendar);
    FAIL() << "a link at the file was followed";
  } catch (const QLStoreException& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot write file " + root_ + "/d/u/Calendar.ics: it is a symbolic link");
  }
  try {
    exporter.beginFolder("linked", "u", "Sub/Calendar", DavKind::Calendar);
    FAIL() << "a link at a directory level was followed";
  } catch (const QLStoreException& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot make directory " + root_ + "/linked: it is a symbolic link");
  }
  EXPECT_FALSE(ostrel::utils::pathExists(elsewhere + "/u"));
  EXPECT_FALSE(ostrel::utils::pathExists(elsewhere + "/Calendar.ics"));
}

TEST_F(DavExportTest, ExportThatThrowsLeavesNoHalfFile) {
  const std::string path = root_ + "/d/u/Calendar.ics";
  {
    DavExport exporter(root_);
    exporter.beginFolder("d", "u", "Calendar", DavKind::Calendar);
    exporter.add(calendarItem("one", ""));
    DavItem broken;
    broken.uid = "two";
    broken.text = "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n";
    EXPECT_THROW(exporter.add(broken), QLStoreException);
  }
  {
    // A folder begun again before it ended is dropped whole too.
    DavExport exporter(root_);
    exporter.beginFolder("d", "u", "Calendar", DavKind::Calendar);
    exporter.add(calendarItem("one", ""));
    exporter.beginFolder("d", "u", "Other", DavKind::AddressBook);
  }
  ostrel::utils::DirectoryListing listing;
  ASSERT_TRUE(listing.open(root_ + "/d/u"));
  std::vector<std::string> names;
  for (const ostrel::utils::DirectoryEntry* entry = listing.read(); entry != nullptr;
       entry = listing.read()) {
    if (entry->name != "." && entry->name != "..") {
      names.push_back(entry->name);
    }
  }
  EXPECT_EQ(names, std::vector<std::string>{});
}

TEST_F(DavExportTest, UnwritableDirectoryIsNamed) {
  writeFile(root_ + "/d", "a file where a directory belongs");
  DavExport exporter(root_);
  try {
    exporter.beginFolder("d", "u", "Calendar", DavKind::Calendar);
    FAIL() << "no error";
  } catch (const QLStoreException& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot make directory " + root_ + "/d: it is not a directory");
  }
  EXPECT_THROW(exporter.add(calendarItem("x", "")), QLStoreException);
}

}  // namespace
}  // namespace lodemig
