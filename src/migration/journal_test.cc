#include "migration/journal.h"

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

// Outside the unnamed namespace: the journal names it its friend.
class JournalDoorTest : public ::testing::Test {
 protected:
  JournalDoorTest() : reporter_(log_, console_, errors_, true) {}

  static JournalWriter& writerOf(Journal& journal) { return journal.writer_; }

  // Records an account's whole life in `journal`, as a run does.
  void recordRun(Journal& journal) {
    journal.creating(reporter_, "new@x", "./p", "pw", true);
    journal.creating(reporter_, "old@x", "./p", "pw", false);
    journal.account(reporter_, "old@x", Journal::Settled::Declined, "./p");
    journal.account(reporter_, "new@x", Journal::Settled::Created, "./p");
    JournalFolder done = journal.beginFolder("new@x", "Done", false);
    journal.count(reporter_, done, 3);
    journal.message(reporter_, done, true, journalKey({"Done.mbox", 0, 10}));
    journal.endFolder(reporter_, done);
    EXPECT_EQ(done.progress, nullptr);
    JournalFolder open = journal.beginFolder("new@x", "Open", false);
    journal.count(reporter_, open, 4);
    journal.message(reporter_, open, true, journalKey({"Open.mbox", 0, 10}));
    journal.message(reporter_, open, false, journalKey({"Open.mbox", 10, 20}));
    journal.endAccount(reporter_, "fin@x");
  }

  // What a journal that took recordRun() answers.
  static void expectRunKnown(Journal& journal) {
    EXPECT_EQ(journal.passwordFileOf("new@x"), (std::filesystem::current_path() / "p").string());
    EXPECT_EQ(journal.passwordFileOf("old@x"), "");
    EXPECT_TRUE(journal.folderDone("new@x", "Done"));
    EXPECT_FALSE(journal.folderDone("new@x", "Open"));
    EXPECT_TRUE(journal.accountDone("fin@x"));
    EXPECT_FALSE(journal.accountDone("new@x"));
    const FolderProgress& open = *journal.beginFolder("new@x", "Open", false).progress;
    EXPECT_EQ(open.countBefore, 4);
    EXPECT_EQ(open.storedCount, 1);
  }

  testing::ScopedTempDir dir_;
  std::ostringstream log_, console_, errors_;
  Reporter reporter_;
};

TEST_F(JournalDoorTest, EachRecordIsWrittenAndRememberedAtOnce) {
  const std::string header = journalHeader("/s", "h", 143);
  {
    Journal journal;
    ASSERT_EQ(journal.open(dir_ / "journal", header), "");
    // A creation is remembered only once its answer is recorded.
    journal.creating(reporter_, "cut@x", "./p", "pw", false);
    EXPECT_EQ(journal.passwordFileOf("cut@x"), "");
    recordRun(journal);
    expectRunKnown(journal);
    journal.close();
  }
  Journal again;
  ASSERT_EQ(again.open(dir_ / "journal", header), "");
  expectRunKnown(again);
  std::string password;
  bool generated = true;
  ASSERT_TRUE(again.creationUnconfirmed("cut@x", password, generated));
  EXPECT_EQ(password, "pw");
  EXPECT_FALSE(generated);
  EXPECT_EQ(log_.str(), "");
}

TEST_F(JournalDoorTest, WithoutAFileNothingIsWrittenAndAllIsRemembered) {
  Journal journal;
  recordRun(journal);
  expectRunKnown(journal);
  // Kept for a retried connection, when asked to.
  JournalFolder folder = journal.beginFolder("new@x", "Keys", true);
  journal.message(reporter_, folder, true, "k1");
  journal.message(reporter_, folder, false, "k2");
  EXPECT_EQ(folder.progress->stored.count("k1"), 1u);
  EXPECT_EQ(folder.progress->refused.count("k2"), 1u);
  journal.close();
  EXPECT_EQ(testing::readFile(dir_ / "journal"), "");
}

TEST_F(JournalDoorTest, OffJournalKnowsNothing) {
  Journal journal(Journal::Mode::Off);
  recordRun(journal);
  EXPECT_FALSE(journal.remembers());
  EXPECT_EQ(journal.passwordFileOf("new@x"), "");
  EXPECT_FALSE(journal.folderDone("new@x", "Done"));
  EXPECT_FALSE(journal.accountDone("fin@x"));
  EXPECT_EQ(journal.beginFolder("new@x", "Open", true).progress, nullptr);
}

TEST_F(JournalDoorTest, FailedWriteIsLoggedAndEndsTheRun) {
  Journal journal;
  // /dev/full takes the open and fails every write, as a full disk does.
  static_cast<void>(writerOf(journal).open("/dev/full", -1, "header"));
  try {
    journal.endAccount(reporter_, "a@x");
    FAIL() << "no exception";
  } catch (const QLNetworkException& error) {
    EXPECT_STREQ(error.what(), "cannot write file /dev/full: No space left on device");
  }
  EXPECT_EQ(log_.str(), "Error: cannot write file /dev/full: No space left on device\n");
}

TEST_F(JournalDoorTest, RefusedJournalsNameTheirFault) {
  const std::string header = journalHeader("/s", "h", 143);
  const std::string path = dir_ / "journal";
  testing::writeFile(path, header + "\nbogus\n");
  EXPECT_EQ(Journal().open(path, header),
            "Argument error: journal " + path + " is damaged at line 2\n");
  EXPECT_EQ(Journal().open(path, journalHeader("/t", "h", 143)),
            "Argument error: journal " + path +
                " is of another store or target\n"
                "Argument error: the journal's store is /s, this run's /t\n");
  EXPECT_EQ(Journal().open(dir_.path(), header),
            "Argument error: cannot read journal " + dir_.path() + "\n");
}

TEST_F(JournalDoorTest, ASecondRunOnTheSameJournalIsRefusedUntilTheFirstEnds) {
  const std::string header = journalHeader("/s", "h", 143);
  const std::string path = dir_ / "journal";
  Journal first;
  ASSERT_EQ(first.open(path, header), "");
  first.endAccount(reporter_, "a@x");
  first.close();
  Journal holder;
  ASSERT_EQ(holder.open(path, header), "");
  const std::string before = testing::readFile(path);
  // The holder is named where the kernel lists its locks.
  const std::string named = std::ifstream("/proc/locks").good()
                                ? "process " + std::to_string(::getpid())
                                : std::string("another process");
  EXPECT_EQ(Journal().open(path, header), "Argument error: journal " + path + " is in use by " +
                                              named + ": two runs cannot share a journal\n");
  // Refused before it could cut or write anything.
  EXPECT_EQ(testing::readFile(path), before);
  holder.close();
  Journal after;
  EXPECT_EQ(after.open(path, header), "");
  EXPECT_TRUE(after.accountDone("a@x"));
}

TEST_F(JournalDoorTest, AnotherAddressOfTheServerIsTakenOnlyWhenAskedAndThenRemembered) {
  const std::string path = dir_ / "journal";
  testing::writeFile(path, journalHeader("/s", "old", 143) + "\naccount-done\ta@x\n");
  const std::string moved = journalHeader("/s", "new", 993);
  EXPECT_EQ(Journal().open(path, moved),
            "Argument error: journal " + path +
                " is of another store or target\n"
                "Argument error: the journal's target is old:143, this run's new:993; if it is "
                "the same server, add -retarget\n");
  // Taken, its records kept, the new address recorded for the runs after.
  {
    Journal journal;
    ASSERT_EQ(journal.open(path, moved, true), "");
    EXPECT_TRUE(journal.accountDone("a@x"));
    journal.close();
  }
  Journal again;
  EXPECT_EQ(again.open(path, moved), "");
  EXPECT_TRUE(again.accountDone("a@x"));
  // A store that differs is never retargeted.
  EXPECT_NE(Journal().open(path, journalHeader("/other", "new", 993), true), "");
}

}  // namespace lodemig
