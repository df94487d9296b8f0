#include "imap/list_response.h"

#include <gtest/gtest.h>

#include <sstream>

#include "imap/imap_command.h"
#include "imap/response_reader.h"

namespace lodemig {
namespace {

using Attributes = std::vector<std::string>;

// "{n}" CR LF and the bytes, as a literal stands inside a response.
std::string literal(const std::string& bytes) {
  return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

class ListResponseTest : public ::testing::Test {
 protected:
  // Parses `response` into entry_, with stale values first so that a
  // field the parser forgets to set shows.
  bool parse(const std::string& response) {
    entry_.attributes = {"\\Stale"};
    entry_.separator = "?";
    entry_.name = "stale";
    return parseListResponse(response, entry_);
  }

  ListEntry entry_;
};

TEST_F(ListResponseTest, ShapesServersSend) {
  // The entry as "attributes|separator|name".
  auto described = [this] {
    std::string text;
    for (const std::string& attribute : entry_.attributes) {
      text += (text.empty() ? "" : " ") + attribute;
    }
    return text + "|" + entry_.separator + "|" + entry_.name;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"* LIST (\\HasNoChildren) \".\" INBOX", "\\HasNoChildren|.|INBOX"},
      {"* LIST (\\Noselect) \"/\" \"\"", "\\Noselect|/|"},
      {"* LIST () NIL \"x\"", "||x"},
      {"* LIST (\\Sent \\HasNoChildren) \"/\" \"Sent Items\"",
       "\\Sent \\HasNoChildren|/|Sent Items"},
      {"* list (\\hasnochildren \\Marked) \"\\\\\" \"a\\\"b\\\\c\"",
       "\\hasnochildren \\Marked|\\|a\"b\\c"},
      {"* LSUB () \".\" Lists.x", "|.|Lists.x"},
      {"* LIST () \"/\" ~peter/mail/&U,BTFw-/&ZeVnLIqe-", "|/|~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"* LIST () \"/\" \"Entwürfe\"", "|/|Entwürfe"},
      {"* LIST () \"/\" a]b", "|/|a]b"},
      {"* LIST (\\X-Custom $Other) \"\\\"\" NIL", "\\X-Custom $Other|\"|NIL"},
      {"* LIST () \"/\" " + literal("Sent \"Items\" {3}"), "|/|Sent \"Items\" {3}"},
      {"* LIST () \"/\" " + literal("a\r\nb") + " (\"OLDNAME\" (\"old\"))", "|/|a\r\nb"},
      {"* LIST () \"/\" {3}\nabc", "|/|abc"},
      {"* LIST (\\HasChildren) \"/\" \"Archive\" (\"CHILDINFO\" (\"SUBSCRIBED\"))",
       "\\HasChildren|/|Archive"},
      {"* LIST () \"/\" x ()", "|/|x"},
      {"* LIST () \"/\" x (\"CHILDINFO\" (\"SUBSCRIBED\" \"REMOTE\") \"OLDNAME\" (" +
           literal("o)(d") + ") X-NUM 1:*,5 X-NESTED ((a) () ((b c))))",
       "|/|x"},
  };
  for (const auto& [response, entry] : cases) {
    ASSERT_TRUE(parse(response)) << response;
    EXPECT_EQ(described(), entry) << response;
  }
}

TEST_F(ListResponseTest, RefusesOtherResponsesAndMalformedOnes) {
  const std::string head = "* LIST () \"/\" ";
  const std::string refused[] = {
      "", "* LIST", "* LISTX () \"/\" a", "* FLAGS (\\Seen)", "* OK [ALERT] LIST",
      "A1 LIST () \"/\" a", "*  LIST () \"/\" a",
      // Attributes.
      "* LIST \\HasNoChildren \"/\" a", "* LIST (\\HasNoChildren \"/\" a", "* LIST (\\) \"/\" a",
      "* LIST (\\\\x) \"/\" a", "* LIST (a  b) \"/\" a", "* LIST (a ) \"/\" a",
      "* LIST (a\\b) \"/\" a", "* LIST ()\"/\" a",
      // Separators.
      "* LIST () \"\" a", "* LIST () \"ab\" a", "* LIST () / a", "* LIST () \"\\a\" a",
      "* LIST () NILL a", "* LIST () \"\xe9\" a", "* LIST () \"/\"a",
      // Names.
      "* LIST () \"/\"", head, head + "\"a", head + "\"a\\b\"", head + "\"a\"b", head + "a b",
      head + "a\"", head + "\"a\rb\"", head + std::string("\"a\0b\"", 5), head + "{3}\r\nab",
      head + "{x}\r\nabc", head + "{}\r\n", head + "{3}abc", head + "{3+}\r\nabc",
      head + std::string("{3}\r\na\0b", 9), head + "{18446744073709551617}\r\nabc",
      // Extended data.
      head + "x ", head + "x (", head + "x ()()", head + "x  ()", head + "x (\"a\"",
      head + "x (a))", head + "x (a )", head + "x ((a)b)", head + "x a", head + "x ({5}\r\nab)",
      head + "x (()"};
  for (const std::string& response : refused) {
    EXPECT_FALSE(parse(response)) << ::testing::PrintToString(response);
  }
}

TEST_F(ListResponseTest, EveryCutShortResponseIsRefused) {
  // Each is valid whole and ends where an atom cannot, so that no shorter
  // prefix reads as a response; `alsoValid` is the one prefix that does,
  // the response without its extended data.
  struct Case {
    std::string response;
    std::size_t alsoValid;
  };
  const std::string named = "* LIST (\\HasChildren \\Sent) \"\\\\\" \"a\\\"b\"";
  const Case cases[] = {
      {named, 0},
      {"* LIST () NIL " + literal("x\r\ny"), 0},
      {named + " (\"CHILDINFO\" (" + literal("SUB") + " \"X\") A 1:*)", named.size()},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(parse(c.response)) << c.response;
    for (std::size_t length = 0; length < c.response.size(); ++length) {
      // A copy of exactly that size, so that the sanitizer sees any read
      // past its end.
      const std::string prefix = c.response.substr(0, length);
      EXPECT_EQ(parse(prefix), length == c.alsoValid && length > 0)
          << ::testing::PrintToString(prefix);
    }
  }
}

TEST_F(ListResponseTest, DeepNestingNeedsNoStack) {
  const std::size_t depth = 100000;
  const std::string head = "* LIST () \"/\" x ";
  EXPECT_TRUE(parse(head + std::string(depth, '(') + std::string(depth, ')')));
  EXPECT_EQ(entry_.name, "x");
  EXPECT_FALSE(parse(head + std::string(depth, '(') + std::string(depth - 1, ')')));
  EXPECT_FALSE(parse(head + std::string(depth, '(')));
}

TEST_F(ListResponseTest, ParsesResponsesAsTheReaderHandsThemOver) {
  std::istringstream stream(
      "* LIST (\\HasNoChildren) \"/\" {8}\r\nSent\r\nXY (\"CHILDINFO\" (\"SUBSCRIBED\"))\r\n"
      "* LIST () NIL {2}\r\na\r\r\n");
  ResponseReader reader;
  ImapCommand command("A1", "LIST");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(reader.read(stream), ResponseReader::Outcome::Response);
    command.addUntagged(reader.response());
  }
  ASSERT_EQ(command.untaggedLines().size(), 2u);
  ASSERT_TRUE(parse(command.untaggedLines()[0]));
  EXPECT_EQ(entry_.attributes, Attributes{"\\HasNoChildren"});
  EXPECT_EQ(entry_.name, "Sent\r\nXY");
  ASSERT_TRUE(parse(command.untaggedLines()[1]));
  EXPECT_EQ(entry_.separator, "");
  EXPECT_EQ(entry_.name, "a\r");
}

TEST_F(ListResponseTest, AttributesMatchWholeInAnyCase) {
  ASSERT_TRUE(parse("* LIST (\\Sent \\HasNoChildren) \"/\" x"));
  EXPECT_TRUE(hasAttribute(entry_, "\\Sent"));
  EXPECT_TRUE(hasAttribute(entry_, "\\SENT"));
  EXPECT_TRUE(hasAttribute(entry_, "\\hasnochildren"));
  EXPECT_FALSE(hasAttribute(entry_, "\\Sen"));
  EXPECT_FALSE(hasAttribute(entry_, "Sent"));
  EXPECT_FALSE(hasAttribute(entry_, "\\Trash"));
  EXPECT_FALSE(hasAttribute(ListEntry(), "\\Sent"));
}

}  // namespace
}  // namespace lodemig
