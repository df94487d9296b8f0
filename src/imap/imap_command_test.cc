#include "imap/imap_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
  EXPECT_EQ(gatewayResultFor(ImapException("x", 7), 8), 8);
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
