#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "target/line_client.h"
#include "target/target_server.h"
#include "tests/temp_dir.h"
#include "tests/test_certificates.h"
#include "utils/ql_exception.h"

namespace lodemig::target {
namespace {

using lodemig::testing::readFile;

constexpr char kGreeting[] = "* OK lodemig-target IMAP4rev1 server ready\r\n";
constexpr char kCapability[] =
    "* CAPABILITY IMAP4rev1 LITERAL+ AUTH=CRAM-MD5 X-MASTERAUTH X-CHECKVERSION X-CREATEUSER "
    "X-SETUSER X-APPEND UIDPLUS";

// The stand-in server in this process, with the test certificate signed by
// the test CA; the clients verify it for 127.0.0.1.
class TlsTest : public ::testing::Test {
 protected:
  void start(TargetOptions options = TargetOptions(), bool certificate = true) {
    options.port = 0;
    if (certificate) {
      options.tlsCertificate = files_.validCert;
      options.tlsKey = files_.validKey;
    }
    options.transcriptDirectory = dir_ / "transcripts";
    options.accounts.push_back({"tim@example.com", "secret"});
    server_ = std::make_unique<TargetServer>(options);
    server_->start();
    runner_ = std::thread([this] { server_->run(); });
  }

  void TearDown() override {
    if (server_ != nullptr) {
      server_->stop();
      runner_.join();
    }
  }

  // A client past the handshake (when `tls`) and the greeting.
  std::unique_ptr<LineClient> connect(bool tls) {
    auto client = std::make_unique<LineClient>(server_->port());
    EXPECT_TRUE(client->connected());
    if (tls) {
      EXPECT_TRUE(client->startTls(files_.caFile, "127.0.0.1")) << client->tlsError();
    }
    EXPECT_EQ(kGreeting, client->readLine());
    return client;
  }

  // STARTTLS answered OK, then the handshake.
  void startTls(LineClient& client) {
    EXPECT_EQ("S OK Begin TLS negotiation now\r\n", client.exchange("S STARTTLS\r\n", "S"));
    EXPECT_TRUE(client.startTls(files_.caFile, "127.0.0.1")) << client.tlsError();
  }

  static TargetOptions starttls() {
    TargetOptions options;
    options.starttls = true;
    return options;
  }

  testing::ScopedTempDir dir_;
  const testing::TestCertificates files_ = testing::makeTestCertificates(dir_.path());
  std::unique_ptr<TargetServer> server_;
  std::thread runner_;
};

TEST_F(TlsTest, ImplicitTlsServesTheWholeSessionAndTheTranscriptHasThePlainBytes) {
  start();
  auto client = connect(true);
  EXPECT_EQ(std::string(kCapability) + "\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  EXPECT_EQ("S BAD TLS is already active\r\n", client->exchange("S STARTTLS\r\n", "S"));
  EXPECT_EQ("* BYE lodemig-target logging out\r\nL OK LOGOUT completed\r\n",
            client->exchange("L LOGOUT\r\n", "L"));
  EXPECT_TRUE(client->closedByServer());
  EXPECT_EQ("C CAPABILITY\r\nS STARTTLS\r\nL LOGOUT\r\n",
            readFile(dir_ / "transcripts/conn-1.txt"));
}

TEST_F(TlsTest, PlainClientOfATlsPortGetsNoGreetingAndTheServerGoesOn) {
  start();
  LineClient plain(server_->port());
  ASSERT_TRUE(plain.send("A CAPABILITY\r\n"));
  std::string heard;
  for (int i = 0; i < 10 && !plain.closedByServer(); ++i) {
    heard += plain.readLine();
  }
  EXPECT_EQ(std::string::npos, heard.find("OK")) << heard;
  EXPECT_EQ("N OK NOOP completed\r\n", connect(true)->exchange("N NOOP\r\n", "N"));
}

TEST_F(TlsTest, StarttlsSwitchesTheConnectionAndDropsPlaintextSentWithIt) {
  start(starttls());
  auto client = connect(false);
  EXPECT_EQ(std::string(kCapability) + " STARTTLS\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  // In one packet with the command: a LOGIN slipped in by someone on the way.
  ASSERT_TRUE(client->send("S STARTTLS\r\nX LOGIN tim@example.com secret\r\n"));
  EXPECT_EQ("S OK Begin TLS negotiation now\r\n", client->readLine());
  ASSERT_TRUE(client->startTls(files_.caFile, "127.0.0.1")) << client->tlsError();
  EXPECT_EQ("Y BAD Not authenticated\r\n", client->exchange("Y SELECT INBOX\r\n", "Y"));
  EXPECT_EQ(std::string(kCapability) + "\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  EXPECT_EQ("S BAD TLS is already active\r\n", client->exchange("S STARTTLS\r\n", "S"));
  EXPECT_EQ("L OK LOGIN completed\r\n",
            client->exchange("L LOGIN tim@example.com secret\r\n", "L"));
}

TEST_F(TlsTest, StarttlsIsRefusedWithArgumentsAndAfterLogin) {
  start(starttls());
  auto client = connect(false);
  EXPECT_EQ("S BAD STARTTLS takes no arguments\r\n", client->exchange("S STARTTLS now\r\n", "S"));
  EXPECT_EQ("L OK LOGIN completed\r\n",
            client->exchange("L LOGIN tim@example.com secret\r\n", "L"));
  EXPECT_EQ("S BAD Already authenticated\r\n", client->exchange("S STARTTLS\r\n", "S"));
}

TEST_F(TlsTest, WithoutACertificateStarttlsIsUnknownAndNotOffered) {
  start(TargetOptions(), false);
  auto client = connect(false);
  EXPECT_EQ(std::string(kCapability) + "\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  EXPECT_EQ("S BAD Unknown command\r\n", client->exchange("S STARTTLS\r\n", "S"));
}

TEST_F(TlsTest, StarttlsRefuseOffersItButAnswersNo) {
  TargetOptions options = starttls();
  options.starttlsRefuse = true;
  start(options);
  auto client = connect(false);
  EXPECT_EQ(std::string(kCapability) + " STARTTLS\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  EXPECT_EQ("S NO STARTTLS refused\r\n", client->exchange("S STARTTLS\r\n", "S"));
  EXPECT_EQ("N OK NOOP completed\r\n", client->exchange("N NOOP\r\n", "N"));
}

TEST_F(TlsTest, NoStarttlsCapabilityHidesItButTakesIt) {
  TargetOptions options = starttls();
  options.noStarttlsCapability = true;
  start(options);
  auto client = connect(false);
  EXPECT_EQ(std::string(kCapability) + "\r\nC OK CAPABILITY completed\r\n",
            client->exchange("C CAPABILITY\r\n", "C"));
  startTls(*client);
  EXPECT_EQ("N OK NOOP completed\r\n", client->exchange("N NOOP\r\n", "N"));
}

TEST_F(TlsTest, UnusableCertificateOrKeyStopsTheServerFromStarting) {
  TargetOptions options;
  options.tlsCertificate = files_.validCert;
  options.tlsKey = files_.expiredKey;
  options.storeDirectory = dir_ / "store";
  try {
    TargetServer server(options);
    ADD_FAILURE() << "started with the wrong key";
  } catch (const QLException& e) {
    EXPECT_EQ("cannot use TLS key " + files_.expiredKey + ": key values mismatch",
              std::string(e.what()));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "store"));
}

}  // namespace
}  // namespace lodemig::target
