#include "utils/json_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace ostrel::utils {
namespace {

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

TEST(JsonLineTest, StringsAreEscapedAndBadBytesReplaced) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", "\"\""},
      {"plain text", "\"plain text\""},
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {"line\nend\r\ttab", "\"line\\u000aend\\u000d\\u0009tab\""},
      {std::string("nul\0byte", 8), "\"nul\\u0000byte\""},
      {"\x1f\x7f", "\"\\u001f\\u007f\""},
      // Valid UTF-8 of two, three and four bytes passes as it is.
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      // Latin-1, a stray continuation byte, an overlong '/', a surrogate and
      // a code point above U+10FFFF: each bad byte becomes U+FFFD.
      {"caf\xE9!", "\"caf\xEF\xBF\xBD!\""},
      {"\x80x", "\"\xEF\xBF\xBDx\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xF5\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      // A sequence cut short keeps the byte after it.
      {"\xE2\x82x", "\"\xEF\xBF\xBD\xEF\xBF\xBDx\""},
      {"\xE2\x82\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\\"\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jsonString(c.in), c.out) << ::testing::PrintToString(c.in);
  }
}

TEST(JsonLineTest, FieldsInOrderWithNumbersAndObjects) {
  JsonLine inner;
  inner.add("k", "v");
  JsonLine line;
  line.add("text", "a,b")
      .add("count", -1)
      .add("big", std::int64_t{9007199254740993})
      .add("bytes", std::uint64_t{18446744073709551615u})
      .add("seconds", 2.0 / 3)
      .add("nan", std::nan(""))
      .addObject("inner", inner.text())
      .add("na\"me", "");
  EXPECT_EQ(line.text(),
            "{\"text\":\"a,b\",\"count\":-1,\"big\":9007199254740993,"
            "\"bytes\":18446744073709551615,\"seconds\":0.667,\"nan\":0.000,"
            "\"inner\":{\"k\":\"v\"},\"na\\\"me\":\"\"}");
  EXPECT_EQ(JsonLine().text(), "{}");
}

}  // namespace
}  // namespace ostrel::utils
