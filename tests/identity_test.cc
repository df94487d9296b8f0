// What arrived is decided by identity: after a refusal among appends in
// flight and a cut, a stall that stores a dead connection's appends, mail
// others deliver, a second run on one journal, a long journal record, a
// re-run or -force into a filled account, the target holds every store
// message exactly once, with its flags and date, and leaves others' mail be.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/holdings.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

class IdentityTest : public MigrationTest {
 protected:
  // An account of example.com with an INBOX and, when `archive` is above 0,
  // an Archive folder.
  void account(const std::string& name, const std::vector<MailboxMessage>& inbox, int archive = 0,
               const std::string& password = "") {
    std::string info = "{ INBOX = { Messages = #" + std::to_string(inbox.size()) + "; };";
    if (archive > 0) {
      info += " Archive = { Messages = #" + std::to_string(archive) + "; };";
    }
    builder_.account("", name, AccountDirectory)
        .settings("{ Password = \"" + (password.empty() ? "pw" + name : password) + "\"; }")
        .info(info + " }");
    builder_.mailboxFile("", name, "INBOX", inbox);
    if (archive > 0) {
      builder_.mailboxFile("", name, "Archive",
                           StoreBuilder::variedMessages(name + "-archive", archive));
    }
    accounts_.push_back(name + "@example.com");
  }

  // Migrates the store into a server of its own without any fault and keeps
  // what each account received: what the faulty runs are held against.
  void takeReference() {
    startServer();
    ProcessOptions options;
    options.workingDirectory = dir_ / "reference";
    makeDirectories(options.workingDirectory);
    const ProcessResult clean = run({}, options);
    ASSERT_EQ(clean.exitStatus, 0) << clean.out;
    for (const std::string& address : accounts_) {
      reference_[address] = migrated(held(address));
      ASSERT_FALSE(reference_[address].empty()) << address;
    }
  }

  ProcessResult run(std::vector<std::string> arguments, ProcessOptions options) {
    std::vector<std::string> all = {"-path",     store_,           "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    if (options.workingDirectory.empty()) {
      options.workingDirectory = work_;
    }
    makeDirectories(options.workingDirectory);
    return runProcess(LODEMIG_BINARY, all, options);
  }

  // Stops the server and starts another on the same store directory, as a
  // restarted server; it listens on another port.
  void restartServer(std::vector<std::string> arguments = {}) {
    server_.reset();
    arguments.insert(arguments.end(), {"--store", arrived_, "--reopen"});
    server_ = std::make_unique<TargetServer>(LODEMIG_TARGET_BINARY, arguments);
    ASSERT_GT(server_->port(), 0) << "the target server did not start again";
  }

  std::vector<HeldMessage> held(const std::string& address) const {
    return heldMessages(arrived_, address);
  }

  // The reference of `address` without the message whose subject is `subject`.
  std::vector<HeldMessage> referenceWithout(const std::string& address,
                                            const std::string& subject) {
    std::vector<HeldMessage> want = reference_[address];
    for (auto m = want.begin(); m != want.end(); ++m) {
      if (contains(m->content, "Subject: " + subject + "\r\n")) {
        want.erase(m);
        return want;
      }
    }
    ADD_FAILURE() << "no message " << subject;
    return want;
  }

  void expectOnce(const std::string& address, const std::vector<HeldMessage>& want) {
    const Tally found = tally(want, migrated(held(address)));
    EXPECT_EQ(found.lost, 0) << address << "\n" << found.detail;
    EXPECT_EQ(found.doubled, 0) << address << "\n" << found.detail;
    EXPECT_EQ(found.wrongStamps, 0) << address << "\n" << found.detail;
  }
  void expectEveryMessageOnce() {
    for (const std::string& address : accounts_) {
      expectOnce(address, reference_[address]);
    }
  }

  // Mail others delivered is still there, as it was.
  void expectUntouched(const std::string& address, const std::vector<HeldMessage>& theirs) {
    const std::vector<HeldMessage> now = delivered(held(address));
    ASSERT_EQ(now.size(), theirs.size()) << address;
    for (std::size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].content, theirs[i].content) << i;
      EXPECT_EQ(now[i].folder, theirs[i].folder) << i;
    }
  }

  ReportRow row(const std::string& address, const std::string& folder) const {
    return lastRow(reportRows(report_), address, folder);
  }

  // A count column of a report row; -1 when it holds no number.
  static long number(const ReportRow& row, const std::string& column) {
    const std::string text = field(row, column);
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << column << " is not a count: " << text;
      return -1;
    }
    return std::stol(text);
  }

  const std::string report_ = dir_ / "report.csv";
  const std::string journal_ = dir_ / "run.journal";
  std::vector<std::string> accounts_;
  std::map<std::string, std::vector<HeldMessage>> reference_;
};

constexpr char kAnn[] = "ann@example.com";

TEST_F(IdentityTest, RefusalAmongAppendsInFlightThenACutLosesAndDoublesNothing) {
  account("ann", StoreBuilder::variedMessages("ann", 20));
  takeReference();
  // Appends 7 to 13 are in flight behind the refused 6th when the server
  // closes the connection without reading them. Whether the refusal is read
  // before the connection breaks depends on where the client was: read, it
  // stays refused; unread, the message is sent again on the new connection,
  // which this server takes. Either way the run, its report and the target
  // must agree, and nothing is lost or doubled.
  startServer({"--refuse-then-cut", "6"});
  const ProcessResult result = run({"-window", "8", "-retry", "2", "-report", report_}, {});
  const ReportRow inbox = row(kAnn, "INBOX");
  if (field(inbox, "refused") == "1") {
    EXPECT_EQ(result.exitStatus, 1) << result.out;
    expectOnce(kAnn, referenceWithout(kAnn, "ann 6"));
    EXPECT_EQ(field(inbox, "verdict"), "failed");
    EXPECT_EQ(field(inbox, "target_after"), "19");
  } else {
    EXPECT_EQ(field(inbox, "refused"), "0");
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    expectOnce(kAnn, reference_[kAnn]);
    EXPECT_EQ(field(inbox, "verdict"), "ok");
    EXPECT_EQ(field(inbox, "target_after"), "20");
  }
}

TEST_F(IdentityTest, ForeignMailDeliveredBetweenRunsIsNeitherTakenAsOursNorTouched) {
  account("ann", StoreBuilder::variedMessages("ann", 12), 4);
  takeReference();
  startServer({"--drop-append", "5"});
  EXPECT_EQ(run({"-journal", journal_}, {}).exitStatus, 3);
  ASSERT_EQ(migrated(held(kAnn)).size(), 4u);
  restartServer({"--deliver", "ann@example.com:INBOX:3"});
  const std::vector<HeldMessage> theirs = delivered(held(kAnn));
  ASSERT_EQ(theirs.size(), 3u);

  const ProcessResult resumed = run({"-journal", journal_, "-retarget", "-report", report_}, {});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectEveryMessageOnce();
  expectUntouched(kAnn, theirs);
  // (Archive, the first in the walk, was done before the cut.)
  EXPECT_EQ(field(row(kAnn, "INBOX"), "verdict"), "ok");
}

TEST_F(IdentityTest, ForeignMailDeliveredDuringAReconnectionIsNeitherTakenAsOursNorTouched) {
  account("ann", StoreBuilder::variedMessages("ann", 12));
  takeReference();
  // Two messages of others arrive just before the 5th append, whose
  // connection is then lost.
  startServer({"--drop-append", "5", "--deliver", "ann@example.com:INBOX:2:5"});
  const ProcessResult result = run({"-retry", "2", "-report", report_}, {});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  expectEveryMessageOnce();
  const std::vector<HeldMessage> theirs = delivered(held(kAnn));
  ASSERT_EQ(theirs.size(), 2u);
  for (const HeldMessage& m : theirs) {
    EXPECT_TRUE(contains(m.content, "Delivered into ann@example.com/INBOX")) << m.content;
  }
  EXPECT_EQ(field(row(kAnn, "INBOX"), "verdict"), "ok");
}

TEST_F(IdentityTest, StallPastTheTimeoutThatStoresTheDeadConnectionsAppendsDoublesNothing) {
  account("ann", StoreBuilder::variedMessages("ann", 30));
  takeReference();
  // The connection goes silent from the 10th append on; once the client
  // has given up on it, the server stores what it had received there.
  startServer({"--stall-at", "10"});
  const ProcessResult result =
      run({"-window", "8", "-timeout", "1", "-retry", "2", "-report", report_}, {});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  expectEveryMessageOnce();
  EXPECT_EQ(field(row(kAnn, "INBOX"), "verdict"), "ok");
  EXPECT_EQ(field(row(kAnn, "INBOX"), "refused"), "0");
}

// The server takes the dead connection's appends only after the client has
// sent them again on its new connection: the copies are doubles of the
// run's own, found when the folder is finished and removed by UID.
TEST_F(IdentityTest, AppendsADeadConnectionLeftAndTheServerStoredLateAreRemovedOnce) {
  account("ann", StoreBuilder::variedMessages("ann", 30));
  takeReference();
  startServer({"--stall-at", "10", "--store-late"});
  const ProcessResult result =
      run({"-window", "8", "-timeout", "1", "-retry", "2", "-report", report_}, {});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  expectEveryMessageOnce();
  EXPECT_TRUE(contains(result.out,
                       "messages that a lost connection had sent were stored twice: "
                       "the copies (UIDs "))
      << result.out;
  const ReportRow inbox = row(kAnn, "INBOX");
  EXPECT_EQ(field(inbox, "verdict"), "ok");
  EXPECT_NE(field(inbox, "error").find("copies a lost connection stored twice were removed"),
            std::string::npos)
      << field(inbox, "error");
}

TEST_F(IdentityTest, SecondRunOnAJournalInUseIsRefusedAndTheFirstResumesAfterAKill) {
  account("ann", StoreBuilder::variedMessages("ann", 10));
  takeReference();
  // The first run hangs at its third append, holding the journal.
  startServer({"--stall-at", "3"});
  std::atomic<bool> release{false};
  ProcessResult first;
  std::thread holder([&] {
    ProcessOptions options;
    options.timeoutSeconds = 40;
    options.signalWhen = [&release] { return release.load(); };
    first = run({"-journal", journal_, "-timeout", "30"}, options);
  });
  // Bounded: 20 s at most.
  for (int i = 0; i < 2000 && migrated(held(kAnn)).size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ProcessOptions elsewhere;
  elsewhere.workingDirectory = dir_ / "second";
  const ProcessResult second = run({"-journal", journal_}, elsewhere);
  release = true;
  holder.join();
  EXPECT_EQ(second.exitStatus, 2) << second.out << second.err;
  EXPECT_TRUE(contains(second.out + second.err,
                       "Argument error: journal " + journal_ + " is in use by process "))
      << second.out << second.err;
  EXPECT_EQ(first.exitStatus, 128 + 9);

  const ProcessResult resumed = run({"-journal", journal_}, {});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectEveryMessageOnce();
}

TEST_F(IdentityTest, SeventyThousandCharacterPasswordKeepsTheJournalRecordsAfterIt) {
  std::string password;
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t i = 0; i < 70000; ++i) {
    password += letters[i * 7 % letters.size()];
  }
  account("al", StoreBuilder::variedMessages("al", 4), 0, password);
  account("bo", StoreBuilder::variedMessages("bo", 4));
  account("cy", StoreBuilder::variedMessages("cy", 4));
  takeReference();
  // al alone first, so that its record comes before everything the next
  // runs journal; the next run is cut in its second message.
  startServer({"--drop-append", "6"});
  EXPECT_EQ(run({"-journal", journal_, "-domain", "example.com", "-user", "al"}, {}).exitStatus, 0);
  EXPECT_EQ(run({"-journal", journal_}, {}).exitStatus, 3);
  const ProcessResult resumed = run({"-journal", journal_}, {});
  EXPECT_EQ(resumed.exitStatus, 0) << resumed.out;
  expectEveryMessageOnce();
  EXPECT_EQ(storedPassword("al@example.com"), password);
  EXPECT_TRUE(
      contains(allFiles(work_, "pass"), "<al@example.com>, password: \"" + password + "\"\n"));
}

TEST_F(IdentityTest, ForceIntoAFilledAccountSendsNothingAgainAndLeavesOthersMail) {
  account("ann", StoreBuilder::variedMessages("ann", 8), 4);
  takeReference();
  startServer();
  ASSERT_EQ(run({}, {}).exitStatus, 0);
  restartServer({"--deliver", "ann@example.com:INBOX:2"});
  const std::vector<HeldMessage> theirs = delivered(held(kAnn));
  const ProcessResult forced = run({"-force", "-report", report_}, {});
  EXPECT_EQ(forced.exitStatus, 0) << forced.out;
  expectEveryMessageOnce();
  expectUntouched(kAnn, theirs);
  const std::pair<const char*, const char*> folders[] = {{"INBOX", "8"}, {"Archive", "4"}};
  for (const auto& [folder, count] : folders) {
    EXPECT_EQ(field(row(kAnn, folder), "matched"), count) << folder;
    EXPECT_EQ(field(row(kAnn, folder), "sent"), "0") << folder;
    EXPECT_EQ(field(row(kAnn, folder), "verdict"), "ok") << folder;
  }
}

TEST_F(IdentityTest, TwoIdenticalMessagesOfAFolderAreBothKept) {
  // Messages 4 and 5 have the same Message-ID, size, date, flags and text.
  std::vector<MailboxMessage> inbox = StoreBuilder::variedMessages("ann", 12);
  inbox[4] = inbox[3];
  inbox[4].uid = "5";
  account("ann", inbox);
  takeReference();
  const std::vector<std::vector<std::string>> faults = {
      {"--drop-append", "6"},  // both confirmed before the cut
      {"--stall-at", "4"},     // both stored after the client gave up
  };
  for (const std::vector<std::string>& fault : faults) {
    SCOPED_TRACE(fault[0]);
    startServer(fault);
    const ProcessResult result = run({"-window", "8", "-timeout", "1", "-retry", "2"}, {});
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    expectEveryMessageOnce();
    // Nor does a later run into the account take one of them for a double.
    EXPECT_EQ(run({"-force"}, {}).exitStatus, 0);
    expectEveryMessageOnce();
  }
}

TEST_F(IdentityTest, MessagesWithoutAMessageIdOnAServerWithoutUidplus) {
  account("ann", StoreBuilder::variedMessages("ann", 20, false));
  takeReference();
  startServer({"--no-uidplus", "--stall-at", "6"});
  const ProcessResult result = run({"-window", "8", "-timeout", "1", "-retry", "2"}, {});
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  expectEveryMessageOnce();
  EXPECT_EQ(run({"-force"}, {}).exitStatus, 0);
  expectEveryMessageOnce();
}

TEST_F(IdentityTest, RerunWithoutAJournalAfterAKillSendsOnlyWhatIsMissing) {
  account("ann", StoreBuilder::variedMessages("ann", 40));
  takeReference();
  startServer({"--delay-ms", "2"});
  ProcessOptions killed;
  killed.signalWhen = [this] { return migrated(held(kAnn)).size() >= 10; };
  EXPECT_EQ(run({"-window", "4"}, killed).exitStatus, 128 + 9);
  const std::size_t before = migrated(held(kAnn)).size();
  ASSERT_LT(before, 40u);
  const ProcessResult again = run({"-force", "-report", report_}, {});
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  expectEveryMessageOnce();
  const ReportRow inbox = row(kAnn, "INBOX");
  const long matched = number(inbox, "matched");
  // A message the killed run had in the socket may arrive after `before` was read.
  EXPECT_GE(matched, static_cast<long>(before));
  EXPECT_EQ(matched + number(inbox, "sent"), 40);
}

}  // namespace
}  // namespace lodemig::testing
