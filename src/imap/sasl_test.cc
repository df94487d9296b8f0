#include "imap/sasl.h"

#include <gtest/gtest.h>

#include "imap/digest.h"

namespace lodemig {
namespace {

TEST(SaslTest, PlainResponses) {
  struct Case {
    const char* authorizationId;
    const char* authenticationId;
    const char* password;
    const char* response;
  };
  const Case cases[] = {
      {"", "tim", "tanstaaftanstaaf", "AHRpbQB0YW5zdGFhZnRhbnN0YWFm"},
      {"Ursel", "Kurt", "xipj3plmq", "VXJzZWwAS3VydAB4aXBqM3BsbXE="},
      {"", "", "", "AAA="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(saslPlainResponse(c.authorizationId, c.authenticationId, c.password), c.response)
        << c.authenticationId;
  }
  // Long parts stay on one line, and every byte of the password survives.
  const std::string password = "p\xc3\xa4ss w\"rd\\" + std::string(200, 'x');
  const std::string response = saslPlainResponse("ann@example.org", "admin", password);
  EXPECT_EQ(response.find_first_of("\r\n"), std::string::npos);
  bool valid = false;
  EXPECT_EQ(ostrel::crypto::base64Decode(response, &valid),
            std::string("ann@example.org\0admin\0", 22) + password);
  EXPECT_TRUE(valid);
}

TEST(SaslTest, LoginNameFromForm) {
  struct Case {
    const char* form;
    const char* user;
    const char* admin;
    const char* name;
  };
  const Case cases[] = {
      {"USER*ADMIN", "ann@example.org", "master", "ann@example.org*master"},
      {"USER", "ann", "master", "ann"},
      {"ADMIN", "ann", "master", "master"},
      {"", "ann", "master", ""},
      {"plain", "ann", "master", "plain"},
      {"ADMIN%USER%USER", "a", "m", "m%a%a"},
      {"USERADMIN", "a", "m", "am"},
      {"USUSER", "a", "m", "USa"},
      {"ADMINUSER", "a", "m", "ma"},
      {"user*admin", "a", "m", "user*admin"},  // the words in capitals only
      {"USE", "a", "m", "USE"},
      {"ADMI", "a", "m", "ADMI"},
      // Inserted names are not searched again.
      {"USER*ADMIN", "ADMIN", "USER", "ADMIN*USER"},
      {"USER", "USERUSER", "x", "USERUSER"},
      {"USER+ADMIN", "", "", "+"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(loginNameFromForm(c.form, c.user, c.admin), c.name) << c.form;
  }
}

}  // namespace
}  // namespace lodemig
