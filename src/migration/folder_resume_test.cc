#include "migration/folder_resume.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

StoreFingerprint storeMessage(const std::string& identity, const std::string& id,
                              std::uint64_t size, std::int64_t date) {
  StoreFingerprint message;
  message.identity = identity;
  message.messageId = id;
  message.size = size;
  message.date = date;
  return message;
}

MessageFingerprint held(std::uint64_t uid, const std::string& id, std::uint64_t size,
                        std::int64_t date) {
  return {uid, size, date, id};
}

// Two identical store messages need two target copies; a message without a
// Message-ID matches by size and date; foreign mail is left over; a message
// recorded without a UID takes its copy before an unrecorded twin can.
TEST(MatchFingerprintsTest, MatchesAsMultisets) {
  std::vector<StoreFingerprint> store = {
      storeMessage("u:1:10", "<a@x>", 10, 100), storeMessage("u:2:10", "<a@x>", 10, 100),
      storeMessage("u:3:20", "", 20, 200),      storeMessage("u:4:30", "<b@x>", 30, 300),
      storeMessage("u:5:30", "<b@x>", 30, 300),
  };
  store[3].recordedWithoutUid = true;
  std::vector<MessageFingerprint> target = {held(7, "<a@x>", 10, 100), held(8, "", 20, 200),
                                            held(9, "<b@x>", 30, 300), held(10, "<f@y>", 5, 1),
                                            held(11, "", 20, 201)};
  const auto matched = matchFingerprints(store, target);
  ASSERT_EQ(matched.size(), 2u);
  EXPECT_EQ(matched.at("u:1:10"), std::deque<std::uint64_t>{7});
  EXPECT_EQ(matched.at("u:3:20"), std::deque<std::uint64_t>{8});
  // u:2 (a second copy) and u:5 (its twin's copy is the recorded one's) are sent.
  EXPECT_EQ(matched.count("u:2:10"), 0u);
  EXPECT_EQ(matched.count("u:5:30"), 0u);
  ASSERT_EQ(target.size(), 2u);
  EXPECT_EQ(target[0].uid, 10u);
  EXPECT_EQ(target[1].uid, 11u);
}

// A store message without a date was given the server's: any date matches.
TEST(MatchFingerprintsTest, AStoreMessageWithoutADateMatchesAnyDate) {
  const std::vector<StoreFingerprint> store = {storeMessage("f:1", "<a@x>", 10, -1),
                                               storeMessage("f:2", "<a@x>", 10, 5)};
  std::vector<MessageFingerprint> target = {held(3, "<a@x>", 10, 1700000000)};
  const auto matched = matchFingerprints(store, target);
  ASSERT_EQ(matched.size(), 1u);
  EXPECT_EQ(matched.at("f:1"), std::deque<std::uint64_t>{3});
  EXPECT_TRUE(target.empty());
}

TEST(DoublesOfTest, OnlyCopiesBeyondTheStoresAndNeverForeignMail) {
  const std::vector<StoreFingerprint> store = {
      storeMessage("u:1:10", "<a@x>", 10, 100), storeMessage("u:2:10", "<a@x>", 10, 100),
      storeMessage("u:3:20", "<c@x>", 20, 200), storeMessage("u:4:40", "<d@x>", 40, 400)};
  const std::vector<MessageFingerprint> target = {
      held(3, "<d@x>", 40, 400),                             // held before the run, matched
      held(5, "<a@x>", 10, 100), held(6, "<a@x>", 10, 100),  // the store has two
      held(7, "<c@x>", 20, 200), held(8, "<c@x>", 20, 200),  // one too many
      held(9, "<f@y>", 5, 1),    held(10, "<f@y>", 5, 1),    // foreign, twice
      held(11, "<d@x>", 40, 400)};                           // a second copy of an old one
  // UID 8 is the run's own copy (recorded); 7 is the one a dead connection left.
  EXPECT_EQ(doublesOf(store, target, 4, {5, 6, 8}), (std::vector<std::uint64_t>{7, 11}));
  // Without UIDs recorded, the newest copy goes.
  EXPECT_EQ(doublesOf(store, target, 4, {}), (std::vector<std::uint64_t>{8, 11}));
  // Copies held before the run are never counted as doubles of it.
  const std::vector<MessageFingerprint> old = {held(1, "<c@x>", 20, 200),
                                               held(2, "<c@x>", 20, 200)};
  EXPECT_TRUE(doublesOf(store, old, 4, {}).empty());
  // The foreign ones are counted as others' arrivals, from the start on only.
  EXPECT_EQ(foreignCount(store, target, 4), 2);
  EXPECT_EQ(foreignCount(store, target, 10), 1);
}

class FolderResumeTest : public ::testing::Test {
 protected:
  FolderResumeTest() : reporter_(log_, console_, errors_, true) {}

  void SetUp() override { ASSERT_EQ(journal_.open(dir_ / "journal", "/s", "h:143"), ""); }

  // An earlier run's records of folder "F" of a@x, begun with the target at
  // UIDVALIDITY 7, UIDNEXT `uidNext`.
  void earlierRun(std::int64_t uidNext, const std::vector<JournalMessage>& messages) {
    JournalDbFolder folder = journal_.beginFolder("a@x", "F");
    journal_.folderStart(reporter_, folder, "F", 7, uidNext, uidNext - 1);
    for (const JournalMessage& message : messages) {
      journal_.message(reporter_, folder, message);
    }
  }

  FolderResume::Decision decide(const std::string& identity) {
    return resume_.decide(identity, [] { return std::string(); });
  }

  testing::ScopedTempDir dir_;
  std::ostringstream log_, console_, errors_;
  Reporter reporter_;
  Journal journal_;
  FolderResume resume_{reporter_, true};
};

TEST_F(FolderResumeTest, NewEmptyFolderIsRecordedAndNothingIsAsked) {
  resume_.begin(journal_, "a@x", "F");
  EXPECT_EQ(resume_.plan("F", {0, 3, 1}), 0u);
  EXPECT_FALSE(resume_.reconciled());
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Send);
  resume_.record("u:1:10", 10, "", 1, true);
  const JournalDbFolder folder = journal_.beginFolder("a@x", "F");
  EXPECT_EQ(folder.uidValidity(), 3);
  EXPECT_EQ(folder.uidNext(), 1);
  EXPECT_EQ(folder.countBefore(), 0);
}

TEST_F(FolderResumeTest, ResumeListsOnlyBeyondTheRecordsAndMatchesWhatArrived) {
  earlierRun(10, {{"u:1:10", 10, "", 10, true}, {"u:2:20", 20, "", 11, true}});
  resume_.begin(journal_, "a@x", "F");
  // Nothing beyond UID 11: nothing to ask.
  EXPECT_EQ(resume_.plan("F", {11, 7, 12}), 0u);
  resume_.begin(journal_, "a@x", "F");
  // UID 12 (message 3, sent but unrecorded) and 13 (someone else's) arrived.
  ASSERT_EQ(resume_.plan("F", {13, 7, 14}), 12u);
  std::vector<StoreFingerprint> store = {
      storeMessage("u:1:10", "<1@x>", 10, 1), storeMessage("u:2:20", "<2@x>", 20, 2),
      storeMessage("u:3:30", "<3@x>", 30, 3), storeMessage("u:4:40", "<4@x>", 40, 4)};
  resume_.match(store, {held(12, "<3@x>", 30, 3), held(13, "<f@y>", 40, 4)});
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Recorded);
  EXPECT_EQ(decide("u:2:20"), FolderResume::Decision::Recorded);
  EXPECT_EQ(decide("u:3:30"), FolderResume::Decision::Matched);
  EXPECT_EQ(resume_.lastMatchedUid(), 12u);
  EXPECT_EQ(decide("u:4:40"), FolderResume::Decision::Send);
  EXPECT_EQ(resume_.matched(), 1);
}

TEST_F(FolderResumeTest, AFolderMadeAnewTrustsNoRecordAndTheEmptyOneGetsAll) {
  earlierRun(10, {{"u:1:10", 10, "", 10, true}});
  resume_.begin(journal_, "a@x", "F");
  EXPECT_EQ(resume_.plan("F", {1, 99, 2}), 1u);
  std::vector<StoreFingerprint> store = {storeMessage("u:1:10", "<1@x>", 10, 1)};
  resume_.match(store, {held(1, "<1@x>", 10, 1)});
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Matched);

  resume_.begin(journal_, "a@x", "F");
  EXPECT_EQ(resume_.plan("F", {0, 7, 12}), 0u);
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Send);
}

TEST_F(FolderResumeTest, ARefusalOfThisRunStaysRefusedOnANewConnection) {
  resume_.begin(journal_, "a@x", "F");
  EXPECT_EQ(resume_.plan("F", {0, 7, 1}), 0u);
  resume_.record("u:1:10", 10, "", 1, true);
  resume_.record("u:2:20", 0, "", 0, false);
  // The connection is lost; the new one meets the folder again.
  resume_.begin(journal_, "a@x", "F");
  ASSERT_EQ(resume_.plan("F", {1, 7, 3}), 2u);
  std::vector<StoreFingerprint> store = {storeMessage("u:1:10", "<1@x>", 10, 1),
                                         storeMessage("u:2:20", "<2@x>", 20, 2)};
  resume_.match(store, {});
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Recorded);
  EXPECT_EQ(decide("u:2:20"), FolderResume::Decision::RefusedBefore);
}

TEST_F(FolderResumeTest, CountingStandsInWhenTheTargetCannotList) {
  earlierRun(10, {{"u:1:10", 10, "", -1, true}});
  resume_.begin(journal_, "a@x", "F");
  ASSERT_EQ(resume_.plan("F", {12, 0, 0}), 1u);
  // Count before 9, one recorded: two more arrived, both unrecorded.
  resume_.countInstead(12, [] { return 3; });
  EXPECT_EQ(decide("u:1:10"), FolderResume::Decision::Recorded);
  EXPECT_EQ(decide("u:2:20"), FolderResume::Decision::Matched);
  EXPECT_EQ(decide("u:3:30"), FolderResume::Decision::Matched);
  EXPECT_EQ(decide("u:4:40"), FolderResume::Decision::Send);
  EXPECT_NE(log_.str().find("the target cannot list its messages: what arrived is counted instead"),
            std::string::npos);
}

}  // namespace
}  // namespace lodemig
