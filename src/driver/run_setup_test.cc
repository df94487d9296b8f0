#include "driver/run_setup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "driver/run.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using testing::ScopedTempDir;
using testing::writeFile;

class PasswordFileTest : public ::testing::Test {
 protected:
  // The file "pw" holding `content`, with permissions `mode`.
  PasswordFileContent read(const std::string& content, mode_t mode = 0600) {
    writeFile(path_, content);
    EXPECT_EQ(::chmod(path_.c_str(), mode), 0);
    return readPasswordFile(path_);
  }

  ScopedTempDir dir_;
  const std::string path_ = dir_ / "pw";
};

TEST_F(PasswordFileTest, FirstLineWithoutItsLineEnd) {
  const std::pair<const char*, const char*> cases[] = {
      {"secret\n", "secret"},
      {"secret", "secret"},
      {"secret\r\n", "secret"},
      {"secret\nsecond\n", "secret"},
      {" spaced out \n", " spaced out "},
      {"two\r\r\n", "two\r"},
  };
  for (const auto& [content, password] : cases) {
    const PasswordFileContent read = this->read(content);
    EXPECT_EQ(read.password, password) << ::testing::PrintToString(std::string(content));
    EXPECT_EQ(read.refusal, "");
    EXPECT_EQ(read.warning, "");
  }
}

TEST_F(PasswordFileTest, EmptyFirstLineIsRefused) {
  const std::string refusal =
      "Argument error: password file " + path_ + " has no password on its first line\n";
  for (const char* content : {"\n", "\r\n", "\nsecret\n"}) {
    const PasswordFileContent read = this->read(content);
    EXPECT_EQ(read.refusal, refusal) << ::testing::PrintToString(std::string(content));
    EXPECT_EQ(read.password, "");
  }
}

TEST_F(PasswordFileTest, FileThatCannotBeReadIsRefused) {
  EXPECT_EQ(read("").refusal, "Argument error: cannot read password file " + path_ + "\n");
  const std::string missing = dir_ / "missing";
  EXPECT_EQ(readPasswordFile(missing).refusal,
            "Argument error: cannot read password file " + missing + "\n");
  EXPECT_EQ(readPasswordFile(dir_.path()).refusal,
            "Argument error: cannot read password file " + dir_.path() + "\n");
}

TEST_F(PasswordFileTest, FileOthersMayReadIsWarnedAbout) {
  const std::string warning =
      "Warning: password file " + path_ + " can be read by other users: chmod 600 " + path_ + "\n";
  EXPECT_EQ(read("secret\n", 0644).warning, warning);
  EXPECT_EQ(read("secret\n", 0640).warning, warning);
  EXPECT_EQ(read("secret\n", 0604).warning, warning);
  EXPECT_EQ(read("secret\n", 0400).warning, "");
  EXPECT_EQ(read("secret\n", 0620).warning, "");
  EXPECT_EQ(read("secret\n", 0644).password, "secret");
}

class TlsSetUpTest : public ::testing::Test {
 protected:
  TlsSetUpTest() { options_.migrate = true; }

  TlsRefusal setUp(const std::string& host, bool tls) {
    options_.tls = tls;
    options_.server = host;
    connection_ = connectionSettingsFrom(options_);
    return setUpTls(options_, connection_, warnings_);
  }

  RunOptions options_;
  ConnectionSettings connection_;
  SafetyWarnings warnings_;
};

TEST_F(TlsSetUpTest, PlainMigrationWarnsUnlessOnLoopback) {
  EXPECT_EQ(setUp("192.0.2.1", false).text, "");
  ASSERT_EQ(warnings_.printed.size(), 1u);
  EXPECT_EQ(warnings_.printed[0],
            "Warning: account passwords travel unencrypted to 192.0.2.1:143, use -tls or "
            "-starttls\n");
  warnings_ = SafetyWarnings();
  for (const char* loopback : {"127.0.0.1", "127.1.2.3", "::1"}) {
    EXPECT_EQ(setUp(loopback, false).text, "");
  }
  EXPECT_TRUE(warnings_.printed.empty());
  // A check sends no account password.
  options_.migrate = false;
  options_.check = true;
  EXPECT_EQ(setUp("192.0.2.1", false).text, "");
  EXPECT_TRUE(warnings_.printed.empty());
  EXPECT_TRUE(warnings_.logged.empty());
  EXPECT_EQ(connection_.tlsContext, nullptr);
}

TEST_F(TlsSetUpTest, InsecureTlsIsLoggedNotPrinted) {
  options_.insecure = true;
  EXPECT_EQ(setUp("192.0.2.1", true).text, "");
  EXPECT_NE(connection_.tlsContext, nullptr);
  EXPECT_TRUE(warnings_.printed.empty());
  ASSERT_EQ(warnings_.logged.size(), 1u);
  EXPECT_EQ(warnings_.logged[0],
            "Warning: -insecure: the certificate of 192.0.2.1:993 is not checked, anyone "
            "on the way may read the passwords\n");
}

TEST_F(TlsSetUpTest, CaFileThatCannotBeUsedIsAnArgumentError) {
  ScopedTempDir dir;
  options_.caFile = dir / "missing.pem";
  const TlsRefusal refusal = setUp("192.0.2.1", true);
  const std::string prefix = "Argument error: cannot use CA file " + options_.caFile + ": ";
  EXPECT_EQ(refusal.text.substr(0, prefix.size()), prefix);
  EXPECT_GT(refusal.text.size(), prefix.size() + 1);
  EXPECT_EQ(refusal.text.back(), '\n');
  EXPECT_EQ(refusal.exitStatus, kExitArgumentError);
  EXPECT_EQ(connection_.tlsContext, nullptr);
}

TEST(RunFilesTest, StemNamesStartTimeAndShard) {
  const std::time_t start = 1700000000;
  MigrationSettings settings;
  EXPECT_EQ(runFileStem(settings, start), "./lodemig_" + startTimestamp(start));
  settings.shard = 2;
  settings.shards = 5;
  EXPECT_EQ(runFileStem(settings, start), "./lodemig_" + startTimestamp(start) + "_shard-2-of-5");
}

TEST(RunFilesTest, JournalHeaderNamesTheStoreAbsolutely) {
  ScopedTempDir dir;
  testing::makeDirectories(dir / "store");
  ConnectionSettings connection;
  connection.host = "mail.example.com";
  connection.port = 143;
  MigrationSettings settings;
  settings.storePath = dir / "store/../store";
  EXPECT_EQ(journalStoreFor(settings), std::filesystem::canonical(dir / "store").string());
  EXPECT_EQ(journalTargetFor(connection), "mail.example.com:143");
}

}  // namespace
}  // namespace lodemig
