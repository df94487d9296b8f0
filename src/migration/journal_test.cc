#include "migration/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

class JournalDoorTest : public ::testing::Test {
 protected:
  JournalDoorTest() : reporter_(log_, console_, errors_, true) {}

  // Records an account's life in `journal`, as a run does.
  void recordRun(Journal& journal) {
    journal.creating(reporter_, "new@x", "./p", "pw", true);
    journal.account(reporter_, "old@x", Journal::Settled::Declined, "./p");
    journal.account(reporter_, "new@x", Journal::Settled::Created, "./p");
    JournalDbFolder done = journal.beginFolder("new@x", "Done");
    journal.folderStart(reporter_, done, "Done", 7, 1, 0);
    journal.message(reporter_, done, {"u:1:10", 10, "\\Seen", 1, true});
    journal.endFolder(reporter_, done);
    JournalDbFolder open = journal.beginFolder("new@x", "Open");
    journal.folderStart(reporter_, open, "Open", 8, 5, 4);
    journal.message(reporter_, open, {"u:1:10", 10, "", 5, true});
    journal.message(reporter_, open, {"u:2:20", 20, "", -1, false});
    journal.endAccount(reporter_, "fin@x");
  }

  testing::ScopedTempDir dir_;
  std::ostringstream log_, console_, errors_;
  Reporter reporter_;
};

TEST_F(JournalDoorTest, RecordsOutliveTheRunInTheFile) {
  const std::string path = dir_ / "journal";
  {
    Journal journal;
    ASSERT_EQ(journal.open(path, "/s", "h:143"), "");
    EXPECT_TRUE(journal.hasFile());
    recordRun(journal);
    journal.close();
  }
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  Journal later;
  ASSERT_EQ(later.open(path, "/s", "h:143"), "");
  EXPECT_EQ(later.passwordFileOf("new@x"), (std::filesystem::current_path() / "p").string());
  EXPECT_EQ(later.passwordFileOf("old@x"), "");
  EXPECT_TRUE(later.folderDone("new@x", "Done"));
  EXPECT_FALSE(later.folderDone("new@x", "Open"));
  EXPECT_TRUE(later.accountDone("fin@x"));
  const JournalDbFolder open = later.beginFolder("new@x", "Open");
  EXPECT_EQ(open.uidValidity(), 8);
  EXPECT_EQ(open.uidNext(), 5);
  EXPECT_EQ(open.countBefore(), 4);
  EXPECT_EQ(open.storedTimes("u:1:10"), 1);
  EXPECT_EQ(open.refusedTimes("u:2:20"), 1);
  // A refusal of an earlier run is no refusal of this one: it is tried again.
  EXPECT_EQ(later.refusedInRun("new@x", "Open", "u:2:20"), 0);
  EXPECT_FALSE(later.anyRefusedInRun("new@x", "Open"));
  // Another target is refused, naming both.
  Journal other;
  later.close();
  const std::string refusal = other.open(path, "/s", "elsewhere:143");
  EXPECT_NE(refusal.find("the journal's target is h:143, this run's elsewhere:143"),
            std::string::npos)
      << refusal;
}

TEST_F(JournalDoorTest, WithoutAFileTheRunRemembersWhatItSettled) {
  Journal journal;
  recordRun(journal);
  EXPECT_FALSE(journal.hasFile());
  EXPECT_EQ(journal.passwordFileOf("new@x"), (std::filesystem::current_path() / "p").string());
  EXPECT_EQ(journal.passwordFileOf("old@x"), "");
  EXPECT_TRUE(journal.folderDone("new@x", "Done"));
  EXPECT_FALSE(journal.folderDone("new@x", "Open"));
  EXPECT_TRUE(journal.accountDone("fin@x"));
  EXPECT_EQ(journal.refusedInRun("new@x", "Open", "u:2:20"), 1);
  EXPECT_TRUE(journal.anyRefusedInRun("new@x", "Open"));
  EXPECT_FALSE(journal.anyRefusedInRun("new@x", "Ope"));
  EXPECT_EQ(log_.str(), "");

  Journal off(Journal::Mode::Off);
  recordRun(off);
  EXPECT_EQ(off.passwordFileOf("new@x"), "");
  EXPECT_FALSE(off.folderDone("new@x", "Done"));
  EXPECT_FALSE(off.accountDone("fin@x"));
  // Refusals are known whatever the mode: a new connection must not resend.
  EXPECT_EQ(off.refusedInRun("new@x", "Open", "u:2:20"), 1);
}

}  // namespace
}  // namespace lodemig
