// Cut-over passes end to end against the stand-in target: a store copied
// once, then changed the way its running server changes it, and brought
// over by -delta and -delta -expunge.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/delta_scenario.h"
#include "tests/holdings.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kAnn[] = "ann@example.com";
constexpr char kBob[] = "bob@example.com";

class DeltaTest : public MigrationTest {
 protected:
  DeltaTest() : scenario_(builder_) {}

  // A pass with the journal, its transcripts apart from the earlier ones'.
  ProcessResult pass(std::vector<std::string> arguments = {}) {
    passTranscripts_ = newTranscripts();
    arguments.insert(arguments.begin(), {"-journal", journal_});
    ProcessResult result = migrate(arguments);
    passTranscripts_ = newTranscripts();
    return result;
  }

  // A run of `mode` (-verify, -check) against the stand-in, its
  // transcripts apart from the passes'.
  ProcessResult audit(const std::string& mode, std::vector<std::string> arguments = {}) {
    const std::string work = dir_ / "audit";
    makeDirectories(work);
    ProcessOptions options;
    options.workingDirectory = work;
    std::vector<std::string> all = {"-path",
                                    store_,
                                    mode,
                                    "-server",
                                    "127.0.0.1",
                                    "-port",
                                    server_->portText(),
                                    "-password",
                                    "master",
                                    "-primaryDomain",
                                    "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    newTranscripts();
    ProcessResult result = runProcess(LODEMIG_BINARY, all, options);
    passTranscripts_ = newTranscripts();
    return result;
  }
  // A forecast of the next delta pass; it writes nothing to the target.
  std::string forecast(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"-journal", journal_, "-delta"});
    const ProcessResult check = audit("-check", arguments);
    for (const char* command : {"CREATE", "APPEND", "STORE", "EXPUNGE"}) {
      EXPECT_FALSE(contains(passTranscripts_, command)) << command << "\n" << passTranscripts_;
    }
    return check.out;
  }

  // What the connections opened since the last call sent to the target.
  std::string newTranscripts() {
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(transcripts_, error)) {
      if (seen_.insert(entry.path().string()).second) {
        text += readFile(entry.path().string());
      }
    }
    return text;
  }

  // The migration's messages the stand-in holds for ann, as folder and
  // content, sorted.
  std::vector<Placed> annHolds() const {
    std::vector<Placed> placed;
    for (const HeldMessage& m : migrated(heldMessages(arrived_, kAnn))) {
      placed.push_back({m.folder, messageIdOf(m.content), ""});
    }
    std::sort(placed.begin(), placed.end());
    return placed;
  }
  std::vector<std::string> othersMail() const {
    std::vector<std::string> contents;
    for (const HeldMessage& m : delivered(heldMessages(arrived_, kAnn))) {
      contents.push_back(m.folder + ": " + m.content);
    }
    return contents;
  }

  DeltaScenario scenario_;
  const std::string journal_ = dir_ / "run.journal";
  const std::string transcripts_ = dir_ / "transcripts";
  const std::string report_ = dir_ / "report.csv";
  std::set<std::string> seen_;
  std::string passTranscripts_;
};

TEST_F(DeltaTest, DeltaOverAnUnchangedStoreAsksNothingOfTheTarget) {
  scenario_.build();
  inboxAccount("bob", 3);
  startServer({"--transcript", transcripts_});
  const ProcessResult first = pass();
  ASSERT_EQ(first.exitStatus, 0) << first.out;
  const int held = arrivedCount(kAnn) + arrivedCount(kBob);
  ASSERT_EQ(held, scenario_.firstCount() + 3);

  const ProcessResult delta = pass({"-delta"});
  EXPECT_EQ(delta.exitStatus, 0) << delta.out;
  for (const char* folder : {"INBOX", "Lists", "Notes", "Archive", "Old"}) {
    EXPECT_TRUE(contains(delta.out, "   - \"" + std::string(folder) + "\", unchanged\n"))
        << folder << "\n"
        << delta.out;
  }
  EXPECT_EQ(countOf(delta.out, "\", unchanged\n"), 6) << delta.out;
  EXPECT_TRUE(contains(delta.out, "Info: messages: 0 sent, 0 refused, ")) << delta.out;
  EXPECT_TRUE(contains(delta.out,
                       "Info: changes: 0 messages with new flags, 0 gone from the store, 0 of "
                       "them removed\n"))
      << delta.out;
  // Neither account was acted for: no folder selected, nothing written.
  for (const char* command : {"SELECT", "APPEND", "STORE", "EXPUNGE", "ann@", "bob@"}) {
    EXPECT_FALSE(contains(passTranscripts_, command)) << command << "\n" << passTranscripts_;
  }
  EXPECT_EQ(arrivedCount(kAnn) + arrivedCount(kBob), held);
}

TEST_F(DeltaTest, DeltaThenExpungeLeaveTheStoresMessagesWithTheirFlagsAndOthersMail) {
  scenario_.build();
  // Two messages of others arrive in ann's INBOX as the delta's first
  // append does.
  const std::string at = std::to_string(scenario_.firstCount() + 1);
  startServer({"--transcript", transcripts_, "--deliver", std::string(kAnn) + ":INBOX:2:" + at});
  const ProcessResult first = pass();
  ASSERT_EQ(first.exitStatus, 0) << first.out;
  ASSERT_EQ(annHolds(), scenario_.placedBefore());
  scenario_.change();
  const std::string before = forecast();
  EXPECT_TRUE(contains(before,
                       "Info: the next delta pass would send 5 messages (325B), set the flags of "
                       "3 messages, remove 0 messages (3 gone from the store) in 4 folders of 1 "
                       "accounts; 1 folders are gone from the store\n"))
      << before;

  const ProcessResult delta = pass({"-delta", "-report", report_});
  EXPECT_EQ(delta.exitStatus, 0) << delta.out;
  EXPECT_TRUE(contains(delta.out, "   - \"Archive\", unchanged\n")) << delta.out;
  EXPECT_TRUE(
      contains(delta.out, "   - \"Old\", gone from the store: its messages stay on the target\n"))
      << delta.out;
  EXPECT_TRUE(contains(delta.out, "Info: messages: 5 sent, 0 refused, ")) << delta.out;
  EXPECT_TRUE(contains(delta.out,
                       "Info: changes: 3 messages with new flags, 3 gone from the store, 0 of "
                       "them removed\n"))
      << delta.out;
  const std::string log = allFiles(work_, "log");
  EXPECT_TRUE(contains(log,
                       "Info: folder \"Lists\" of <ann@example.com>: 2 messages gone from the "
                       "store stay on the target; -expunge removes them\n"))
      << log;
  // INBOX's flags by the UIDs the stand-in gave in the first pass (1 to 5,
  // in file order), each change once; Notes' one (its UIDs follow the
  // directory's listing order) with them.
  for (const char* command :
       {" UID STORE 1 +FLAGS.SILENT (\\Flagged)\r\n", " UID STORE 1,5 -FLAGS.SILENT (\\Seen)\r\n",
        " UID STORE 5 +FLAGS.SILENT (\\Answered)\r\n"}) {
    EXPECT_EQ(countOf(passTranscripts_, command), 1) << command << "\n" << passTranscripts_;
  }
  EXPECT_EQ(countOf(passTranscripts_, " +FLAGS.SILENT (\\Answered)\r\n"), 2) << passTranscripts_;
  EXPECT_EQ(countOf(passTranscripts_, " UID STORE "), 4) << passTranscripts_;
  EXPECT_FALSE(contains(passTranscripts_, "EXPUNGE")) << passTranscripts_;
  EXPECT_EQ(annHolds(), scenario_.placedAfterDelta());
  const std::vector<std::string> theirs = othersMail();
  EXPECT_EQ(theirs.size(), 2u);

  // What the pass left on the target is still to be removed.
  const std::string left = forecast({"-expunge"});
  EXPECT_TRUE(contains(left,
                       "Info: the next delta pass would send 0 messages (0B), set the flags of 0 "
                       "messages, remove 3 messages (3 gone from the store) in 2 folders of 1 "
                       "accounts; 1 folders are gone from the store\n"))
      << left;

  const ProcessResult expunge = pass({"-delta", "-expunge"});
  EXPECT_EQ(expunge.exitStatus, 0) << expunge.out;
  EXPECT_TRUE(contains(expunge.out, "Info: messages: 0 sent, 0 refused, ")) << expunge.out;
  EXPECT_TRUE(contains(expunge.out,
                       "Info: changes: 0 messages with new flags, 3 gone from the store, 3 of "
                       "them removed\n"))
      << expunge.out;
  EXPECT_EQ(countOf(passTranscripts_, " UID EXPUNGE "), 2) << passTranscripts_;
  EXPECT_EQ(annHolds(), scenario_.placedAfterExpunge());
  EXPECT_EQ(othersMail(), theirs);

  // Once more: nothing left to do.
  const ProcessResult again = pass({"-delta", "-expunge"});
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  EXPECT_TRUE(contains(again.out, "Info: messages: 0 sent, 0 refused, ")) << again.out;
  EXPECT_EQ(countOf(again.out, "\", unchanged\n"), 5) << again.out;
  EXPECT_FALSE(contains(passTranscripts_, "STORE")) << passTranscripts_;
  EXPECT_EQ(annHolds(), scenario_.placedAfterExpunge());

  const ProcessResult verified = audit("-verify");
  EXPECT_EQ(verified.exitStatus, 0) << verified.out;
  EXPECT_TRUE(contains(verified.out, "Result: verification successful\n")) << verified.out;
}

}  // namespace
}  // namespace lodemig::testing
