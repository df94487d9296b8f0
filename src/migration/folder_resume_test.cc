#include "migration/folder_resume.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

MessageKey key(int number) {
  return {"F.mbox", number * 100, 10};
}

class FolderResumeTest : public ::testing::Test {
 protected:
  FolderResumeTest() : reporter_(log_, console_, errors_, true) {}

  // A journal file in which an earlier run began folder "F" of a@x, then
  // this run's journal on it.
  void earlierRun(std::int64_t countBefore, const std::vector<int>& stored,
                  const std::vector<int>& refused) {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path_, 0, header_));
    writer.count("a@x", "F", countBefore);
    for (int number : stored) {
      writer.message(true, "a@x", "F", journalKey(key(number)));
    }
    for (int number : refused) {
      writer.message(false, "a@x", "F", journalKey(key(number)));
    }
    writer.close();
    openJournal();
  }
  void openJournal() {
    ASSERT_EQ(journal_.open(path_, header_), "");
    recordsBefore_ = testing::readFile(path_).size();
  }

  // Starts folder "F", whose store holds messages 1 to `messages`.
  void start(std::int64_t targetCount, int messages, Journal* journal = nullptr) {
    resume_.start(journal != nullptr ? *journal : journal_, "a@x", "F", targetCount, [&] {
      ++walks_;
      std::int64_t count = 0;
      for (int number = 1; number <= messages; ++number) {
        count += resume_.recorded(key(number)) ? 0 : 1;
      }
      return count;
    });
  }

  // The records this run added to the file, once the journal is closed (it
  // buffers what no crash can cost).
  std::string newRecords() {
    journal_.close();
    return testing::readFile(path_).substr(recordsBefore_);
  }
  static std::string stored(int number) {
    return "stored\ta@x\tF\t" + journalKey(key(number)) + "\n";
  }

  testing::ScopedTempDir dir_;
  const std::string path_ = dir_ / "journal";
  const std::string header_ = journalHeader("/s", "h", 143);
  std::ostringstream log_, console_, errors_;
  Reporter reporter_;
  Journal journal_;
  FolderResume resume_{reporter_, false};
  int walks_ = 0;
  std::size_t recordsBefore_ = 0;
};

TEST_F(FolderResumeTest, NewFolderRecordsTheTargetCountBeforeAnyMessage) {
  openJournal();
  start(7, 2);
  EXPECT_FALSE(resume_.skip(key(1)));
  resume_.record(true);
  EXPECT_FALSE(resume_.skip(key(2)));
  resume_.record(false);
  resume_.finish(true);
  EXPECT_EQ(newRecords(), "count\ta@x\tF\t7\n" + stored(1) + "refused\ta@x\tF\t" +
                              journalKey(key(2)) + "\nfolder-done\ta@x\tF\n");
  EXPECT_EQ(walks_, 0);
  EXPECT_EQ(log_.str(), "");
}

TEST_F(FolderResumeTest, UnknownTargetCountIsRecordedAsEmptyAndAFailedFolderStaysOpen) {
  openJournal();
  start(-1, 1);
  resume_.finish(false);
  EXPECT_EQ(newRecords(), "count\ta@x\tF\t0\n");
  EXPECT_FALSE(journal_.folderDone("a@x", "F"));
}

TEST_F(FolderResumeTest, CountThatFitsSkipsTheFirstUnrecordedArrivals) {
  earlierRun(5, {1, 2}, {});
  start(9, 5);  // 2 arrived after the last record, 3 unrecorded
  EXPECT_EQ(walks_, 1);
  EXPECT_EQ(log_.str(),
            "Info: 2 messages of folder \"F\" of <a@x> arrived before the interruption: "
            "recorded, not sent again\n");
  EXPECT_TRUE(resume_.skip(key(1)));
  EXPECT_TRUE(resume_.wouldSkip(key(3)));
  EXPECT_TRUE(resume_.skip(key(3)));
  EXPECT_TRUE(resume_.skip(key(4)));
  EXPECT_FALSE(resume_.wouldSkip(key(5)));
  EXPECT_EQ(resume_.currentKey(), journalKey(key(5)));
  EXPECT_FALSE(resume_.skip(key(5)));
  EXPECT_EQ(newRecords(), stored(3) + stored(4));
}

TEST_F(FolderResumeTest, ArrivalsAsManyAsTheUnrecordedStillFit) {
  earlierRun(5, {1, 2}, {});
  start(10, 5);
  EXPECT_EQ(log_.str(),
            "Info: 3 messages of folder \"F\" of <a@x> arrived before the interruption: "
            "recorded, not sent again\n");
  EXPECT_TRUE(resume_.skip(key(5)));
}

TEST_F(FolderResumeTest, RefusedMessagesAreNotTakenForArrivals) {
  earlierRun(0, {}, {1});
  start(1, 2);
  EXPECT_FALSE(resume_.skip(key(1)));
  EXPECT_TRUE(resume_.skip(key(2)));
  EXPECT_EQ(newRecords(), stored(2));
}

TEST_F(FolderResumeTest, CountsThatCannotBeExplainedSendUnrecordedMessagesAgain) {
  // 1 stored of 3 after a count of 5: 2 unrecorded in the store.
  struct Case {
    std::int64_t target;
    int walks;
  } cases[] = {{9, 1}, {5, 0}, {-1, 0}};  // 3 arrivals, -1 arrivals, no count
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    testing::ScopedTempDir dir;
    Journal journal;
    {
      JournalWriter writer;
      ASSERT_TRUE(writer.open(dir / "j", 0, header_));
      writer.count("a@x", "F", 5);
      writer.message(true, "a@x", "F", journalKey(key(1)));
      writer.close();
    }
    ASSERT_EQ(journal.open(dir / "j", header_), "");
    log_.str("");
    walks_ = 0;
    start(c.target, 3, &journal);
    EXPECT_EQ(walks_, c.walks);
    EXPECT_EQ(log_.str(),
              "Warning: folder \"F\" of <a@x> does not hold the messages the journal accounts "
              "for: its unrecorded messages are sent again\n");
    EXPECT_TRUE(resume_.skip(key(1)));
    EXPECT_FALSE(resume_.skip(key(2)));
    EXPECT_FALSE(resume_.skip(key(3)));
    resume_.finish(false);
  }
}

TEST_F(FolderResumeTest, NothingArrivedUnrecordedSkipsTheStoredOnly) {
  earlierRun(5, {1}, {});
  start(6, 3);
  EXPECT_EQ(walks_, 0);
  EXPECT_EQ(log_.str(), "");
  EXPECT_TRUE(resume_.skip(key(1)));
  EXPECT_FALSE(resume_.skip(key(2)));
  EXPECT_EQ(newRecords(), "");
}

TEST_F(FolderResumeTest, KeptKeysLetANewConnectionSkipWhatTheLostOneStored) {
  for (const bool keepKeys : {false, true}) {
    SCOPED_TRACE(keepKeys);
    Journal journal;  // no file, as a run without one keeps it
    FolderResume resume(reporter_, keepKeys);
    resume.start(journal, "a@x", "F", 3, [] { return 0; });
    EXPECT_FALSE(resume.skip(key(1)));
    resume.record(true);
    // The window keeps a key and records it once its answer comes.
    EXPECT_FALSE(resume.wouldSkip(key(2)));
    const std::string kept = resume.currentKey();
    EXPECT_FALSE(resume.wouldSkip(key(3)));
    resume.makeCurrent(kept);
    resume.record(false);
    const FolderProgress& progress = *journal.beginFolder("a@x", "F", false).progress;
    EXPECT_EQ(progress.storedCount, 1);
    EXPECT_EQ(progress.refused.count(journalKey(key(2))), keepKeys ? 1u : 0u);
    // The new connection finds both messages and nothing unexplained.
    resume.start(journal, "a@x", "F", 4, [] { return 0; });
    EXPECT_EQ(resume.skip(key(1)), keepKeys);
    EXPECT_FALSE(resume.skip(key(2)));
    EXPECT_FALSE(resume.skip(key(3)));
  }
}

TEST_F(FolderResumeTest, OffJournalSkipsAndRecordsNothing) {
  Journal off(Journal::Mode::Off);
  start(3, 2, &off);
  EXPECT_FALSE(resume_.skip(key(1)));
  EXPECT_EQ(resume_.currentKey(), "");
  resume_.record(true);
  resume_.finish(true);
  EXPECT_FALSE(off.folderDone("a@x", "F"));
  EXPECT_EQ(walks_, 0);
  EXPECT_EQ(log_.str(), "");
}

}  // namespace
}  // namespace lodemig
