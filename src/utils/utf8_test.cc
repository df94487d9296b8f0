#include "utils/utf8.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel::utils {
namespace {

// The code points of `text`, or none when it is not strict UTF-8.
std::vector<char32_t> codePoints(std::string_view text) {
  std::vector<char32_t> points;
  std::size_t position = 0;
  char32_t point = 0;
  while (position < text.size()) {
    if (!nextCodePoint(text, position, point)) {
      return {};
    }
    points.push_back(point);
  }
  return points;
}

TEST(Utf8Test, DecodesEachLengthAtItsBounds) {
  using Points = std::vector<char32_t>;
  EXPECT_EQ(codePoints(std::string("a\0\x7f", 3)), (Points{'a', 0, 0x7F}));
  EXPECT_EQ(codePoints("\xc2\x80\xdf\xbf"), (Points{0x80, 0x7FF}));
  EXPECT_EQ(codePoints("\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"),
            (Points{0x800, 0xD7FF, 0xE000, 0xFFFF}));
  EXPECT_EQ(codePoints("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"), (Points{0x10000, 0x10FFFF}));
  EXPECT_EQ(codePoints("台北"), (Points{0x53F0, 0x5317}));
}

TEST(Utf8Test, RefusesAllButTheShortestFormOfAScalarValue) {
  for (const char* bad : {
           "\x80",                      // continuation without a lead
           "a\xbf",                     // the same after ASCII
           "\xc0\xaf",                  // overlong "/"
           "\xc1\xbf",                  // overlong DEL
           "\xe0\x80\xaf",              // overlong "/" in three bytes
           "\xe0\x9f\xbf",              // overlong U+07FF
           "\xf0\x8f\xbf\xbf",          // overlong U+FFFF
           "\xed\xa0\x80",              // U+D800
           "\xed\xbf\xbf",              // U+DFFF
           "\xed\xa0\xbd\xed\xb8\x80",  // a surrogate pair in six bytes
           "\xf4\x90\x80\x80",          // U+110000
           "\xf5\x80\x80\x80",          // lead byte above U+10FFFF
           "\xff",
           "\xc3",  // cut short at the end
           "\xe6\x97",
           "\xf0\x9f\x98",
           "\xc3(",  // a continuation that is not one
           "\xe6\x97\x41",
       }) {
    EXPECT_FALSE(isValidUtf8(bad)) << testing::PrintToString(bad);
    std::size_t position = 0;
    char32_t point = 0x2A;
    std::string_view text(bad);
    // Past any ASCII, the position stays on the bad sequence.
    while (nextCodePoint(text, position, point)) {
    }
    EXPECT_LT(position, text.size()) << testing::PrintToString(bad);
  }
  EXPECT_TRUE(isValidUtf8(""));
  std::size_t end = 1;
  char32_t point = 0x2A;
  EXPECT_FALSE(nextCodePoint("a", end, point));
  EXPECT_EQ(end, 1u);
  EXPECT_EQ(point, char32_t{0x2A});
}

}  // namespace
}  // namespace ostrel::utils
