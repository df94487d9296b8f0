// Migrations with -compress: into the stand-in target that speaks
// COMPRESS=DEFLATE (plain, TLS, STARTTLS, after a reconnection), into one
// that does not offer it, and into a private dovecot with its zlib plugins.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/dovecot.h"
#include "tests/migration_fixture.h"
#include "tests/test_certificates.h"

namespace lodemig::testing {
namespace {

constexpr char kDeclined[] =
    " does not offer COMPRESS=DEFLATE: the connections are not compressed\n";

class CompressTest : public MigrationTest {
 protected:
  CompressTest() {
    // Past the size from which a message is sent straight from its file.
    std::string big;
    for (int line = 0; big.size() < 200 * 1024; ++line) {
      big += "Line " + std::to_string(line * 7919 % 10007) + " of a long text body\r\n";
    }
    contents_ = {"Subject: one\r\n\r\nfirst\r\n", "Subject: big\r\n\r\n" + big,
                 "Subject: three\r\n\r\nno line end", "Subject: four\r\n\r\n\r\n"};
    std::vector<MailboxMessage> list;
    for (std::size_t i = 0; i < contents_.size(); ++i) {
      list.push_back({"S", std::to_string(i + 1), "Wed Jun 30 21:49:08 1993", contents_[i]});
    }
    builder_.account("", "tom", AccountDirectory)
        .settings("{ Password = pwtom; }")
        .info("{ INBOX = { Messages = #4; }; }");
    builder_.mailboxFile("", "tom", "INBOX", list);
    inboxAccount("ann", 3);
  }

  // A target with `more` options and a transcript of each connection.
  void start(std::vector<std::string> more) {
    transcripts_ = dir_ / ("transcripts" + std::to_string(servers_ + 1));
    makeDirectories(transcripts_);
    more.insert(more.end(), {"--transcript", transcripts_});
    startServer(more);
  }

  // Everything the target read from its clients, inflated and decrypted.
  std::string transcripts() const {
    std::string all;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(transcripts_, error)) {
      all += readFile(entry.path().string());
    }
    return all;
  }

  // The run succeeded and both accounts hold exactly what the store has.
  void expectEverythingArrived(const ProcessResult& run, const std::string& work) {
    ASSERT_EQ(run.exitStatus, 0) << run.out << allFiles(work, "log");
    std::vector<std::string> tom;
    for (const Stored& message : storedMessages("tom@example.com")) {
      tom.push_back(message.content);
    }
    EXPECT_EQ(tom, contents_);
    std::vector<Stored> ann = storedMessages("ann@example.com");
    ASSERT_EQ(ann.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(ann[i], inboxMessage("ann", i + 1));
    }
  }

  std::vector<std::string> contents_;
  std::string transcripts_;
};

TEST_F(CompressTest, CompressedRunsStoreEveryByteWithAnyWindow) {
  for (const char* window : {"1", "8"}) {
    start({"--compress"});
    const std::string work = work_ + "/window" + window;
    expectEverythingArrived(migrate({"-compress", "-window", window}, work), work);
    const std::string sent = transcripts();
    // Every connection logged in, then switched; what followed was read
    // inflated, or nothing would have arrived.
    EXPECT_GE(countOf(sent, "COMPRESS DEFLATE\r\n"), 1) << window;
    EXPECT_EQ(countOf(sent, "COMPRESS DEFLATE\r\n"), countOf(sent, "X-MASTERAUTH\r\n"));
    EXPECT_FALSE(contains(allFiles(work, "log"), kDeclined));
  }
}

TEST_F(CompressTest, WithoutTheOptionNothingAsksForIt) {
  start({"--compress"});
  expectEverythingArrived(migrate(), work_);
  EXPECT_FALSE(contains(transcripts(), "COMPRESS")) << transcripts();
  EXPECT_FALSE(contains(transcripts(), "CAPABILITY"));
}

TEST_F(CompressTest, ServerWithoutItIsUsedPlainAndTheLogSaysSoOnce) {
  start({});
  const ProcessResult run = migrate({"-compress"});
  expectEverythingArrived(run, work_);
  const std::string log = allFiles(work_, "log");
  EXPECT_EQ(countOf(log, "Info: 127.0.0.1:" + server_->portText() + kDeclined), 1) << log;
  // The console says nothing of it.
  EXPECT_FALSE(contains(run.out, "COMPRESS")) << run.out;
  EXPECT_FALSE(contains(transcripts(), "COMPRESS"));
  EXPECT_GE(countOf(transcripts(), "X-MASTERAUTH\r\n"), 2);
}

TEST_F(CompressTest, ReconnectionSwitchesItOnAgain) {
  start({"--compress", "--drop-append", "2"});
  expectEverythingArrived(migrate({"-compress", "-retry", "1"}), work_);
  const std::string sent = transcripts();
  EXPECT_EQ(countOf(sent, "COMPRESS DEFLATE\r\n"), countOf(sent, "X-MASTERAUTH\r\n"));
  EXPECT_GE(countOf(sent, "COMPRESS DEFLATE\r\n"), 3);
}

TEST_F(CompressTest, CompressionRunsInsideTlsAndStartTls) {
  makeDirectories(dir_ / "certs");
  const TestCertificates certificates = makeTestCertificates(dir_ / "certs");
  for (const bool starttls : {false, true}) {
    std::vector<std::string> more = {"--compress", "--tls-cert", certificates.validCert,
                                     "--tls-key", certificates.validKey};
    if (starttls) {
      more.push_back("--starttls");
    }
    start(more);
    const std::string work = work_ + (starttls ? "/starttls" : "/tls");
    expectEverythingArrived(
        migrate({starttls ? "-starttls" : "-tls", "-caFile", certificates.caFile, "-compress"},
                work),
        work);
    EXPECT_GE(countOf(transcripts(), "COMPRESS DEFLATE\r\n"), 1) << starttls;
  }
}

TEST_F(CompressTest, DovecotWithZlibStoresEveryByte) {
  if (!Dovecot::installed()) {
    GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
  }
  ScopedTempDir home;
  DovecotOptions options;
  options.users = {{"tom@example.com", "x"}, {"ann@example.com", "x"}};
  options.masterUser = "admin";
  options.masterPassword = "masterpw";
  options.compress = true;
  const Dovecot dovecot(home, options);
  ASSERT_EQ(dovecot.problem(), "");
  makeDirectories(work_);
  ProcessOptions inWork;
  inWork.workingDirectory = work_;
  const ProcessResult run =
      runProcess(LODEMIG_BINARY,
                 {"-path", store_, "-migrate", "-server", "127.0.0.1", "-port",
                  std::to_string(dovecot.port()), "-password", "masterpw", "-targetType", "imap",
                  "-admin", "admin", "-primaryDomain", "example.com", "-compress", "-window", "4"},
                 inWork);
  ASSERT_EQ(run.exitStatus, 0) << run.out << allFiles(work_, "log");
  // Offered and taken: a refusal or its absence would be in the log.
  EXPECT_FALSE(contains(allFiles(work_, "log"), kDeclined));
  for (std::size_t i = 0; i < contents_.size(); ++i) {
    EXPECT_EQ(dovecot.fetch("tom@example.com", "INBOX", "text", static_cast<int>(i + 1)),
              contents_[i])
        << i;
  }
  EXPECT_EQ(dovecot.fetch("ann@example.com", "INBOX", "text", 3), inboxMessage("ann", 3).content);
}

}  // namespace
}  // namespace lodemig::testing
