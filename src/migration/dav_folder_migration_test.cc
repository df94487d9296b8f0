#include "migration/dav_folder_migration.h"

#include <gtest/gtest.h>

#include <sstream>

#include "migration/account_folders.h"
#include "migration/dav_audit.h"
#include "store/reader.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

MigrationSettings withPasswords(const std::string& force, const std::string& set) {
  MigrationSettings settings;
  settings.standardTarget = true;
  settings.dav.url = "http://127.0.0.1:1/";
  settings.forceSetPassword = force;
  settings.setPassword = set;
  return settings;
}

// The password is the one the migration knows for the account, in the order
// the private target would choose it; a login form takes the run's own.
TEST(DavLoginTest, PasswordComesFromForceSetPassTheStoreOrSetPass) {
  struct Case {
    std::string force, set, store, expected;
  };
  for (const Case& c : std::vector<Case>{
           {"f", "s", "p", "f"}, {"", "s", "p", "p"}, {"", "s", "", "s"}, {"f", "", "", "f"}}) {
    const DavLogin login = davLoginOf(withPasswords(c.force, c.set), "ann@example.com", c.store);
    EXPECT_EQ(login.user, "ann@example.com");
    EXPECT_EQ(login.password, c.expected) << c.force << "/" << c.set << "/" << c.store;
    EXPECT_EQ(login.error, "");
  }
  MigrationSettings form = withPasswords("f", "s");
  form.dav.loginForm = "USER*ADMIN";
  form.dav.adminPassword = "master";
  EXPECT_EQ(davLoginOf(form, "ann@example.com", "p").password, "master");
}

TEST(DavLoginTest, NoPasswordKnownNamesTheAccount) {
  const DavLogin login = davLoginOf(withPasswords("", ""), "ann@example.com", "");
  EXPECT_EQ(login.error,
            "no password is known for <ann@example.com> on the DAV server: give -setPass, "
            "-forceSetPass or -davLoginForm");
  MigrationSettings form = withPasswords("", "");
  form.dav.loginForm = "USER";
  EXPECT_NE(davLoginOf(form, "ann@example.com", "").error, "");
}

// What the journal and the collection's listing decide for an item.
TEST(DavStepTest, JournalFirstThenTheListing) {
  EXPECT_EQ(davStepOf("", "d1", false), DavStep::Send);
  EXPECT_EQ(davStepOf("", "d1", true), DavStep::Match);
  EXPECT_EQ(davStepOf("d1", "d1", true), DavStep::Skip);
  // The journal has it as stored: not asked again even when it is gone.
  EXPECT_EQ(davStepOf("d1", "d1", false), DavStep::Skip);
  // Changed in the store since: written over what the server has.
  EXPECT_EQ(davStepOf("d0", "d1", true), DavStep::Replace);
  EXPECT_EQ(davStepOf("d0", "d1", false), DavStep::Replace);
}

TEST(DavStepTest, CollectionsAreMadeForTheirFolderKind) {
  EXPECT_EQ(davComponentsOf(kFolderTypeCalendar), (std::vector<std::string>{"VEVENT", "VTODO"}));
  EXPECT_EQ(davComponentsOf(kFolderTypeTasks), (std::vector<std::string>{"VTODO"}));
  EXPECT_EQ(davComponentsOf(kFolderTypeJournal), (std::vector<std::string>{"VJOURNAL"}));
  EXPECT_STREQ(davKindWord(DavKind::Calendar, true), "caldav");
  EXPECT_STREQ(davKindWord(DavKind::AddressBook, true), "carddav");
  EXPECT_STREQ(davKindWord(DavKind::Calendar, false), "ics");
  EXPECT_STREQ(davKindWord(DavKind::AddressBook, false), "vcf");
}

DavResource resource(const std::string& uid) {
  DavResource held;
  held.name = uid + ".ics";
  held.uid = uid;
  return held;
}

TEST(DavCompareTest, MissingAndExtraUidsSorted) {
  const DavComparison same = compareDavUids({"a", "b"}, {resource("b"), resource("a")});
  EXPECT_TRUE(same.missing.empty());
  EXPECT_TRUE(same.extra.empty());
  const DavComparison differ =
      compareDavUids({"a", "c", "d"}, {resource("z"), resource("a"), resource("b")});
  EXPECT_EQ(differ.missing, (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(differ.extra, (std::vector<std::string>{"b", "z"}));
  // A resource twice on the server (under two names) is one UID.
  EXPECT_TRUE(compareDavUids({"a"}, {resource("a"), resource("a")}).extra.empty());
  EXPECT_EQ(compareDavUids({"a"}, {}).missing, (std::vector<std::string>{"a"}));
}

// The rows a report hands on.
class RowCollector : public RunWatcher {
 public:
  void folderEnded(const ReportRow& row) override { rows.push_back(row); }
  std::vector<ReportRow> rows;
};

constexpr char kEvent[] =
    "Content-Type: text/calendar\r\n\r\n"
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
    "BEGIN:VEVENT\r\nUID:event-1@example.com\r\nDTSTAMP:20070823T103000Z\r\n"
    "DTSTART:20070824T120000Z\r\nSUMMARY:Lunch\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
constexpr char kNoCalendar[] = "Content-Type: text/plain\r\n\r\nnothing of a calendar\r\n";

// ann's Calendar folder, one message file each of `messages`, migrated by a
// DavFolderMigration of `settings` (a standard target).
class DavFolderMigrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.standardTarget = true;
    report_.watch(&rows_);
  }

  void annWithCalendar(const std::vector<std::string>& messages, const std::string& password) {
    testing::StoreBuilder store(dir_.path());
    store.account("", "ann", AccountDirectory)
        .settings(password.empty()
                      ? "{ RealName = Ann; }"
                      : "{ PasswordEncryption = clear; Password = \"" + password + "\"; }")
        .info("{ Calendar = { Class = IPF.Appointment; Messages = #" +
              std::to_string(messages.size()) + "; }; }");
    int number = 1;
    for (const std::string& content : messages) {
      store.messageFile(
          "", "ann", "Calendar",
          std::to_string(number) + "-S-2007082310300" + std::to_string(number) + "-host", content);
      ++number;
    }
    domain_.assign("example.com", dir_.path() + "/Accounts");
    ASSERT_TRUE(domain_.firstMailbox(mailbox_, "ann"));
    folders_ = readAccountFolders(mailbox_, false).folders;
    ASSERT_EQ(folders_.size(), 1u);
    ASSERT_EQ(folders_[0].type(), kFolderTypeCalendar);
  }

  FolderTally migrateCalendar(DavFolderMigration& dav) {
    FolderTally tally;
    dav.beginAccount(mailbox_);
    dav.migrate(folders_[0], mailbox_, DavKind::Calendar, tally, journal_, report_, rows_);
    return tally;
  }

  testing::ScopedTempDir dir_;
  std::ostringstream log_, console_, errors_;
  Reporter reporter_{log_, console_, errors_, false};
  MigrationSettings settings_;
  Domain domain_{&log_};
  Mailbox mailbox_{&log_};
  std::vector<Folder> folders_;
  Journal journal_{Journal::Mode::Off};
  RunReport report_;
  RowCollector rows_;
};

// Without a password the server is never asked: the folder fails naming the
// account, and says how to give one.
TEST_F(DavFolderMigrationTest, NoPasswordFailsTheFolderWithoutAskingTheServer) {
  annWithCalendar({kEvent}, "");
  settings_.dav.url = "http://127.0.0.1:1/";
  DavFolderMigration dav(settings_, reporter_);
  const FolderTally tally = migrateCalendar(dav);
  EXPECT_TRUE(tally.failed);
  EXPECT_EQ(tally.sent, 0);
  const std::string why =
      "no password is known for <ann@example.com> on the DAV server: give -setPass, "
      "-forceSetPass or -davLoginForm";
  EXPECT_EQ(console_.str(),
            "   - \"Calendar\", messages: 1\nError: cannot migrate folder "
            "\"Calendar\"\n  cause: account <ann@example.com>, folder "
            "\"Calendar\": " +
                why + "\n");
  ASSERT_EQ(rows_.rows.size(), 1u);
  EXPECT_EQ(rows_.rows[0].verdict, Verdict::Failed);
  EXPECT_EQ(rows_.rows[0].kind, "caldav");
  EXPECT_EQ(rows_.rows[0].error, why);
  EXPECT_EQ(rows_.rows[0].storeMessages, 1);
}

// A second try of the same account takes a finished folder over without a
// word and without a second row; another account starts afresh.
TEST_F(DavFolderMigrationTest, ARetriedAccountKeepsItsFinishedFolders) {
  annWithCalendar({kEvent}, "");
  settings_.dav.url = "http://127.0.0.1:1/";
  DavFolderMigration dav(settings_, reporter_);
  const FolderTally first = migrateCalendar(dav);
  const std::string said = console_.str();
  const FolderTally again = migrateCalendar(dav);
  EXPECT_EQ(console_.str(), said);
  EXPECT_EQ(rows_.rows.size(), 1u);
  EXPECT_EQ(again.failed, first.failed);
  EXPECT_EQ(again.firstError, first.firstError);
}

// The export alone: each valid item written, a message without calendar
// data reported with its number and counted refused, the verdict failed.
TEST_F(DavFolderMigrationTest, ExportWritesTheItemsAndReportsABrokenMessage) {
  annWithCalendar({kEvent, kNoCalendar}, "");
  settings_.davExportPath = dir_.path() + "/export";
  DavFolderMigration dav(settings_, reporter_);
  const FolderTally tally = migrateCalendar(dav);
  EXPECT_FALSE(tally.failed) << console_.str();
  EXPECT_EQ(tally.sent, 1);
  EXPECT_EQ(tally.refused, 1);
  EXPECT_EQ(tally.read, 2);
  EXPECT_NE(console_.str().find("Error: message 2 of folder \"Calendar\" of <ann@example.com>: "),
            std::string::npos)
      << console_.str();
  ASSERT_EQ(rows_.rows.size(), 1u);
  const ReportRow& row = rows_.rows[0];
  EXPECT_EQ(row.kind, "ics");
  EXPECT_EQ(row.verdict, Verdict::Failed);
  EXPECT_EQ(row.sent, 1);
  EXPECT_EQ(row.refused, 1);
  EXPECT_NE(row.targetFolder.find("Calendar.ics"), std::string::npos) << row.targetFolder;
  const std::string written = testing::readFile(row.targetFolder);
  EXPECT_NE(written.find("UID:event-1@example.com"), std::string::npos) << written;
  EXPECT_EQ(written.find("nothing of a calendar"), std::string::npos);
}

}  // namespace
}  // namespace lodemig
