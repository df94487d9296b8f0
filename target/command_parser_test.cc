#include "target/command_parser.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace lodemig::target {
namespace {

class CommandParserTest : public ::testing::Test {
 protected:
  // The tokens from `first` to `end` as text: atoms bare, strings quoted,
  // lists in parentheses, the message as <message>.
  std::string render(std::size_t first, std::size_t end) const {
    std::string out;
    for (std::size_t i = first; i < end; i = parser_[i].end) {
      if (!out.empty()) {
        out += ' ';
      }
      const Token& token = parser_[i];
      switch (token.kind) {
        case Token::Kind::kAtom:
          out += token.text;
          break;
        case Token::Kind::kString:
          out += '"' + token.text + '"';
          break;
        case Token::Kind::kList:
          out += '(' + render(i + 1, token.end) + ')';
          break;
        case Token::Kind::kMessage:
          out += "<message>";
          break;
      }
    }
    return out;
  }

  // Parses one whole line; the rendered tokens or "error: <text>".
  std::string parse(std::string_view line) {
    parser_.reset();
    if (!parser_.feed(line) || !parser_.finish()) {
      return "error: " + parser_.error();
    }
    return render(0, parser_.size());
  }

  CommandParser parser_;
};

TEST_F(CommandParserTest, Lines) {
  const struct {
    const char* line;
    const char* tokens;
  } cases[] = {
      {"A1 NOOP", "A1 NOOP"},
      {"A1  NOOP  ", "A1 NOOP"},
      {"", ""},
      {"a LOGIN \"user@x\" \"p w\"", "a LOGIN \"user@x\" \"p w\""},
      {"a LOGIN \"\" \"\"", "a LOGIN \"\" \"\""},
      {"a X \"q\\\"\\\\\"", "a X \"q\"\\\""},
      {"a APPEND INBOX (\\Seen \\Answered ) \"d\"", "a APPEND INBOX (\\Seen \\Answered) \"d\""},
      {"a X (b (c \"d\") ()) e", "a X (b (c \"d\") ()) e"},
      {"a X ()", "a X ()"},
      {"a X BODY[HEADER]<0.5>", "a X BODY[HEADER]<0.5>"},
      {"a X \"unterminated", "error: Unterminated quoted string"},
      {"a X \"bad \\n escape\"", "error: Bad escape in quoted string"},
      {"a X \"cr\r\"", "error: Bad character in quoted string"},
      {"a X (b", "error: Unbalanced parenthesis"},
      {"a X b)", "error: Unbalanced parenthesis"},
      {"a X {5}x", "error: Bad character in command"},
      {"a X b\x01", "error: Bad character in command"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.tokens, parse(c.line)) << c.line;
  }
}

TEST_F(CommandParserTest, ListKeepsItsRawTextAndTopLevelCountSkipsItems) {
  ASSERT_EQ("a APPEND INBOX (\\Seen \\Draft) \"d\"",
            parse("a APPEND INBOX (\\Seen  \\Draft ) \"d\""));
  EXPECT_EQ("\\Seen  \\Draft ", parser_[3].text);
  EXPECT_EQ(6u, parser_[3].end);
  EXPECT_EQ(5u, parser_.topLevelCount());
}

TEST_F(CommandParserTest, LiteralsJoinPiecesIntoOneCommand) {
  parser_.reset();
  ASSERT_TRUE(parser_.feed("A X-CREATEUSER (NAME "));
  EXPECT_EQ(1u, parser_.depth());
  parser_.addLiteral("ann lee");
  ASSERT_TRUE(parser_.feed(" DOMAIN "));
  parser_.addLiteral("x\r\n) y");
  ASSERT_TRUE(parser_.feed(" PASSWORD \"p\")"));
  ASSERT_TRUE(parser_.finish());
  EXPECT_EQ("A X-CREATEUSER (NAME \"ann lee\" DOMAIN \"x\r\n) y\" PASSWORD \"p\")",
            render(0, parser_.size()));
  // A list that spans literals has no single raw text; its items stand in.
  EXPECT_EQ("NAME ann lee DOMAIN x\r\n) y PASSWORD p", parser_[2].text);
  EXPECT_EQ(3u, parser_.topLevelCount());
}

TEST_F(CommandParserTest, MessageIsAnArgumentOfItsOwnKind) {
  parser_.reset();
  ASSERT_TRUE(parser_.feed("A APPEND INBOX "));
  EXPECT_FALSE(parser_.hasMessage());
  parser_.addMessage();
  ASSERT_TRUE(parser_.feed(""));
  ASSERT_TRUE(parser_.finish());
  EXPECT_TRUE(parser_.hasMessage());
  EXPECT_EQ("A APPEND INBOX <message>", render(0, parser_.size()));
}

TEST_F(CommandParserTest, ResetReusesTokensWithoutLeftovers) {
  ASSERT_EQ("a LOGIN \"a long user name beyond small strings\" (x y)",
            parse("a LOGIN \"a long user name beyond small strings\" (x y)"));
  EXPECT_EQ("b X \"\" ()", parse("b X \"\" ()"));
  EXPECT_EQ(4u, parser_.size());
  EXPECT_EQ("", parser_[3].text);
}

TEST_F(CommandParserTest, AfterAnErrorFurtherPiecesAreRefused) {
  parser_.reset();
  EXPECT_FALSE(parser_.feed("a X )"));
  EXPECT_FALSE(parser_.feed("b NOOP"));
  parser_.addLiteral("z");
  EXPECT_FALSE(parser_.finish());
  EXPECT_EQ("Unbalanced parenthesis", parser_.error());
  EXPECT_EQ(2u, parser_.size());
}

TEST(LiteralAnnouncementTest, Table) {
  const struct {
    const char* line;
    bool present;
    bool synchronizing;
    std::uint64_t size;
    std::size_t start;
  } cases[] = {
      {"A APPEND INBOX {12}", true, true, 12, 15},
      {"A APPEND INBOX {12+}", true, false, 12, 15},
      {"{0}", true, true, 0, 0},
      {"{0+}", true, false, 0, 0},
      {"x {007}", true, true, 7, 2},
      {"A APPEND INBOX {}", false, false, 0, 0},
      {"A APPEND INBOX {+}", false, false, 0, 0},
      {"A APPEND INBOX 12}", false, false, 0, 0},
      {"A APPEND INBOX {1 2}", false, false, 0, 0},
      {"A APPEND INBOX {12} ", false, false, 0, 0},
      {"A APPEND INBOX {12++}", false, false, 0, 0},
      {"}", false, false, 0, 0},
      {"x {99999999999999999999999}", true, true, std::numeric_limits<std::uint64_t>::max(), 2},
  };
  for (const auto& c : cases) {
    const LiteralAnnouncement literal = findLiteralAnnouncement(c.line);
    EXPECT_EQ(c.present, literal.present) << c.line;
    if (c.present) {
      EXPECT_EQ(c.synchronizing, literal.synchronizing) << c.line;
      EXPECT_EQ(c.size, literal.size) << c.line;
      EXPECT_EQ(c.start, literal.start) << c.line;
    }
  }
}

}  // namespace
}  // namespace lodemig::target
