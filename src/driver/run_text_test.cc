#include "driver/run_text.h"

#include <gtest/gtest.h>

#include "migration/reporter.h"

namespace lodemig {
namespace {

class RunTextTest : public ::testing::Test {
 protected:
  RunTextTest() {
    settings_.domainMask = "*";
    settings_.userMask = "j*";
    settings_.primaryDomain = "example.com";
    connection_.host = "mail.example.com";
    connection_.port = 1143;
    outcome_.start = kStart;
    outcome_.end = kStart + 10;
    outcome_.totals.accountsMigrated = 2;
    outcome_.totals.accountsFailed = 1;
    outcome_.totals.folders = 4;
    outcome_.totals.sent = 30;
    outcome_.totals.storeMessages = 31;
    outcome_.totals.targetMessages = 29;
  }

  std::string footer() const { return runFooterText(settings_, outcome_); }
  std::string finished() const { return "\nFinish time: " + ctimeText(kStart + 10) + "\n"; }

  static constexpr std::time_t kStart = 1700000000;
  MigrationSettings settings_;
  ConnectionSettings connection_;
  RunOutcome outcome_;
};

TEST_F(RunTextTest, BannerNamesVersionAndStore) {
  EXPECT_EQ(bannerText("/var/quillon"),
            "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n\n"
            "Quillon path: \"/var/quillon\"\n");
  EXPECT_EQ(bannerText(""),
            "\nBrenhart Quillon Pro to Torvane migration tool 1.0.0-R1-1\n\nQuillon path: \"\"\n");
}

TEST_F(RunTextTest, HeaderNamesTargetMasksAndPrimaryDomain) {
  const std::string given = runHeaderText(settings_, connection_, kStart, true, {});
  EXPECT_EQ(given, "Torvane hostname: mail.example.com:1143\nStart time: " + ctimeText(kStart) +
                       "Info: domains to migrate (mask): *\n"
                       "Info: users to migrate (mask): j*\n"
                       "Info: primary domain: example.com\n");
  const std::string hostName = runHeaderText(settings_, connection_, kStart, false, {});
  EXPECT_EQ(hostName.substr(hostName.find("Info: primary")),
            "Info: primary domain is not specified, the hostname is used instead: example.com\n");
}

TEST_F(RunTextTest, HeaderEndsWithTheWarningsInTheirOrder) {
  const std::string text =
      runHeaderText(settings_, connection_, kStart, true, {"Warning: one\n", "Warning: two\n"});
  EXPECT_EQ(text.substr(text.find("Info: primary")),
            "Info: primary domain: example.com\nWarning: one\nWarning: two\n");
}

TEST_F(RunTextTest, MigrationFooterShowsTotalsAfterTheResult) {
  const std::string totals =
      "Info: accounts: 2 migrated, 0 skipped, 1 failed\n"
      "Info: folders: 4, 0 not ok\n"
      "Info: messages: 30 sent, 0 refused, 0 verified, 0 already there\n"
      "Info: bytes sent: 0B\n"
      "Info: time: 10 s, 3 messages/s\n";
  outcome_.succeeded = true;
  EXPECT_EQ(footer(), finished() + "Result: migration successful\n" + totals);
  outcome_.succeeded = false;
  EXPECT_EQ(footer(), finished() + "Result: migration failed\n" + totals);
}

TEST_F(RunTextTest, FilesThatFailedTheRunAreNamedBelowEveryKindOfSummary) {
  outcome_.failedFiles = {"cannot write file ./a.log: No space left on device",
                          "cannot write file r.csv: File too large"};
  const std::string named =
      "Info: run failed: cannot write file ./a.log: No space left on device\n"
      "Info: run failed: cannot write file r.csv: File too large\n";
  const std::string migration = footer();
  EXPECT_EQ(migration.substr(migration.size() - named.size()), named);
  EXPECT_NE(migration.find("Info: time: 10 s"), std::string::npos);
  settings_.verify = true;
  const std::string verification = footer();
  EXPECT_EQ(verification.substr(verification.size() - named.size()), named);
}

TEST_F(RunTextTest, CheckFooterShowsTheChecksSummary) {
  settings_.check = true;
  outcome_.checkSummary = "Info: 2 accounts would be created\n";
  outcome_.succeeded = true;
  EXPECT_EQ(footer(), finished() + "Result: check passed\nInfo: 2 accounts would be created\n");
  outcome_.succeeded = false;
  EXPECT_EQ(footer(),
            finished() + "Result: check found problems\nInfo: 2 accounts would be created\n");
}

TEST_F(RunTextTest, VerificationFooterComparesStoreAndTarget) {
  settings_.verify = true;
  const std::string summary =
      "Info: accounts: 2 match, 1 differ\nInfo: folders: 4, 0 not ok\n"
      "Info: messages: 31 in the store, 29 on Torvane\n";
  outcome_.succeeded = true;
  EXPECT_EQ(footer(), finished() + "Result: verification successful\n" + summary);
  outcome_.succeeded = false;
  EXPECT_EQ(footer(), finished() + "Result: verification failed\n" + summary);
}

}  // namespace
}  // namespace lodemig
