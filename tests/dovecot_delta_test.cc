// Cut-over passes end to end against a real server nobody here wrote: the
// flags a delta pass sets and the messages -expunge removes, read back with
// doveadm, mail others delivered meanwhile left as it is, and the audit
// after the last pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/delta_scenario.h"
#include "tests/dovecot.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kAnn[] = "ann@example.com";
constexpr char kForeign[] = "@elsewhere>";

class DovecotDeltaTest : public MigrationTest {
 protected:
  DovecotDeltaTest() : scenario_(builder_) {}

  void SetUp() override {
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
    DovecotOptions options;
    options.users = {{kAnn, "x"}};
    options.masterUser = kAdmin;
    options.masterPassword = kMasterPassword;
    dovecot_ = std::make_unique<Dovecot>(home_, options);
    ASSERT_EQ(dovecot_->problem(), "");
  }

  // `mode` -migrate (with the journal) or -verify.
  ProcessResult run(const std::string& mode, std::vector<std::string> arguments = {}) {
    std::vector<std::string> all = {"-path",         store_,           mode,         "-server",
                                    "127.0.0.1",     "-port",          port(),       "-password",
                                    kMasterPassword, "-targetType",    "imap",       "-admin",
                                    kAdmin,          "-primaryDomain", "example.com"};
    if (mode == "-migrate") {
      all.insert(all.end(), {"-journal", journal_});
    }
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    ProcessOptions options;
    options.workingDirectory = work_;
    return runProcess(LODEMIG_BINARY, all, options);
  }
  std::string port() const { return std::to_string(dovecot_->port()); }

  // ann's messages on dovecot in every folder, sorted; those of others
  // (`theirs` true) or the migration's, with or without their flags.
  std::vector<Placed> onDovecot(bool theirs, bool withFlags) {
    int status = 0;
    const std::string list = dovecot_->doveadm(
        {"-f", "tab", "fetch", "-u", kAnn, "mailbox flags hdr.message-id", "ALL"}, &status);
    EXPECT_EQ(status, 0) << list;
    std::vector<Placed> placed;
    std::istringstream lines(list);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      std::vector<std::string> fields;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, '\t');) {
        fields.push_back(cell);
      }
      if (fields.size() != 3) {
        ADD_FAILURE() << line;
        continue;
      }
      if (contains(fields[2], kForeign) == theirs) {
        placed.push_back({fields[0], fields[2], withFlags ? sortedFlags(fields[1]) : ""});
      }
    }
    std::sort(placed.begin(), placed.end());
    return placed;
  }

  // Delivers `count` messages of others into ann's INBOX with doveadm save.
  void deliverForeign(int count) {
    for (int i = 1; i <= count; ++i) {
      const std::string file = dir_ / ("foreign" + std::to_string(i));
      writeFile(file, "Message-ID: <foreign." + std::to_string(i) + kForeign +
                          "\r\nSubject: from elsewhere\r\n\r\nnot the store's\r\n");
      ASSERT_EQ(dovecot_->save(kAnn, "INBOX", file), 0);
    }
  }

  ScopedTempDir home_;
  std::unique_ptr<Dovecot> dovecot_;
  DeltaScenario scenario_;
  const std::string journal_ = dir_ / "run.journal";
};

TEST_F(DovecotDeltaTest, DeltaThenExpungeLeaveTheStoresMessagesWithTheirFlagsAndOthersMail) {
  scenario_.build();
  const ProcessResult first = run("-migrate");
  ASSERT_EQ(first.exitStatus, 0) << first.out;
  ASSERT_EQ(onDovecot(false, false), DeltaScenario::placedBefore());
  scenario_.change();
  deliverForeign(2);
  const std::vector<Placed> theirs = onDovecot(true, true);
  ASSERT_EQ(theirs.size(), 2u);

  const ProcessResult delta = run("-migrate", {"-delta"});
  EXPECT_EQ(delta.exitStatus, 0) << delta.out;
  EXPECT_TRUE(contains(delta.out, "Info: messages: 5 sent, 0 refused, ")) << delta.out;
  EXPECT_TRUE(contains(delta.out,
                       "Info: changes: 3 messages with new flags, 3 gone from the store, 0 of "
                       "them removed\n"))
      << delta.out;
  EXPECT_EQ(onDovecot(false, true), DeltaScenario::flaggedAfterDelta());

  const ProcessResult expunge = run("-migrate", {"-delta", "-expunge"});
  EXPECT_EQ(expunge.exitStatus, 0) << expunge.out;
  EXPECT_TRUE(contains(expunge.out,
                       "Info: changes: 0 messages with new flags, 3 gone from the store, 3 of "
                       "them removed\n"))
      << expunge.out;
  EXPECT_EQ(onDovecot(false, true), DeltaScenario::flaggedAfterExpunge());
  EXPECT_EQ(onDovecot(true, true), theirs);

  const ProcessResult audit = run("-verify");
  EXPECT_EQ(audit.exitStatus, 0) << audit.out;
  EXPECT_TRUE(contains(audit.out, "Result: verification successful\n")) << audit.out;
}

}  // namespace
}  // namespace lodemig::testing
