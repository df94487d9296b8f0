// The IMAP client against a real server that nobody here wrote: a private
// dovecot instance on 127.0.0.1, checked afterwards with dovecot's own doveadm.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "imap/imap_gateway.h"
#include "imap/uid_response.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"
#include "tests/test_certificates.h"

namespace lodemig {
namespace {

using testing::Dovecot;

class StoredMessage : public IMessage {
 public:
  StoredMessage(std::string content, std::string flags, std::string date)
      : content_(std::move(content)), flags_(std::move(flags)), date_(std::move(date)) {}
  bool firstChunk(std::string& buffer) override {
    position_ = 0;
    return nextChunk(buffer);
  }
  bool nextChunk(std::string& buffer) override {
    buffer = content_.substr(position_, 4000);
    position_ += buffer.size();
    return !buffer.empty();
  }
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return content_.size(); }
  std::uint32_t contentSize() override { return static_cast<std::uint32_t>(content_.size()); }
  const std::string& content() const { return content_; }

 private:
  std::string content_, flags_, date_;
  std::size_t position_ = 0;
};

std::set<std::string> flagSet(const std::string& text) {
  std::set<std::string> flags;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (word != "\\Recent") {  // a fresh message is recent to doveadm's session
      flags.insert(word);
    }
  }
  return flags;
}

ConnectionSettings loopback(int port, unsigned timeoutSeconds) {
  ConnectionSettings settings;
  settings.host = "127.0.0.1";
  settings.port = port;
  settings.timeoutSeconds = timeoutSeconds;
  return settings;
}

TEST(DovecotInteropTest, LoginCreateSelectAndAppendArriveIntact) {
  if (!Dovecot::installed()) {
    GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
  }
  testing::ScopedTempDir dir;
  const Dovecot dovecot(dir);
  ASSERT_EQ(dovecot.problem(), "");

  std::string big;
  for (int line = 0; big.size() < 30000; ++line) {
    big += "line " + std::to_string(line) + " of a long body with \"quotes\" and \\ \r\n";
  }
  std::vector<StoredMessage> messages = {
      {"Subject: one\r\n\r\nfirst body\r\n", "\\Seen \\Answered ", "30-Jun-1993 21:49:08 +0000"},
      {"Subject: two\r\n\r\nno line end", "", "01-Jan-2020 00:00:01 +0000"},
      {"Subject: three\r\n\r\n" + big, "\\Flagged \\Draft \\Deleted ",
       "05-Dec-2026 03:04:05 +0000"},
  };
  const long long dates[] = {741476948, 1577836801, 1796439845};
  {
    ImapGateway gateway;
    ASSERT_EQ(gateway.connect(loopback(dovecot.port(), 10), "tester", "secret", false), kGatewayOk);
    EXPECT_EQ(gateway.createFolder("Foo Bar", 0), kGatewayOk);
    EXPECT_EQ(gateway.createFolder("Foo Bar", 0), kGatewayCreateFolderFailed);
    EXPECT_EQ(gateway.select("Nowhere"), kGatewaySelectFailed);
    EXPECT_EQ(gateway.select("Foo Bar"), kGatewayOk);
    for (StoredMessage& message : messages) {
      EXPECT_EQ(gateway.append("Foo Bar", message, false), kGatewayOk);
    }
    // The server knows no X-CHECKVERSION and says BAD; the connection goes on.
    EXPECT_FALSE(gateway.checkVersion());
    EXPECT_EQ(gateway.select("INBOX"), kGatewayOk);
    gateway.disconnect(true);
  }
  for (int uid = 1; uid <= 3; ++uid) {
    const StoredMessage& message = messages[static_cast<std::size_t>(uid - 1)];
    EXPECT_EQ(dovecot.fetch("tester", "Foo Bar", "text", uid), message.content()) << uid;
    EXPECT_EQ(flagSet(dovecot.fetch("tester", "Foo Bar", "flags", uid)), flagSet(message.flags()))
        << uid;
    EXPECT_EQ(dovecot.fetch("tester", "Foo Bar", "date.received.unixtime", uid),
              std::to_string(dates[uid - 1]));
  }

  ImapGateway cram;
  const ConnectionSettings settings = loopback(dovecot.port(), ConnectionSettings().timeoutSeconds);
  ASSERT_EQ(cram.connect(settings, "tester", "secret", true), kGatewayOk);
  std::int64_t count = -2;
  EXPECT_EQ(cram.select("Foo Bar", &count), kGatewayOk);
  EXPECT_EQ(count, 3);
  cram.disconnect(true);
  // Last: the server delays every login from an address after a refusal.
  EXPECT_EQ(cram.connect(settings, "tester", "wrong", true), kGatewayAuthenticationFailed);
}

// The same exchange over implicit TLS and over STARTTLS, the server's
// certificate checked against a CA made here.
// What identity reconciliation asks of a server: the UIDs its appends got,
// the folder's UIDNEXT, the fingerprints of what it holds from a UID on, and
// removal of exactly the messages named by UID.
TEST(DovecotInteropTest, AppendUidsFingerprintsAndExpungeByUid) {
  if (!Dovecot::installed()) {
    GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
  }
  testing::ScopedTempDir dir;
  const Dovecot dovecot(dir);
  ASSERT_EQ(dovecot.problem(), "");
  std::vector<StoredMessage> messages = {
      {"Message-ID: <one@example.com>\r\nSubject: one\r\n\r\nfirst\r\n", "\\Seen ",
       "30-Jun-1993 21:49:08 +0000"},
      {"Subject: no id\r\n\r\nsecond\r\n", "", "01-Jan-2020 00:00:01 +0000"},
      {"message-id:   <three@example.com>\r\nSubject: three\r\n\r\nthird\r\n", "\\Deleted ",
       "05-Dec-2026 03:04:05 +0000"},
  };
  const std::int64_t dates[] = {741476948, 1577836801, 1796439845};
  ImapGateway gateway;
  ASSERT_EQ(gateway.connect(loopback(dovecot.port(), 10), "tester", "secret", false), kGatewayOk);
  ASSERT_EQ(gateway.createFolder("Uid Box", 0), kGatewayOk);
  FolderUidState before;
  ASSERT_EQ(gateway.status("Uid Box", before), kGatewayOk);
  EXPECT_EQ(before.messages, 0);
  EXPECT_GT(before.uidValidity, 0u);
  const std::uint64_t firstUid = before.uidNext;
  EXPECT_GE(firstUid, 1u);
  ASSERT_TRUE(gateway.uidPlus());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    AppendAnswer answer;
    ASSERT_EQ(gateway.append("Uid Box", messages[i], false, &answer), kGatewayOk);
    EXPECT_EQ(answer.uidValidity, before.uidValidity);
    EXPECT_EQ(answer.uid, firstUid + i);
  }
  FolderUidState selected;
  ASSERT_EQ(gateway.select("Uid Box", nullptr, &selected), kGatewayOk);
  EXPECT_EQ(selected.messages, 3);
  EXPECT_EQ(selected.uidValidity, before.uidValidity);
  EXPECT_EQ(selected.uidNext, firstUid + 3);

  std::vector<MessageFingerprint> all;
  ASSERT_EQ(gateway.fetchFingerprints(0, all), kGatewayOk);
  ASSERT_EQ(all.size(), 3u);
  const char* ids[] = {"<one@example.com>", "", "<three@example.com>"};
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].uid, firstUid + i);
    EXPECT_EQ(all[i].size, messages[i].content().size());
    EXPECT_EQ(all[i].date, dates[i]);
    EXPECT_EQ(all[i].messageId, ids[i]) << i;
  }
  // From a UID on; past the last one a server's "n:*" still names the last
  // message, which must not come back.
  std::vector<MessageFingerprint> tail;
  ASSERT_EQ(gateway.fetchFingerprints(firstUid + 2, tail), kGatewayOk);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].uid, firstUid + 2);
  ASSERT_EQ(gateway.fetchFingerprints(firstUid + 3, tail), kGatewayOk);
  EXPECT_TRUE(tail.empty());

  // Only the message named goes, even with another one flagged \Deleted.
  ASSERT_EQ(gateway.expungeUids({firstUid + 1}), kGatewayOk);
  ASSERT_EQ(gateway.fetchFingerprints(0, all), kGatewayOk);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].uid, firstUid);
  EXPECT_EQ(all[1].uid, firstUid + 2);
  gateway.disconnect(true);
}

TEST(DovecotInteropTest, LoginsAndAppendsOverTlsAndStartTls) {
  if (!Dovecot::installed()) {
    GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
  }
  testing::ScopedTempDir dir;
  testing::makeDirectories(dir / "certs");
  const testing::TestCertificates certificates = testing::makeTestCertificates(dir / "certs");
  testing::DovecotOptions options;
  options.tlsCert = certificates.validCert;
  options.tlsKey = certificates.validKey;
  const Dovecot dovecot(dir, options);
  ASSERT_EQ(dovecot.problem(), "");
  std::string error;
  ostrel::ssl::TlsPolicy policy;
  policy.caFile = certificates.caFile;
  const auto context = ostrel::ssl::ClientTlsContext::create(policy, &error);
  ASSERT_NE(context, nullptr) << error;

  StoredMessage message("Subject: secret\r\n\r\nover TLS\r\n", "\\Seen ",
                        "01-Jan-2020 00:00:01 +0000");
  int uid = 0;
  for (const TlsMode mode : {TlsMode::Implicit, TlsMode::StartTls}) {
    ConnectionSettings settings =
        loopback(mode == TlsMode::Implicit ? dovecot.tlsPort() : dovecot.port(), 10);
    settings.tls = mode;
    settings.tlsContext = context;
    ImapGateway gateway;
    ASSERT_EQ(gateway.connect(settings, "tester", "secret", false), kGatewayOk)
        << gateway.connectionFailure();
    if (mode == TlsMode::Implicit) {
      EXPECT_EQ(gateway.createFolder("Foo Bar", 0), kGatewayOk);
    }
    EXPECT_EQ(gateway.select("Foo Bar"), kGatewayOk);
    EXPECT_EQ(gateway.append("Foo Bar", message, false), kGatewayOk);
    gateway.disconnect(true);
    ++uid;
    EXPECT_EQ(dovecot.fetch("tester", "Foo Bar", "text", uid), message.content());
  }
  // A CA that did not sign the server's certificate: no login is attempted.
  policy.caFile = certificates.selfSignedCert;
  ConnectionSettings wrong = loopback(dovecot.tlsPort(), 10);
  wrong.tls = TlsMode::Implicit;
  wrong.tlsContext = ostrel::ssl::ClientTlsContext::create(policy, &error);
  ImapGateway gateway;
  EXPECT_EQ(gateway.connect(wrong, "tester", "secret", false), kGatewayConnectionProblem);
  EXPECT_NE(gateway.connectionFailure().find("certificate verify failed"), std::string::npos)
      << gateway.connectionFailure();
}

}  // namespace
}  // namespace lodemig
