#include "imap/imap_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "imap/imap_gateway.h"

namespace lodemig {
namespace {

// The wire tests of the gateway cover the builders inside whole commands;
// these are the cases no command of the gateway produces.
TEST(ImapCommandTest, BuilderEdgeCases) {
  std::string line;
  ImapCommand::appendAtom(line, "A");
  ImapCommand::appendQuoted(line, "");
  ImapCommand::appendQuoted(line, "a\\b");
  ImapCommand::appendQuotedList(line, {});
  ImapCommand::appendLiteral(line, "");
  EXPECT_EQ(line, "A \"\" \"a\\\\b\" () {0+}\r\n");
}

TEST(ImapCommandTest, QuotedEscapesEveryQuoteAndBackslash) {
  const struct {
    const char* text;
    const char* quoted;
  } cases[] = {
      {"plain", R"("plain")"},      {R"(")", R"("\"")"},          {R"(\)", R"("\\")"},
      {R"(a"b\c)", R"("a\"b\\c")"}, {R"(\"\")", R"("\\\"\\\"")"}, {R"(end\)", R"("end\\")"},
  };
  for (const auto& c : cases) {
    std::string line;
    ImapCommand::appendQuoted(line, c.text);
    EXPECT_EQ(line, c.quoted) << c.text;
  }
}

TEST(ImapCommandTest, LiteralAnnouncements) {
  struct Case {
    std::string line;
    bool announces;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"* X {12+}\r\n", true, 12},
      {"* A {1} B {34}\r\n", true, 34},
      {"+ {0}\r\n", true, 0},
      {"V1 OK {7}\n", true, 7},
      {"{99999999999999999999999}\r\n", true, 101},  // stops above the limit
      // A text that merely ends in a brace announces nothing.
      {"}\r\n", false, 0},
      {"* OK {}\r\n", false, 0},
      {"* OK {x}\r\n", false, 0},
      {"* OK {12\r\n", false, 0},
      {"* OK a}\r\n", false, 0},
      {"77}\r\n", false, 0},
      {"* OK}\r\n", false, 0},
      {"* OK {+}\r\n", false, 0},
      {"* OK {1+2}\r\n", false, 0},
      {"* OK {3} \r\n", false, 0},
      {"* OK done\r\n", false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(announcesLiteral(c.line), c.announces) << c.line;
    if (c.announces) {
      EXPECT_EQ(announcedLiteralSize(c.line, 100), c.size) << c.line;
    }
  }
}

TEST(ImapCommandTest, StatusWordEdgeCases) {
  const std::pair<const char*, CommandStatus> cases[] = {
      {"V2    OK", CommandStatus::Ok},  {"V2 OK", CommandStatus::Ok},
      {"V2 OK\r\n", CommandStatus::Ok}, {"V2 NO [X] no", CommandStatus::No},
      {"V2 OKAY", CommandStatus::Bad},  {"V2 OKX done", CommandStatus::Bad},
      {"V2 NOPE", CommandStatus::Bad},  {"V2 ok", CommandStatus::Bad},
      {"V2", CommandStatus::Bad},       {"V", CommandStatus::Bad}};
  for (const auto& [line, status] : cases) {
    EXPECT_EQ(statusOf(line, "V2"), status) << line;
  }
}

TEST(ImapCommandTest, ExistsCountOfUntaggedResponses) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"* 23 EXISTS", 23},
      {"* 0 EXISTS", 0},
      {"* 7 exists", 7},
      {"* 7 Exists", 7},
      {"* 4294967295 EXISTS", 4294967295},
      {"* 4294967296 EXISTS", -1},
      {"* 99999999999999999999999 EXISTS", -1},
      {"* 23 EXISTSX", -1},
      {"* 23 EXISTS more", -1},
      {"* 23  EXISTS", -1},
      {"*  23 EXISTS", -1},
      {"* 2a EXISTS", -1},
      {"* EXISTS", -1},
      {"* 23", -1},
      {"* 23 RECENT", -1},
      {"* OK [UIDVALIDITY 3] 23 EXISTS", -1},
      {"+ 23 EXISTS", -1},
      {"V1 23 EXISTS", -1},
      {"", -1},
  };
  for (const auto& [response, count] : cases) {
    EXPECT_EQ(existsCount(response), count) << response;
  }
}

TEST(ImapCommandTest, StartingAgainForgetsTheLastExchange) {
  ImapCommand command("V1", "SELECT");
  command.addQuoted("a");
  command.finishLine();
  command.finishLine();  // a resent command keeps its line
  EXPECT_EQ(command.line(), "V1 SELECT \"a\"\r\n");
  command.addUntagged("* 1 EXISTS\r\n");
  command.complete("V1 NO gone\r\n");
  EXPECT_EQ(command.status(), CommandStatus::No);
  EXPECT_EQ(command.untaggedLines(), std::vector<std::string>{"* 1 EXISTS"});

  class Empty : public IMessage {
    bool firstChunk(std::string&) override { return false; }
    bool nextChunk(std::string&) override { return false; }
    std::string flags() const override { return ""; }
    std::string internalDate() const override { return ""; }
    std::uint64_t storedSize() const override { return 0; }
    std::uint32_t contentSize() override { return 0; }
  } content;
  command.start("V2", "APPEND");
  EXPECT_FALSE(command.completed());
  EXPECT_EQ(command.status(), CommandStatus::Bad);
  EXPECT_TRUE(command.untaggedLines().empty());
  EXPECT_EQ(command.finalLine(), "");
  command.announceContent(content, 0);
  command.finishLine();  // the client ends the content with CR LF
  EXPECT_EQ(command.line(), "V2 APPEND {0+}\r\n");
  EXPECT_EQ(command.content(), &content);
  command.start("V3", "NOOP");
  command.finishLine();
  EXPECT_EQ(command.line(), "V3 NOOP\r\n");
  EXPECT_EQ(command.content(), nullptr);
}

TEST(ImapCommandTest, FolderKindWords) {
  const std::pair<unsigned, const char*> words[] = {
      {0x7fff, "X-ALL"}, {0xffff, "X-ALL"}, {3, "X-CONTACT"},       {2, "X-CALENDAR"},
      {4, "X-TODO"},     {8, "X-JOURNAL"},  {16, "X-MAIL"},         {32, "X-MAPI"},
      {64, "X-NOTE"},    {128, "X-SEARCH"}, {0x7ffe, "X-CALENDAR"}, {0, ""},
      {256, ""}};
  for (const auto& [bits, word] : words) {
    EXPECT_EQ(folderKindWord(bits), word) << bits;
  }
}

TEST(ImapCommandTest, VersionCheckReadsTheLastWord) {
  const std::pair<const char*, bool> cases[] = {
      {"V1 OK 6.3.0", true},          {"V1 OK 6.2.9", false}, {"V1 OK 7.0.0", true},
      {"V1 OK 6.10.0", true},         {"V1 OK 6", false},     {"V1 OK 6.3", false},
      {"V1 NO old 6.4.1", true},      {"V1 OK", false},       {"6.4.1", false},
      {"V1 OK 99999999999.0.0", true}};
  for (const auto& [line, newer] : cases) {
    EXPECT_EQ(versionAtLeast63(line), newer) << line;
  }
}

TEST(ImapCommandTest, ExceptionsMapToGatewayResults) {
  EXPECT_EQ(gatewayResultFor(ImapTimeoutException(), 8), 3);
  EXPECT_EQ(gatewayResultFor(ImapConnectionFailed(""), 8), 3);
  EXPECT_EQ(gatewayResultFor(AuthenticateFailedException("x"), 8), 4);
  EXPECT_EQ(gatewayResultFor(ImapServerBrokeConnection(), 8), 3);
  EXPECT_EQ(gatewayResultFor(IMessageLoadFailedException("x"), 8), 9);
  EXPECT_EQ(gatewayResultFor(ImapException("x"), 8), 8);
}

TEST(ImapCommandTest, GatewayResultNumbersArePinned) {
  const GatewayResult results[] = {kGatewayOk,
                                   kGatewayNotConnected,
                                   kGatewayAlreadyConnected,
                                   kGatewayConnectionProblem,
                                   kGatewayAuthenticationFailed,
                                   kGatewayCreateUserFailed,
                                   kGatewaySetUserFailed,
                                   kGatewayCreateFolderFailed,
                                   kGatewayAppendFailed,
                                   kGatewayContentFailed,
                                   kGatewaySelectFailed};
  for (int i = 0; i <= 10; ++i) {
    EXPECT_EQ(results[i], i);
  }
}

}  // namespace
}  // namespace lodemig
