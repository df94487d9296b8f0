#include "dav/dav_xml.h"

#include <gtest/gtest.h>

#include <string>

namespace lodemig {
namespace {

// A multistatus answer as servers write it, each with prefixes of its own.
constexpr char kMultistatus[] =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<!-- a comment -->\n"
    "<d:multistatus xmlns:d=\"DAV:\" xmlns:cal=\"urn:ietf:params:xml:ns:caldav\">\n"
    " <d:response><d:href>/u/cal/a%40b.ics</d:href>\n"
    "  <d:propstat><d:prop><d:getetag>&quot;1&quot;</d:getetag>\n"
    "   <cal:calendar-data><![CDATA[BEGIN:VCALENDAR\r\nUID:<x>&y\r\n]]></cal:calendar-data>\n"
    "  </d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat>\n"
    " </d:response>\n"
    "</d:multistatus>\n";

class XmlTest : public ::testing::Test {
 protected:
  static std::string errorOf(const std::string& text) {
    try {
      parseXml(text);
    } catch (const XmlException& e) {
      return e.what();
    }
    return "no error";
  }
};

TEST_F(XmlTest, NamesResolveToNamespacesWhateverThePrefix) {
  const XmlElement root = parseXml(kMultistatus);
  EXPECT_EQ(root.ns, kDavNs);
  EXPECT_EQ(root.name, "multistatus");
  const XmlElement* response = root.child(kDavNs, "response");
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->child(kDavNs, "href")->text, "/u/cal/a%40b.ics");
  const XmlElement* prop = response->child(kDavNs, "propstat")->child(kDavNs, "prop");
  EXPECT_EQ(prop->child(kDavNs, "getetag")->text, "\"1\"");
  EXPECT_EQ(prop->child(kCalDavNs, "calendar-data")->text, "BEGIN:VCALENDAR\r\nUID:<x>&y\r\n");
  EXPECT_EQ(prop->child(kDavNs, "calendar-data"), nullptr);
}

TEST_F(XmlTest, DefaultNamespacesAreScopedAndCanBeReset) {
  const XmlElement root = parseXml(
      "<multistatus xmlns='DAV:'><a xmlns='urn:ietf:params:xml:ns:carddav'><b/></a>"
      "<c/><d xmlns=''/><D:e xmlns:D='DAV:' D:x='1' y=\"2\"/></multistatus>");
  ASSERT_EQ(root.children.size(), 4u);
  EXPECT_EQ(root.children[0].ns, kCardDavNs);
  EXPECT_EQ(root.children[0].children[0].ns, kCardDavNs);
  EXPECT_EQ(root.children[1].ns, kDavNs);
  EXPECT_EQ(root.children[2].ns, "");
  EXPECT_EQ(root.all(kDavNs, "e").size(), 1u);
  EXPECT_EQ(root.children[3].attribute("x"), "1");
  EXPECT_EQ(root.children[3].attribute("y"), "2");
  EXPECT_EQ(root.children[3].attribute("z"), "");
}

TEST_F(XmlTest, EntitiesDecode) {
  const XmlElement root =
      parseXml("<a n='&lt;&#x41;&gt;'>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&#xE9;&#x1F600;</a>");
  EXPECT_EQ(root.text, "&<>\"'AB\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(root.attribute("n"), "<A>");
}

TEST_F(XmlTest, RefusedDocumentsSayWhy) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"", "no root element at byte 0"},
      {"text", "no root element"},
      {"<!DOCTYPE a [<!ENTITY x \"y\">]><a>&x;</a>", "a DOCTYPE is not accepted"},
      {"<a>&x;</a>", "unknown or invalid entity &x;"},
      {"<a>&#0;</a>", "unknown or invalid entity &#0;"},
      {"<a>&#xD800;</a>", "unknown or invalid entity"},
      {"<a>&#99999999;</a>", "unknown or invalid entity"},
      {"<a>&amp</a>", "unterminated entity"},
      {"<a>&;</a>", "unknown or invalid entity &;"},
      {"<a>&#;&#x;</a>", "unknown or invalid entity &#;"},
      {"<a></b>", "end tag </b> does not match"},
      {"<a><b></a></b>", "end tag </a> does not match"},
      {"<a>", "end tag </a> missing"},
      {"<p:a/>", "undeclared namespace prefix \"p\""},
      {"<a p:x='1'/>", "undeclared namespace prefix \"p\""},
      {"<a x=1/>", "quoted attribute value expected"},
      {"<a x='1'y='2'/>", "space expected before an attribute"},
      {"<a x='<'/>", "\"<\" in an attribute value"},
      {"<a/><b/>", "content after the root element"},
      {"<a><![CDATA[x</a>", "unterminated CDATA section"},
      {"<a><!-- x</a>", "unterminated comment"},
      {"<a><!ELEMENT a ANY></a>", "markup declaration inside an element"},
  };
  for (const auto& c : cases) {
    const std::string error = errorOf(c.text);
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " gave: " << error;
    EXPECT_EQ(error.rfind("malformed XML answer: ", 0), 0u) << error;
  }
}

TEST_F(XmlTest, EveryTruncationIsRefused) {
  const std::string whole = kMultistatus;
  const std::size_t rootEnd = whole.rfind('>') + 1;
  for (std::size_t size = 0; size < rootEnd; ++size) {
    EXPECT_NE(errorOf(whole.substr(0, size)), "no error") << size;
  }
  EXPECT_EQ(errorOf(whole.substr(0, rootEnd)), "no error");
}

// Each byte of a valid answer replaced in turn by markup characters: the
// reader either reads it or refuses it with XmlException, never another way.
TEST_F(XmlTest, ChangedBytesGiveAnAnswerOrXmlException) {
  const std::string whole = kMultistatus;
  const std::string replacements("<>&;/:\"'#x=!?[]\0", 17);
  int refused = 0;
  for (std::size_t at = 0; at < whole.size(); ++at) {
    for (const char c : replacements) {
      std::string changed = whole;
      changed[at] = c;
      try {
        parseXml(changed);
      } catch (const XmlException&) {
        ++refused;
      } catch (const std::exception& e) {
        ADD_FAILURE() << "byte " << at << " as " << c << ": " << e.what();
      }
    }
  }
  EXPECT_GT(refused, 0);
}

TEST_F(XmlTest, DepthAndSizeAreBounded) {
  std::string deep;
  for (int i = 0; i < kMaxXmlDepth + 1; ++i) {
    deep += "<a>";
  }
  EXPECT_NE(errorOf(deep).find("nested deeper than 64"), std::string::npos);
  std::string allowed;
  for (int i = 0; i < kMaxXmlDepth; ++i) {
    allowed = "<a>" + allowed + "</a>";
  }
  EXPECT_EQ(errorOf(allowed), "no error");
  const std::string huge(kMaxXmlSize + 1, ' ');
  EXPECT_NE(errorOf(huge).find("larger than 64 MiB"), std::string::npos);
}

TEST_F(XmlTest, EscapeRoundTripsThroughTheReader) {
  const std::string name = "A & B <C> \"d\" 'e' \xC3\xBC\x01";
  const std::string escaped = xmlEscape(name);
  EXPECT_EQ(escaped, "A &amp; B &lt;C&gt; &quot;d&quot; &apos;e&apos; \xC3\xBC?");
  EXPECT_EQ(parseXml("<a v='" + escaped + "'>" + escaped + "</a>").text,
            "A & B <C> \"d\" 'e' \xC3\xBC?");
}

}  // namespace
}  // namespace lodemig
