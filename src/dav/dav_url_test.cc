#include "dav/dav_url.h"

#include <gtest/gtest.h>

#include <string>

namespace lodemig {
namespace {

std::string parsed(const std::string& text) {
  DavUrl url;
  if (!parseDavUrl(text, url)) {
    return "refused";
  }
  return url.scheme + "|" + url.host + "|" + url.port + "|" + url.path;
}

std::string resolved(const std::string& base, const std::string& href) {
  DavUrl from, to;
  EXPECT_TRUE(parseDavUrl(base, from)) << base;
  return resolveHref(from, href, to) ? to.text() : "refused";
}

TEST(DavUrlTest, ParsesOnlyHttpAndDropsCredentials) {
  EXPECT_EQ(parsed("http://127.0.0.1:5232"), "http|127.0.0.1|5232|");
  EXPECT_EQ(parsed("HTTPS://Dav.Example.com/dav/"), "https|Dav.Example.com||/dav/");
  EXPECT_EQ(parsed("https://user:pw@host/p?q=1#f"), "https|host||/p");
  EXPECT_EQ(parsed("http://[::1]:8080/x"), "http|[::1]|8080|/x");
  EXPECT_EQ(parsed("http://[::1]/x"), "http|[::1]||/x");
  EXPECT_EQ(parsed("ftp://host/"), "refused");
  EXPECT_EQ(parsed("host:5232"), "refused");
  EXPECT_EQ(parsed("http:///path"), "refused");
  EXPECT_EQ(parsed("http://host:port/"), "refused");
}

TEST(DavUrlTest, HrefsResolveAgainstTheRequest) {
  const std::string base = "https://h:8443/dav/u/cal/";
  EXPECT_EQ(resolved(base, "/dav/u/"), "https://h:8443/dav/u/");
  EXPECT_EQ(resolved(base, "e1.ics"), "https://h:8443/dav/u/cal/e1.ics");
  EXPECT_EQ(resolved("https://h/dav/u", "cal/"), "https://h/dav/cal/");
  EXPECT_EQ(resolved(base, "https://other/x/"), "https://other/x/");
  EXPECT_EQ(resolved(base, "//other:1/x/"), "https://other:1/x/");
  EXPECT_EQ(resolved(base, "/a/b?x=1"), "https://h:8443/a/b");
  EXPECT_EQ(resolved(base, "file:///etc/passwd"), "refused");
  EXPECT_EQ(resolved(base, "e:1.ics"), "https://h:8443/dav/u/cal/e:1.ics");
}

TEST(DavUrlTest, PercentCodingAndPaths) {
  EXPECT_EQ(percentEncode("a b/\xC3\xBC@x-_.~"), "a%20b%2F%C3%BC%40x-_.~");
  EXPECT_EQ(percentDecode("a%20b%2f%C3%BC%4"), "a b/\xC3\xBC%4");
  EXPECT_EQ(percentDecode("%zz%"), "%zz%");
  EXPECT_EQ(comparablePath("/u%40x/cal/"), "/u@x/cal");
  EXPECT_EQ(comparablePath("/"), "/");
  EXPECT_EQ(lastPathLevel("/u/cal/a%40b.ics"), "a@b.ics");
  EXPECT_EQ(lastPathLevel("/u/cal/"), "cal");
}

TEST(DavUrlTest, CollectionLevelsAreSafeDirectoryNames) {
  EXPECT_EQ(collectionPathLevel("Calendar"), "Calendar");
  EXPECT_EQ(collectionPathLevel("Archive/Calendar 2007"), "Archive-Calendar%202007");
  EXPECT_EQ(collectionPathLevel(".hidden~"), "_hidden-");
  EXPECT_EQ(collectionPathLevel(".."), "_.");
  EXPECT_EQ(collectionPathLevel("a\\b"), "a-b");
  EXPECT_EQ(collectionPathLevel(""), "collection");
  // Cut at about 120 bytes, never inside a character's encoding.
  std::string umlauts = "xxx";
  for (int i = 0; i < 60; ++i) {
    umlauts += "\xC3\xBC";
  }
  const std::string level = collectionPathLevel(umlauts);
  EXPECT_EQ(level.size(), 123u);
  EXPECT_EQ(level.substr(level.size() - 6), "%C3%BC");
  EXPECT_EQ(collectionPathLevel(std::string(500, 'x')).size(), 120u);
}

}  // namespace
}  // namespace lodemig
