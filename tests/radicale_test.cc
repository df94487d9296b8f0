#include "tests/radicale.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/test_certificates.h"

namespace lodemig::testing {
namespace {

struct Answer {
  long status = 0;
  std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One request with libcurl's easy API, independent of the client under test.
Answer request(const std::string& method, const std::string& url, const std::string& login,
               const std::string& body, const std::string& caFile = std::string()) {
  Answer answer;
  CURL* curl = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Depth: 0");
  headers = curl_slist_append(headers, "Content-Type: application/xml; charset=utf-8");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl, CURLOPT_USERPWD, login.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  if (!caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  }
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

constexpr char kPrincipal[] =
    R"(<propfind xmlns="DAV:"><prop><current-user-principal/></prop></propfind>)";

class RadicaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!Radicale::available(&why)) {
      GTEST_SKIP() << why;
    }
  }

  ScopedTempDir dir_;
};

TEST_F(RadicaleTest, EachUserReachesOnlyTheirOwnCollections) {
  RadicaleOptions options;
  options.users = {{"tester", "secret"}, {"ann@example.com", "pa:ss"}};
  Radicale radicale(dir_, options);
  ASSERT_EQ(radicale.problem(), "");
  const Answer own = request("PROPFIND", radicale.url() + "/", "ann@example.com:pa:ss", kPrincipal);
  EXPECT_EQ(own.status, 207);
  EXPECT_TRUE(contains(own.body, "<href>/ann%40example.com/</href>")) << own.body;
  EXPECT_EQ(request("PROPFIND", radicale.url() + "/", "tester:wrong", kPrincipal).status, 401);
  EXPECT_EQ(
      request("PROPFIND", radicale.url() + "/ann@example.com/", "tester:secret", kPrincipal).status,
      403);
}

TEST_F(RadicaleTest, StorageShowsCollectionsAndItemsAsStored) {
  Radicale radicale(dir_);
  ASSERT_EQ(radicale.problem(), "");
  const std::string calendar =
      R"(<C:mkcalendar xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav"><D:set><D:prop>)"
      R"(<D:displayname>Archive/Calendar &#252;</D:displayname><C:supported-calendar-component-set>)"
      R"(<C:comp name="VEVENT"/><C:comp name="VTODO"/></C:supported-calendar-component-set>)"
      R"(</D:prop></D:set></C:mkcalendar>)";
  EXPECT_EQ(
      request("MKCALENDAR", radicale.url() + "/tester/cal/", "tester:secret", calendar).status,
      201);
  const std::string book =
      R"(<D:mkcol xmlns:D="DAV:" xmlns:R="urn:ietf:params:xml:ns:carddav"><D:set><D:prop>)"
      R"(<D:resourcetype><D:collection/><R:addressbook/></D:resourcetype>)"
      R"(<D:displayname>Contacts</D:displayname></D:prop></D:set></D:mkcol>)";
  EXPECT_EQ(request("MKCOL", radicale.url() + "/tester/book%20a/", "tester:secret", book).status,
            201);
  const std::string event =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//t//t//EN\r\nBEGIN:VEVENT\r\nUID:e1\r\n"
      "DTSTAMP:20200101T000000Z\r\nDTSTART:20200101T100000Z\r\nSUMMARY:x\r\nEND:VEVENT\r\n"
      "END:VCALENDAR\r\n";
  EXPECT_EQ(request("PUT", radicale.url() + "/tester/cal/e1.ics", "tester:secret", event).status,
            201);

  const std::vector<RadicaleCollection> held = radicale.collections("tester");
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].path, "book a");
  EXPECT_EQ(held[0].tag, "VADDRESSBOOK");
  EXPECT_EQ(held[0].displayName, "Contacts");
  EXPECT_TRUE(held[0].items.empty());
  EXPECT_EQ(held[1].path, "cal");
  EXPECT_EQ(held[1].tag, "VCALENDAR");
  EXPECT_EQ(held[1].displayName, "Archive/Calendar \xC3\xBC");
  EXPECT_EQ(held[1].components, "VEVENT,VTODO");
  EXPECT_EQ(held[1].items, std::vector<std::string>{"e1.ics"});
  EXPECT_TRUE(contains(radicale.item("tester", "cal", "e1.ics"), "UID:e1\r\n"));
  EXPECT_EQ(radicale.item("tester", "cal", "none.ics"), "");
  EXPECT_TRUE(radicale.collections("nobody").empty());
}

TEST_F(RadicaleTest, HttpsWithTheTestAuthority) {
  const TestCertificates certificates = makeTestCertificates(dir_.path());
  RadicaleOptions options;
  options.tlsCert = certificates.validCert;
  options.tlsKey = certificates.validKey;
  Radicale radicale(dir_, options);
  ASSERT_EQ(radicale.problem(), "");
  EXPECT_EQ(radicale.url().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_EQ(
      request("PROPFIND", radicale.url() + "/", "tester:secret", kPrincipal, certificates.caFile)
          .status,
      207);
  // Without the authority the handshake fails: no HTTP answer.
  EXPECT_EQ(request("PROPFIND", radicale.url() + "/", "tester:secret", kPrincipal).status, 0);
}

TEST_F(RadicaleTest, StopEndsTheServer) {
  Radicale radicale(dir_);
  ASSERT_EQ(radicale.problem(), "");
  ASSERT_TRUE(acceptsOnLoopback(radicale.port()));
  EXPECT_TRUE(radicale.stop());
  EXPECT_FALSE(acceptsOnLoopback(radicale.port()));
  EXPECT_TRUE(radicale.stop());
}

}  // namespace
}  // namespace lodemig::testing
