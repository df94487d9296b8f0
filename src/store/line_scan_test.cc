#include "store/line_scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace lodemig {
namespace {

// The definition, one byte at a time.
const char* reference(const char* begin, const char* from, const char* end, int lineStart) {
  for (const char* p = from; p < end; ++p) {
    if (*p == '\n' && (p == begin || p[-1] != '\r' || p + 1 == end ||
                       static_cast<unsigned char>(p[1]) == lineStart)) {
      return p;
    }
  }
  return end;
}

// Random text of few distinct bytes puts CR LF pairs, bare LFs and "F" after
// LFs at every offset of the 16- and 32-byte blocks, and across their edges.
TEST(LineScanTest, AgreesWithTheByteByByteDefinition) {
  std::mt19937 random(20261206);
  const char alphabet[] = {'\r', '\n', 'F', 'x', '\r', '\n'};
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t size = static_cast<std::size_t>(random() % 150);
    std::string text(size, 'x');
    for (char& c : text) {
      // Mostly CR LF lines, as message text has them.
      c = random() % 4 == 0 ? alphabet[pick(random)] : 'x';
    }
    for (std::size_t i = 0; i + 1 < size; i += 1 + random() % 40) {
      text[i] = '\r';
      text[i + 1] = '\n';
    }
    const char* begin = text.data();
    const char* end = begin + size;
    const char* from = begin + (size == 0 ? 0 : random() % (size + 1));
    for (int lineStart : {static_cast<int>('F'), -1}) {
      ASSERT_EQ(findNotableLineFeed(begin, from, end, lineStart) - begin,
                reference(begin, from, end, lineStart) - begin)
          << "text size " << size << " from " << (from - begin) << " lineStart " << lineStart;
    }
  }
}

TEST(LineScanTest, PassesOverLongCrLfTextToTheNotableLineFeed) {
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += "a line of text\r\n";
  }
  const std::size_t bare = text.size();
  text += "bare\nFrom <x@y>\r\n";
  const char* begin = text.data();
  const char* end = begin + text.size();
  EXPECT_EQ(findNotableLineFeed(begin, begin, end, 'F') - begin,
            static_cast<std::ptrdiff_t>(bare + 4));
  // "From" after a CR LF is notable only when asked for.
  text.insert(bare + 4, "\r");
  begin = text.data();
  end = begin + text.size();
  EXPECT_EQ(findNotableLineFeed(begin, begin, end, 'F') - begin,
            static_cast<std::ptrdiff_t>(bare + 5));
  EXPECT_EQ(findNotableLineFeed(begin, begin, end, -1) - begin,
            static_cast<std::ptrdiff_t>(text.size() - 1));
}

}  // namespace
}  // namespace lodemig
