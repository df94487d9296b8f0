#include "dav/dav_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/process.h"
#include "tests/radicale.h"
#include "tests/test_certificates.h"

namespace lodemig::testing {
namespace {

DavItem calendarItem(const std::string& uid, const std::string& component,
                     const std::string& summary = "Meeting") {
  DavItem item;
  item.uid = uid;
  item.name = uid + ".ics";
  item.text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//test//EN\r\nBEGIN:" + component +
              "\r\nUID:" + uid + "\r\nDTSTAMP:20200101T000000Z\r\nDTSTART:20200102T100000Z\r\n" +
              "SUMMARY:" + summary + "\r\nEND:" + component + "\r\nEND:VCALENDAR\r\n";
  return item;
}

DavItem card(const std::string& uid) {
  DavItem item;
  item.uid = uid;
  item.name = uid + ".vcf";
  // A folded UID line: the client reads it unfolded.
  item.text = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nN:Example;Ann;;;\r\nUID:" +
              uid.substr(0, 3) + "\r\n " + uid.substr(3) + "\r\nEND:VCARD\r\n";
  return item;
}

std::vector<std::string> namesOf(std::vector<DavResource> resources, bool uids) {
  std::vector<std::string> names;
  for (const DavResource& resource : resources) {
    names.push_back(uids ? resource.name + "=" + resource.uid : resource.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The message of the DavException `call` throws, and its status.
template <typename Call>
std::string failureOf(Call call, long* status = nullptr) {
  try {
    call();
  } catch (const DavException& e) {
    if (status != nullptr) {
      *status = e.status();
    }
    return e.what();
  }
  return "no error";
}

// One Radicale for the tests of this suite, each test with its own users.
class DavClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Radicale::available()) {
      return;
    }
    dir_ = std::make_unique<ScopedTempDir>();
    RadicaleOptions options;
    options.users = {{"ann@example.com", "pa:ss word"}, {"bob", "secret"}, {"cat", "secret"}};
    radicale_ = std::make_unique<Radicale>(*dir_, options);
  }
  static void TearDownTestSuite() {
    radicale_.reset();
    dir_.reset();
  }
  void SetUp() override {
    std::string why;
    if (!Radicale::available(&why)) {
      GTEST_SKIP() << why;
    }
    ASSERT_EQ(radicale_->problem(), "");
    initDavClients();
  }
  static DavSettings settings(const std::string& path = "") {
    DavSettings settings;
    settings.url = radicale_->url() + path;
    settings.timeoutSeconds = 20;
    return settings;
  }

  static std::unique_ptr<ScopedTempDir> dir_;
  static std::unique_ptr<Radicale> radicale_;
};

std::unique_ptr<ScopedTempDir> DavClientTest::dir_;
std::unique_ptr<Radicale> DavClientTest::radicale_;

TEST_F(DavClientTest, DiscoversFromTheRootAndFromThePrincipal) {
  DavClient root(settings(), "ann@example.com", "pa:ss word");
  EXPECT_EQ(root.login(), "ann@example.com");
  EXPECT_TRUE(root.collections().empty());
  const DavCollection made = root.ensureCollection("Calendar", DavKind::Calendar, {"VEVENT"});
  EXPECT_EQ(made.href, "/ann%40example.com/Calendar/");

  DavClient principal(settings("/ann%40example.com/"), "ann@example.com", "pa:ss word");
  const std::vector<DavCollection> seen = principal.collections();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].href, made.href);
  EXPECT_EQ(seen[0].displayName, "Calendar");
  EXPECT_EQ(seen[0].kind, DavKind::Calendar);
}

TEST_F(DavClientTest, EnsureCollectionMakesEachOnceAtAFreePath) {
  DavClient client(settings("/"), "bob", "secret");
  const std::string name = "Archive/Calendar <2007> & \xC3\xBC";
  const DavCollection first = client.ensureCollection(name, DavKind::Calendar, {"VEVENT", "VTODO"});
  const DavCollection again = client.ensureCollection(name, DavKind::Calendar, {"VEVENT"});
  EXPECT_EQ(again.href, first.href);
  EXPECT_EQ(first.href, "/bob/Archive-Calendar%20%3C2007%3E%20%26%20%C3%BC/");
  const DavCollection book = client.ensureCollection("Tasks", DavKind::AddressBook, {});
  // The same name as a calendar: another collection, beside the address book.
  const DavCollection tasks = client.ensureCollection("Tasks", DavKind::Calendar, {"VTODO"});
  EXPECT_EQ(book.href, "/bob/Tasks/");
  EXPECT_EQ(tasks.href, "/bob/Tasks-2/");

  const std::vector<RadicaleCollection> held = radicale_->collections("bob");
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0].displayName, name);
  EXPECT_EQ(held[0].tag, "VCALENDAR");
  EXPECT_EQ(held[0].components, "VEVENT,VTODO");
  EXPECT_EQ(held[1].path, "Tasks");
  EXPECT_EQ(held[1].tag, "VADDRESSBOOK");
  EXPECT_EQ(held[2].path, "Tasks-2");
  EXPECT_EQ(held[2].components, "VTODO");
  EXPECT_EQ(client.collections().size(), 3u);
}

TEST_F(DavClientTest, PutOnceThenExistsAndReplaceWritesOver) {
  DavClient client(settings(), "cat", "secret");
  const DavCollection calendar =
      client.ensureCollection("Calendar", DavKind::Calendar, {"VEVENT", "VTODO"});
  const DavCollection contacts = client.ensureCollection("Contacts", DavKind::AddressBook, {});
  EXPECT_TRUE(client.list(calendar).empty());
  EXPECT_EQ(client.put(calendar, calendarItem("ev-1", "VEVENT")), DavPutResult::Created);
  EXPECT_EQ(client.put(calendar, calendarItem("todo@2", "VTODO")), DavPutResult::Created);
  EXPECT_EQ(client.put(calendar, calendarItem("ev-1", "VEVENT", "Other")), DavPutResult::Exists);
  EXPECT_TRUE(contains(radicale_->item("cat", "Calendar", "ev-1.ics"), "SUMMARY:Meeting\r\n"));
  EXPECT_EQ(client.put(calendar, calendarItem("ev-1", "VEVENT", "Moved"), true),
            DavPutResult::Replaced);
  EXPECT_TRUE(contains(radicale_->item("cat", "Calendar", "ev-1.ics"), "SUMMARY:Moved\r\n"));
  EXPECT_EQ(client.put(contacts, card("card-1")), DavPutResult::Created);

  EXPECT_EQ(namesOf(client.list(calendar), false),
            (std::vector<std::string>{"ev-1.ics", "todo@2.ics"}));
  const std::vector<DavResource> listed = client.list(calendar);
  EXPECT_FALSE(listed[0].etag.empty());
  EXPECT_EQ(namesOf(client.resources(calendar), true),
            (std::vector<std::string>{"ev-1.ics=ev-1", "todo@2.ics=todo@2"}));
  EXPECT_EQ(namesOf(client.resources(contacts), true),
            (std::vector<std::string>{"card-1.vcf=card-1"}));
  EXPECT_EQ(radicale_->collections("cat")[0].items,
            (std::vector<std::string>{"ev-1.ics", "todo@2.ics"}));
}

TEST_F(DavClientTest, RefusedItemNamesTheRequestAndTheServersReason) {
  DavClient client(settings(), "cat", "secret");
  const DavCollection calendar = client.ensureCollection("Calendar", DavKind::Calendar, {});
  DavItem broken = calendarItem("broken", "VEVENT");
  broken.text = "BEGIN:VCALENDAR\r\nno end";
  long status = 0;
  const std::string message = failureOf([&] { client.put(calendar, broken); }, &status);
  EXPECT_EQ(status, 400);
  EXPECT_EQ(
      message.rfind("PUT " + radicale_->url() + "/cat/Calendar/broken.ics: 400 Bad Request", 0), 0u)
      << message;
}

TEST_F(DavClientTest, WrongPasswordIs401NamingTheUrlButNotThePassword) {
  DavClient client(settings("/bob/"), "bob", "not-the-secret");
  long status = 0;
  const std::string message = failureOf([&] { client.collections(); }, &status);
  EXPECT_EQ(status, 401);
  EXPECT_EQ(message.rfind("PROPFIND " + radicale_->url() + "/bob/: 401 Unauthorized", 0), 0u)
      << message;
  EXPECT_FALSE(contains(message, "not-the-secret"));
}

TEST(DavClientTransportTest, ClosedPortHasNoStatus) {
  initDavClients();
  DavSettings settings;
  const std::string origin = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
  settings.url = origin;
  DavClient client(settings, "u", "p");
  long status = -1;
  const std::string message = failureOf([&] { client.discover(); }, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(message.rfind("PROPFIND " + origin + "/.well-known/caldav: ", 0), 0u) << message;
  EXPECT_TRUE(contains(message, "Couldn't connect to server")) << message;
}

TEST(DavClientTransportTest, UrlMustBeHttp) {
  DavSettings settings;
  settings.url = "ftp://127.0.0.1/";
  EXPECT_EQ(failureOf([&] { DavClient client(settings, "u", "p"); }),
            "not an http:// or https:// URL: ftp://127.0.0.1/");
}

TEST(DavClientTlsTest, CertificatesCheckedAgainstTheCaFileOrNotAtAll) {
  std::string why;
  if (!Radicale::available(&why)) {
    GTEST_SKIP() << why;
  }
  initDavClients();
  ScopedTempDir dir;
  const TestCertificates certificates = makeTestCertificates(dir.path());
  RadicaleOptions options;
  options.tlsCert = certificates.validCert;
  options.tlsKey = certificates.validKey;
  Radicale radicale(dir, options);
  ASSERT_EQ(radicale.problem(), "");
  DavSettings settings;
  settings.url = radicale.url();
  long status = -1;
  const std::string message =
      failureOf([&] { DavClient(settings, "tester", "secret").discover(); }, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(contains(message, "certificate")) << message;
  settings.caFile = certificates.caFile;
  EXPECT_EQ(failureOf([&] { DavClient(settings, "tester", "secret").collections(); }), "no error");
  settings.caFile.clear();
  settings.insecure = true;
  EXPECT_EQ(failureOf([&] { DavClient(settings, "tester", "secret").collections(); }), "no error");
}

}  // namespace
}  // namespace lodemig::testing
