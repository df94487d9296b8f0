#include "migration/journal.h"

#include <gtest/gtest.h>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

TEST(JournalTest, RecordsReadBackWhateverTheNamesHold) {
  testing::ScopedTempDir dir;
  const std::string path = dir / "journal";
  const std::string header = journalHeader("/store\twith tab", "host", 143);
  const std::string odd = "a%b\tc\nd\re";
  MessageKey key{"Sent%09.mbox", 120, 77};
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path, 0, header));
    writer.creating("new@x", "./run.pass", "pw", true);
    writer.creating("cut@x", "./run.pass", "p\tw", false);
    writer.account("new@x", "created", "./run.pass");
    writer.creating("old@x", "./run.pass", "pw", false);
    writer.account("old@x", "declined", "./run.pass");
    writer.count("new@x", odd, 5);
    writer.count("new@x", odd, 9);  // only the first count holds
    writer.message(true, "new@x", odd, journalKey(key));
    writer.message(true, "new@x", odd, journalKey(key));  // the same message twice counts once
    writer.message(false, "new@x", odd, journalKey({"Sent%09.mbox", 200, 5}));
    writer.count("new@x", "Done", 0);
    writer.folderDone("new@x", "Done");
    writer.accountDone("fin@x");
    writer.close();
    EXPECT_FALSE(writer.failed());
  }
  JournalState state;
  std::int64_t valid = 0;
  ASSERT_EQ(state.load(path, header, valid), JournalState::Load::Ok);
  EXPECT_EQ(valid, static_cast<std::int64_t>(testing::readFile(path).size()));
  EXPECT_EQ(state.passwordFileOf("new@x"), "./run.pass");
  EXPECT_EQ(state.passwordFileOf("old@x"), "");
  EXPECT_EQ(state.passwordFileOf("cut@x"), "./run.pass");
  std::string password;
  bool generated = true;
  EXPECT_FALSE(state.creationUnconfirmed("new@x", password, generated));
  ASSERT_TRUE(state.creationUnconfirmed("cut@x", password, generated));
  EXPECT_EQ(password, "p\tw");
  EXPECT_FALSE(generated);
  EXPECT_TRUE(state.accountDone("fin@x"));
  EXPECT_FALSE(state.accountDone("new@x"));
  EXPECT_TRUE(state.folderDone("new@x", "Done"));
  EXPECT_FALSE(state.folderDone("new@x", odd));
  FolderProgress& progress = state.progress("new@x", odd);
  EXPECT_EQ(progress.countBefore, 5);
  EXPECT_EQ(progress.storedCount, 1);
  EXPECT_EQ(progress.stored.count(journalKey(key)), 1u);
  EXPECT_EQ(progress.refused.count(journalKey({"Sent%09.mbox", 200, 5})), 1u);
  EXPECT_EQ(state.load(path, journalHeader("/store", "host", 143), valid),
            JournalState::Load::OtherRun);
  EXPECT_EQ(JournalState().load(dir / "none", header, valid), JournalState::Load::Missing);
}

TEST(JournalTest, TornLastLineIsCutAndWrittenOver) {
  testing::ScopedTempDir dir;
  const std::string path = dir / "journal";
  const std::string header = journalHeader("/s", "h", 1);
  testing::writeFile(path, header + "\naccount-done\ta@x\naccount-do");
  JournalState state;
  std::int64_t valid = 0;
  ASSERT_EQ(state.load(path, header, valid), JournalState::Load::Ok);
  EXPECT_TRUE(state.accountDone("a@x"));
  JournalWriter writer;
  ASSERT_TRUE(writer.open(path, valid, header));
  writer.accountDone("b@x");
  writer.close();
  EXPECT_EQ(testing::readFile(path), header + "\naccount-done\ta@x\naccount-done\tb@x\n");
  // Cut inside the header: the file starts anew.
  testing::writeFile(path, header.substr(0, 10));
  ASSERT_EQ(JournalState().load(path, header, valid), JournalState::Load::Ok);
  EXPECT_EQ(valid, 0);
  ASSERT_TRUE(writer.open(path, valid, header));
  writer.close();
  EXPECT_EQ(testing::readFile(path), header + "\n");
}

}  // namespace
}  // namespace lodemig
