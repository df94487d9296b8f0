#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "target/line_client.h"
#include "tests/process.h"
#include "tests/temp_dir.h"
#include "tests/test_certificates.h"

namespace lodemig::target {
namespace {

using lodemig::testing::ProcessResult;
using lodemig::testing::runProcess;
using lodemig::testing::TargetServer;

TEST(TargetMainTest, PrintsThePortFirstAndTheSummaryAfterSigterm) {
  lodemig::testing::ScopedTempDir dir;
  // The helper takes the port only from a first line that is a bare number.
  TargetServer target(LODEMIG_TARGET_BINARY,
                      {"--store", dir.path(), "--account", "bob@example.org:secret"});
  ASSERT_GT(target.port(), 0);

  LineClient client(static_cast<std::uint16_t>(target.port()));
  EXPECT_EQ("* OK lodemig-target IMAP4rev1 server ready\r\n", client.readLine());
  EXPECT_EQ("A OK LOGIN completed\r\n",
            client.exchange("A LOGIN \"bob@example.org\" \"secret\"\r\n", "A"));
  EXPECT_EQ("B OK [APPENDUID 1 1] APPEND completed\r\n",
            client.exchange("B APPEND INBOX {5+}\r\nhello\r\n", "B"));

  EXPECT_EQ("accounts: 1 folders: 1 messages: 1 bytes: 5 digest: ceabc322dd311ec0\n",
            target.stop(SIGTERM));
  EXPECT_EQ(0, target.exitStatus());
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ("hello",
            lodemig::testing::readFile(dir / "accounts/bob@example.org/messages/000001.eml"));
}

TEST(TargetMainTest, SigintStopsAsWell) {
  TargetServer target(LODEMIG_TARGET_BINARY, {});
  ASSERT_GT(target.port(), 0);
  EXPECT_EQ("accounts: 0 folders: 0 messages: 0 bytes: 0 digest: ef46db3751d8e999\n",
            target.stop(SIGINT));
  EXPECT_EQ(0, target.exitStatus());
}

TEST(TargetMainTest, HelpVersionArgumentErrorsAndPortInUse) {
  ProcessResult help = runProcess(LODEMIG_TARGET_BINARY, {"--help"});
  EXPECT_EQ("Usage: lodemig-target [options]\n", help.out.substr(0, help.out.find('\n') + 1));
  EXPECT_EQ(0, help.exitStatus);

  ProcessResult version = runProcess(LODEMIG_TARGET_BINARY, {"--port", "0", "--version"});
  EXPECT_EQ("lodemig-target 1.0.0-R1-1\n", version.out);
  EXPECT_EQ("", version.err);
  EXPECT_EQ(0, version.exitStatus);

  ProcessResult bogus = runProcess(LODEMIG_TARGET_BINARY, {"--port", "0", "--bogus"});
  EXPECT_EQ(2, bogus.exitStatus);
  EXPECT_EQ("lodemig-target: unknown option: --bogus\nTry 'lodemig-target --help'.\n", bogus.err);
  EXPECT_EQ("", bogus.out);

  TargetServer first(LODEMIG_TARGET_BINARY, {});
  ASSERT_GT(first.port(), 0);
  ProcessResult second = runProcess(LODEMIG_TARGET_BINARY, {"--port", first.portText()});
  EXPECT_EQ(1, second.exitStatus);
  EXPECT_EQ("lodemig-target: cannot listen on 127.0.0.1 port " + first.portText() +
                ": Address already in use\n",
            second.err);
}

TEST(TargetMainTest, ServesTlsWithTheCertificateGivenAndRefusesToStartWithABadOne) {
  lodemig::testing::ScopedTempDir dir;
  const lodemig::testing::TestCertificates files =
      lodemig::testing::makeTestCertificates(dir.path());
  TargetServer target(LODEMIG_TARGET_BINARY,
                      {"--tls-cert", files.validCert, "--tls-key", files.validKey});
  ASSERT_GT(target.port(), 0);
  LineClient client(static_cast<std::uint16_t>(target.port()));
  ASSERT_TRUE(client.startTls(files.caFile, "localhost")) << client.tlsError();
  EXPECT_EQ("* OK lodemig-target IMAP4rev1 server ready\r\n", client.readLine());
  EXPECT_EQ("* BYE lodemig-target logging out\r\nA OK LOGOUT completed\r\n",
            client.exchange("A LOGOUT\r\n", "A"));
  EXPECT_EQ("accounts: 0 folders: 0 messages: 0 bytes: 0 digest: ef46db3751d8e999\n",
            target.stop(SIGTERM));

  ProcessResult bad =
      runProcess(LODEMIG_TARGET_BINARY,
                 {"--port", "0", "--tls-cert", dir / "none.pem", "--tls-key", files.validKey});
  EXPECT_EQ(1, bad.exitStatus);
  EXPECT_EQ("lodemig-target: cannot use TLS certificate " + dir / "none.pem" +
                ": No such file or directory\n",
            bad.err);
  ProcessResult half = runProcess(LODEMIG_TARGET_BINARY, {"--starttls"});
  EXPECT_EQ(2, half.exitStatus);
  EXPECT_EQ(
      "lodemig-target: --starttls needs --tls-cert and --tls-key\n"
      "Try 'lodemig-target --help'.\n",
      half.err);
}

}  // namespace
}  // namespace lodemig::target
