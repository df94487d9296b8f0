#include "migration/journal_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

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
  // Named by where it is, for a resumed run started in another directory.
  const std::string passwordFile = (std::filesystem::current_path() / "run.pass").string();
  EXPECT_EQ(state.passwordFileOf("new@x"), passwordFile);
  EXPECT_EQ(state.passwordFileOf("old@x"), "");
  EXPECT_EQ(state.passwordFileOf("cut@x"), passwordFile);
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

// A record far longer than any name (a store password of 70,000
// characters) is a record like any other; a line longer than any record is
// damage, never a torn last line that would cut the records after it.
TEST(JournalTest, LongRecordsAreKeptAndOverlongLinesAreDamage) {
  testing::ScopedTempDir dir;
  const std::string path = dir / "journal";
  const std::string header = journalHeader("/s", "h", 1);
  const std::string password(70000, 'p');
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path, 0, header));
    writer.creating("long@x", "./run.pass", password, false);
    writer.account("after@x", "created", "./run.pass");
    writer.accountDone("after@x");
    writer.close();
  }
  JournalState state;
  std::int64_t valid = 0;
  ASSERT_EQ(state.load(path, header, valid), JournalState::Load::Ok);
  EXPECT_EQ(valid, static_cast<std::int64_t>(testing::readFile(path).size()));
  std::string kept;
  bool generated = true;
  ASSERT_TRUE(state.creationUnconfirmed("long@x", kept, generated));
  EXPECT_EQ(kept, password);
  EXPECT_TRUE(state.accountDone("after@x"));

  testing::writeFile(path, header + "\naccount-done\ta@x\n" + std::string(17 * 1024 * 1024, 'x') +
                               "\naccount-done\tb@x\n");
  JournalState damaged;
  EXPECT_EQ(damaged.load(path, header, valid), JournalState::Load::Damaged);
  EXPECT_EQ(damaged.damagedLine(), 3);
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

bool sameKey(const MessageKey& a, const MessageKey& b) {
  return a.file == b.file && a.headerOffset == b.headerOffset && a.storedSize == b.storedSize;
}

TEST(JournalKeyTest, HostileFileNamesRoundTripOnOneLineOfThreeFields) {
  const MessageKey keys[] = {
      {"INBOX.mbox", 0, 0},
      {"Sent\t.mbox", 120, 77},
      {"100%25%.mbox", 5, 6},
      {"a\rb\nc\r\n.mbox", 1, 2},
      {"Entw\xc3\xbcrfe.mdir/1187960000.1-D-x", -1, 18446744073709551615ull},
      {"%09%0D%0A", 9223372036854775807ll, 1},
      {"", -1, 0},
  };
  for (const MessageKey& key : keys) {
    SCOPED_TRACE(key.file);
    std::string text = "left over";
    formatJournalKey(key, text);
    EXPECT_EQ(text, journalKey(key));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 2);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    MessageKey back;
    ASSERT_TRUE(parseJournalKey(text, back));
    EXPECT_TRUE(sameKey(back, key)) << back.file << " " << back.headerOffset;
  }
  // Distinct names stay distinct once escaped.
  EXPECT_NE(journalKey({"a\tb", 1, 1}), journalKey({"a%09b", 1, 1}));
}

TEST(JournalKeyTest, MalformedKeysAreRefused) {
  MessageKey key;
  for (const char* text : {"", "a", "a\t1", "a\t1\t2\t3", "a\tx\t2", "a\t1\t-", "a\t\t2", "a\t1\t",
                           "a\t1 \t2", "a\t1\t2x"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseJournalKey(text, key));
  }
  // Every cut of a valid key before its last field begins is no key.
  const std::string valid = journalKey({"F%\t.mbox", 123, 45});
  for (std::size_t size = 0; size <= valid.rfind('\t'); ++size) {
    EXPECT_FALSE(parseJournalKey(std::string_view(valid).substr(0, size), key)) << size;
  }
}

TEST(JournalKeyTest, LoaderRefusesARecordWhoseKeyIsMalformed) {
  testing::ScopedTempDir dir;
  const std::string header = journalHeader("/s", "h", 1);
  for (const char* record : {"stored\ta@x\tF\tfile\t12\tbig", "refused\ta@x\tF\tfile\t\t3"}) {
    SCOPED_TRACE(record);
    testing::writeFile(dir / "journal", header + "\n" + record + "\n");
    JournalState state;
    std::int64_t valid = 0;
    EXPECT_EQ(state.load(dir / "journal", header, valid), JournalState::Load::Damaged);
    EXPECT_EQ(state.damagedLine(), 2);
  }
}

}  // namespace

}  // namespace lodemig
