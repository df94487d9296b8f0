#include "migration/password_record.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

TEST(GeneratePasswordTest, KeepsLengthAndCharacterRanges) {
  std::set<char> seen;
  for (int i = 0; i < 300; ++i) {
    std::string password = generatePassword(6);
    ASSERT_EQ(password.size(), 6u);
    for (char c : password) {
      bool allowed = (c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y') || (c >= '0' && c <= '8');
      ASSERT_TRUE(allowed) << password;
      seen.insert(c);
    }
  }
  // 1800 draws reach every one of the 59 characters (the chance of missing
  // one is far below 1e-9), and none outside the ranges.
  EXPECT_EQ(seen.size(), 59u);
  EXPECT_EQ(generatePassword(0), "");
}

TEST(GeneratePasswordTest, CallsInTheSameSecondDiffer) {
  std::set<std::string> passwords;
  for (int i = 0; i < 50; ++i) {
    passwords.insert(generatePassword(6));
  }
  EXPECT_EQ(passwords.size(), 50u);
}

TEST(PasswordRecordTest, LinesReachTheFileAtOnceOrTheErrorStream) {
  testing::ScopedTempDir dir;
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, true);
  {
    PasswordRecord record(reporter);
    record.writeTo(dir / "run.pass");
    record.add("<a@x>, password: \"1\"\n");
    EXPECT_EQ(testing::readFile(dir / "run.pass"), "<a@x>, password: \"1\"\n");
    record.add("<b@x> already exist, hold current password\n");
    record.close();
    EXPECT_FALSE(record.broken());
  }
  EXPECT_EQ(errors.str(), "");

  PasswordRecord full(reporter);
  full.writeTo("/dev/full");
  full.add("<c@x>, password: \"2\"\n");
  full.add("<d@x>, password: \"3\"\n");
  EXPECT_TRUE(full.broken());
  EXPECT_EQ(errors.str(),
            "Error: cannot write file /dev/full: No space left on device, its line follows:\n"
            "<c@x>, password: \"2\"\n<d@x>, password: \"3\"\n");
  EXPECT_EQ(log.str(), "Error: cannot write file /dev/full: No space left on device\n");
  EXPECT_EQ(full.lines(), "<c@x>, password: \"2\"\n<d@x>, password: \"3\"\n");
}

}  // namespace
}  // namespace lodemig
