// Migrations over TLS and STARTTLS into the stand-in target with
// certificates made here: every check that must pass passes, every one that
// must fail fails before any login, with the reason in the log.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"
#include "tests/test_certificates.h"

namespace lodemig::testing {
namespace {

class TlsMigrationTest : public MigrationTest {
 protected:
  TlsMigrationTest() : certificates_(makeCertificates()) { inboxAccount("tom", 3); }

  TestCertificates makeCertificates() {
    makeDirectories(dir_ / "certs");
    return makeTestCertificates(dir_ / "certs");
  }

  // A target with `cert` (implicit TLS, or STARTTLS when `starttls`) and
  // `more` options, a transcript of each connection kept.
  void startTls(const std::string& cert, const std::string& key, std::vector<std::string> more) {
    transcripts_ = dir_ / ("transcripts" + std::to_string(servers_ + 1));
    makeDirectories(transcripts_);
    std::vector<std::string> arguments = {"--tls-cert", cert,           "--tls-key",
                                          key,          "--transcript", transcripts_};
    arguments.insert(arguments.end(), more.begin(), more.end());
    startServer(arguments);
  }

  // Everything the target read from its clients, decrypted.
  std::string transcripts() const {
    std::string all;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(transcripts_, error)) {
      all += readFile(entry.path().string());
    }
    return all;
  }

  std::string runLog() const { return allFiles(work_, "log"); }

  TestCertificates certificates_;
  std::string transcripts_;
};

TEST_F(TlsMigrationTest, VerifiedTlsAndStartTlsMigrate) {
  for (const bool starttls : {false, true}) {
    std::vector<std::string> more;
    if (starttls) {
      more.push_back("--starttls");
    }
    startTls(certificates_.validCert, certificates_.validKey, more);
    const std::string work = work_ + (starttls ? "/starttls" : "/tls");
    const ProcessResult run =
        migrate({starttls ? "-starttls" : "-tls", "-caFile", certificates_.caFile}, work);
    EXPECT_EQ(run.exitStatus, 0) << run.out << allFiles(work, "log");
    EXPECT_EQ(arrivedCount("tom@example.com"), 3);
    // Loopback: no word about unencrypted passwords, none needed.
    EXPECT_FALSE(contains(run.out, "Warning")) << run.out;
    if (starttls) {
      EXPECT_TRUE(contains(transcripts(), "STARTTLS\r\n"));
    }
  }
}

TEST_F(TlsMigrationTest, FailedChecksSendNoLoginAndTheLogSaysWhy) {
  struct Case {
    std::string cert, key;
    std::vector<std::string> server;  // more target options
    std::vector<std::string> client;
    std::string reason;  // in the log line
  };
  const TestCertificates& c = certificates_;
  const Case cases[] = {
      // The system's trust store does not know the test's CA.
      {c.validCert,
       c.validKey,
       {},
       {"-tls"},
       "certificate verify failed: unable to get local "
       "issuer certificate"},
      {c.otherNameCert,
       c.otherNameKey,
       {},
       {"-tls", "-caFile", c.caFile},
       "certificate verify failed: IP address mismatch"},
      {c.expiredCert,
       c.expiredKey,
       {},
       {"-tls", "-caFile", c.caFile},
       "certificate verify failed: certificate has expired"},
      {c.selfSignedCert,
       c.selfSignedKey,
       {},
       {"-tls", "-caFile", c.caFile},
       "certificate verify failed: self-signed certificate"},
      {c.expiredCert,
       c.expiredKey,
       {"--starttls"},
       {"-starttls", "-caFile", c.caFile},
       "failed after STARTTLS: certificate verify failed: certificate has expired"},
      {c.validCert,
       c.validKey,
       {"--starttls", "--no-starttls-capability"},
       {"-starttls", "-caFile", c.caFile},
       " does not offer STARTTLS"},
      {c.validCert,
       c.validKey,
       {"--starttls", "--starttls-refuse"},
       {"-starttls", "-caFile", c.caFile},
       " refused STARTTLS: "},
      // A server that speaks plain text to a TLS client.
      {c.validCert, c.validKey, {"--starttls"}, {"-tls", "-caFile", c.caFile}, "TLS handshake"},
  };
  int number = 0;
  for (const Case& test : cases) {
    startTls(test.cert, test.key, test.server);
    const std::string work = work_ + "/" + std::to_string(++number);
    const ProcessResult run = migrate(test.client, work);
    const std::string log = allFiles(work, "log");
    EXPECT_EQ(run.exitStatus, 1) << number << run.out;
    EXPECT_TRUE(contains(run.out, "Error: cannot connect to Torvane\n")) << number << run.out;
    EXPECT_TRUE(contains(log, "\nError: ") && contains(log, test.reason)) << number << log;
    const std::string received = transcripts();
    EXPECT_FALSE(contains(received, "X-MASTERAUTH")) << number << received;
  }
}

TEST_F(TlsMigrationTest, InsecureSkipsTheChecksAndSaysSoInTheLog) {
  startTls(certificates_.selfSignedCert, certificates_.selfSignedKey, {});
  const ProcessResult run = migrate({"-tls", "-insecure"});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_FALSE(contains(run.out, "-insecure")) << run.out;
  EXPECT_TRUE(contains(runLog(), "Warning: -insecure: the certificate of 127.0.0.1:" +
                                     server_->portText() + " is not checked"))
      << runLog();
  EXPECT_EQ(arrivedCount("tom@example.com"), 3);
}

TEST_F(TlsMigrationTest, PasswordFileAndPlainTextWarnings) {
  startServer();
  const std::string password = dir_ / "master.pw";
  writeFile(password, "master\r\nsecond line\n");
  ::chmod(password.c_str(), 0644);
  std::vector<std::string> all = {
      "-path",     store_,           "-migrate",          "-server",
      "127.0.0.1", "-port",          server_->portText(), "-passwordFile",
      password,    "-primaryDomain", "example.com"};
  ProcessOptions options;
  options.workingDirectory = work_;
  makeDirectories(work_);
  const ProcessResult run = runProcess(LODEMIG_BINARY, all, options);
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  const std::string warning = "Warning: password file " + password +
                              " can be read by other users: chmod 600 " + password + "\n";
  EXPECT_TRUE(contains(run.out, warning)) << run.out;
  EXPECT_TRUE(contains(runLog(), warning));
  EXPECT_EQ(arrivedCount("tom@example.com"), 3);

  // A host outside the loopback range (0.0.0.0 is never reached) is told
  // that passwords travel in the clear; the master password too came from
  // the file, now readable by its owner only.
  ::chmod(password.c_str(), 0600);
  all[4] = "0.0.0.0";
  const ProcessResult remote = runProcess(LODEMIG_BINARY, all, options);
  EXPECT_EQ(remote.exitStatus, 3);
  EXPECT_TRUE(contains(remote.out, "Warning: account passwords travel unencrypted to 0.0.0.0:" +
                                       server_->portText() + ", use -tls or -starttls\n"))
      << remote.out;
  EXPECT_FALSE(contains(remote.out, "can be read by other users"));
}

}  // namespace
}  // namespace lodemig::testing
