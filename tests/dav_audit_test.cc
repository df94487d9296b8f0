// Calendars and contacts beside a standard IMAP server: the example store's
// john into a private dovecot and a private Radicale, then -check and
// -verify of what the DAV server holds, read back from Radicale's storage.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/process.h"
#include "tests/radicale.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kJohn[] = "john@example.com";
constexpr char kJohnPassword[] = "Sunrise-42";  // clear in the example store

class DavAuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
    if (!Radicale::available(&why)) {
      GTEST_SKIP() << why;
    }
    DovecotOptions imap;
    imap.users = {{kJohn, "x"}};
    imap.masterUser = kAdmin;
    imap.masterPassword = kMasterPassword;
    dovecot_ = std::make_unique<Dovecot>(imapDir_, imap);
    ASSERT_EQ(dovecot_->problem(), "");
    startRadicale(kJohnPassword);
  }

  void startRadicale(const std::string& johnPassword) {
    radicale_.reset();
    RadicaleOptions dav;
    dav.users = {{kJohn, johnPassword}};
    radicale_ = std::make_unique<Radicale>(davDir_, dav);
    ASSERT_EQ(radicale_->problem(), "");
  }

  // lodemig on the example store's john: `run` (-migrate, -check, -verify)
  // with -davServer `url` (Radicale's when empty) and `more`.
  ProcessResult lodemig(const std::string& run, std::vector<std::string> more = {},
                        std::string url = "") {
    std::vector<std::string> all = {"-path",
                                    std::string(LODEMIG_SOURCE_DIR) + "/examples",
                                    run,
                                    "-server",
                                    "127.0.0.1",
                                    "-port",
                                    std::to_string(dovecot_->port()),
                                    "-password",
                                    kMasterPassword,
                                    "-targetType",
                                    "imap",
                                    "-admin",
                                    kAdmin,
                                    "-primaryDomain",
                                    "example.com",
                                    "-domain",
                                    "example.com",
                                    "-user",
                                    "john",
                                    "-davServer",
                                    url.empty() ? radicale_->url() + "/" : url};
    all.insert(all.end(), more.begin(), more.end());
    std::filesystem::create_directories(work_.path());
    ProcessOptions options;
    options.workingDirectory = work_.path();
    options.timeoutSeconds = 60;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  ScopedTempDir imapDir_, davDir_, work_;
  std::unique_ptr<Dovecot> dovecot_;
  std::unique_ptr<Radicale> radicale_;
};

TEST_F(DavAuditTest, CheckSaysWhatExistsAndVerifyComparesUids) {
  const ProcessResult before = lodemig("-check");
  EXPECT_EQ(before.exitStatus, 0) << before.out;
  EXPECT_NE(before.out.find("Info: <john@example.com> has no calendar or address book on the DAV "
                            "server: a migration creates them\n"),
            std::string::npos)
      << before.out;

  const std::string report = work_.path() + "/run.csv";
  const ProcessResult migration = lodemig("-migrate", {"-report", report});
  ASSERT_EQ(migration.exitStatus, 0) << migration.out;
  const std::string rows = readFile(report);
  EXPECT_NE(rows.find(",Calendar,"), std::string::npos) << rows;
  EXPECT_NE(rows.find(",caldav,"), std::string::npos) << rows;
  EXPECT_NE(rows.find(",carddav,"), std::string::npos) << rows;
  std::size_t items = 0;
  for (const RadicaleCollection& collection : radicale_->collections(kJohn)) {
    items += collection.items.size();
  }
  EXPECT_GE(items, 4u);

  const ProcessResult after = lodemig("-check");
  EXPECT_EQ(after.exitStatus, 0) << after.out;
  EXPECT_NE(after.out.find("\"Calendar\" (calendar)"), std::string::npos) << after.out;
  EXPECT_NE(after.out.find("\"Contacts\" (address book)"), std::string::npos) << after.out;

  const ProcessResult same = lodemig("-verify");
  EXPECT_EQ(same.exitStatus, 0) << same.out;
  EXPECT_NE(same.out.find("   - \"Calendar\", messages: 2, ok\n"), std::string::npos) << same.out;
  EXPECT_NE(same.out.find("   - \"Contacts\", messages: 2, ok\n"), std::string::npos) << same.out;

  // An item gone from the server is missing, named by its UID.
  bool removed = false;
  for (const RadicaleCollection& collection : radicale_->collections(kJohn)) {
    if (collection.tag == "VADDRESSBOOK" && !collection.items.empty()) {
      std::filesystem::remove(davDir_.path() + "/storage/collection-root/" + kJohn + "/" +
                              collection.path + "/" + collection.items.front());
      removed = true;
    }
  }
  ASSERT_TRUE(removed);
  const std::string verifyReport = work_.path() + "/verify.csv";
  const ProcessResult differs = lodemig("-verify", {"-report", verifyReport});
  EXPECT_EQ(differs.exitStatus, 1) << differs.out;
  EXPECT_NE(differs.out.find("   - \"Contacts\", messages: 2, missing\n"), std::string::npos)
      << differs.out;
  EXPECT_NE(differs.out.find("1 of 2 items are not on the DAV server: "), std::string::npos)
      << differs.out;
  EXPECT_NE(readFile(verifyReport).find(",missing,"), std::string::npos);
}

TEST_F(DavAuditTest, ARefusedLoginFailsTheCheck) {
  startRadicale("another");
  const ProcessResult check = lodemig("-check");
  EXPECT_EQ(check.exitStatus, 1) << check.out;
  EXPECT_NE(check.out.find("Warning: <john@example.com> cannot log in to the DAV server: "),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("401"), std::string::npos) << check.out;
}

TEST_F(DavAuditTest, AnUnreachableServerEndsTheRunBeforeAnyAccount) {
  // A port Radicale left: nobody listens there now.
  const std::string url = radicale_->url() + "/";
  ASSERT_TRUE(radicale_->stop());
  for (const char* run : {"-check", "-verify", "-migrate"}) {
    const ProcessResult result = lodemig(run, {}, url);
    EXPECT_EQ(result.exitStatus, 3) << run << "\n" << result.out;
    EXPECT_NE(result.out.find("Error: cannot reach the DAV server " + url), std::string::npos)
        << run << "\n"
        << result.out;
    EXPECT_EQ(result.out.find(" + mailbox <john>"), std::string::npos) << run << "\n" << result.out;
  }
}

}  // namespace
}  // namespace lodemig::testing
