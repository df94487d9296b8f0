#include "imap/capabilities.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

using Words = std::vector<std::string>;

TEST(CapabilitiesTest, WordsOfResponsesAndResponseCodes) {
  EXPECT_EQ(capabilityWords("* CAPABILITY IMAP4rev1 LITERAL+  STARTTLS\r\n"),
            (Words{"IMAP4rev1", "LITERAL+", "STARTTLS"}));
  EXPECT_EQ(capabilityWords("* capability IMAP4rev1"), Words{"IMAP4rev1"});
  EXPECT_EQ(capabilityWords("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n"),
            (Words{"IMAP4rev1", "STARTTLS"}));
  EXPECT_EQ(capabilityWords("V3 OK [CAPABILITY IMAP4rev1 X] Logged in"), (Words{"IMAP4rev1", "X"}));
  // Lookalikes announce nothing.
  EXPECT_EQ(capabilityWords("* CAPABILITYX STARTTLS"), Words{});
  EXPECT_EQ(capabilityWords("* OK [CAPABILITYX STARTTLS] ready"), Words{});
  EXPECT_EQ(capabilityWords("* OK [ALERT] STARTTLS soon"), Words{});
  EXPECT_EQ(capabilityWords("* OK ready"), Words{});
  EXPECT_EQ(capabilityWords("* CAPABILITY"), Words{});
  EXPECT_EQ(capabilityWords(""), Words{});
}

TEST(CapabilitiesTest, OfferedWordsMatchWholeInAnyCase) {
  const Words responses = {"* OK hi", "* CAPABILITY IMAP4rev1 starttls LITERAL+"};
  EXPECT_TRUE(offersCapability(responses, "STARTTLS"));
  EXPECT_TRUE(offersCapability(responses, "literal+"));
  EXPECT_FALSE(offersCapability(responses, "LITERAL"));
  EXPECT_FALSE(offersCapability(responses, "START"));
  EXPECT_FALSE(offersCapability({}, "STARTTLS"));
}

TEST(CapabilitiesTest, ResponseCodeIsTheBracketedWordAfterTheStatus) {
  const std::pair<const char*, const char*> cases[] = {
      {"V5 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", "AUTHENTICATIONFAILED"},
      {"V5 NO [authorizationfailed] no", "AUTHORIZATIONFAILED"},
      {"* OK [CAPABILITY IMAP4rev1] ready", "CAPABILITY"},
      {"V5 NO [UNAVAILABLE]", "UNAVAILABLE"},
      {"V5 NO Authentication failed [AUTHENTICATIONFAILED]", ""},
      {"V5 NO", ""},
      {"V5 NO ", ""},
      {"", ""},
  };
  for (const auto& [response, code] : cases) {
    EXPECT_EQ(responseCode(response), code) << response;
  }
}

}  // namespace
}  // namespace lodemig
