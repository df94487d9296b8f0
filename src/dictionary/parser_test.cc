#include "dictionary/parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fifo_guard.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

using testing::FifoGuard;
using testing::ScopedTempDir;
using testing::writeFile;

// Serves a string in reads of at most `chunk` bytes, so that small chunks put
// a buffer refill between every two bytes.
class StringStream : public ostrel::utils::VStream {
 public:
  StringStream(std::string text, std::size_t chunk) : text_(std::move(text)), chunk_(chunk) {}

 protected:
  ssize_t readRaw(void* buffer, std::size_t size) override {
    std::size_t count = std::min({size, chunk_, text_.size() - position_});
    std::memcpy(buffer, text_.data() + position_, count);
    position_ += count;
    return static_cast<ssize_t>(count);
  }
  ssize_t writeRaw(const void*, std::size_t) override { return 0; }

 private:
  std::string text_;
  std::size_t chunk_;
  std::size_t position_ = 0;
};

// A compact picture of a tree: "value" then {key=node;...} then (node,...).
std::string dump(const TreeNode& node) {
  std::string out = "\"" + node.value() + "\"";
  if (!node.children().empty()) {
    out += "{";
    for (const auto& [key, child] : node.children()) {
      out += key + "=" + dump(*child) + ";";
    }
    out += "}";
  }
  if (!node.elements().empty()) {
    out += "(";
    for (const auto& [index, element] : node.elements()) {
      out += std::to_string(index) + ":" + dump(*element) + ",";
    }
    out += ")";
  }
  return out;
}

// The tree as dump() shows it, or "error: " and the message.
std::string parse(const std::string& text, std::size_t chunk = 4096) {
  StringStream stream(text, chunk);
  Parser parser(stream);
  TreeNode root;
  try {
    parser.parseValue(root);
  } catch (const QLParseException& e) {
    return std::string("error: ") + e.what();
  }
  return dump(root);
}

std::string nested(const std::string& open, const std::string& close, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) {
    text += open;
  }
  text += "x";
  for (int i = 0; i < depth; ++i) {
    text += close;
  }
  return text;
}

struct Case {
  std::string input;
  std::string expected;
};

const std::vector<Case> kCases = {
    // Empty input and every kind of value.
    {"", "\"\""},
    {std::string(" \t\r\n\0\x1f ", 7), "\"\""},
    {"{}", "\"\""},
    {"( )", "\"\""},
    {"{ a = b ; }", "\"\"{a=\"b\";}"},
    {std::string("{\0a\0=\0b\0;\0}", 11), "\"\"{a=\"b\";}"},
    {"{ #StorageUsed = #2048 ; }", "\"\"{#StorageUsed=\"2048\";}"},
    {"(a, \"b c\" ,#1)", "\"\"(0:\"a\",1:\"b c\",2:\"1\",)"},
    {"(a,(b),{k=v;},())", "\"\"(0:\"a\",1:\"\"(0:\"b\",),2:\"\"{k=\"v\";},3:\"\",)"},
    {"word trailing ) garbage", "\"word\""},
    {"a}]({\"#\x7f", "\"a}]({\"#\x7f\""},
    {"\x80\xff\xe9", "\"\x80\xff\xe9\""},
    {"\"\x80\n\x01\xff\"", "\"\x80\n\x01\xff\""},
    // Keys: case-sensitive, iterated in unsigned byte order.
    {"{b=1;a=2;\xe9=3;B=4;}", "\"\"{B=\"4\";a=\"2\";b=\"1\";\xe9=\"3\";}"},
    // Escapes.
    {R"({ "Full Name" = "J\"o\\e\tX" ; })", "\"\"{Full Name=\"J\"o\\e\tX\";}"},
    {R"("\065\066")", "\"AB\""},
    {R"("\300")", "\",\""},
    {R"("a\nb\ec\rd")", "\"a\nb\nc\rd\""},
    {R"("\06x")", "error: expected numerical escape sequence '\\nnn'"},
    {R"("\q")", "error: unknown escpae sequence '\\q'"},
    {"\"\\\xe9\"", "error: unknown escpae sequence '\\\xe9'"},
    // Numbers and timestamps.
    {"#123", "\"123\""},
    {"#-7;", "\"-7\""},
    {"#x", "error: digit expected"},
    {"#", "error: unexpected EOF"},
    {"#-", "error: unexpected EOF"},
    {"#T", "\"\""},
    {"#T2009-03-01_12:00:59x", "\"2009-03-01_12:00:59\""},
    {"{ t = #T20090301T1 ; }", "error: expected ';'"},
    // Data blocks keep their text.
    {"[QUJD+/==]", "\"QUJD+/==\""},
    {"[]", "\"\""},
    {"[QU JD]", "error: bad char in datablock"},
    {"[QUJD", "error: unexpected EOF"},
    // Repeated keys: scalars replaced, dictionaries merged, arrays overwritten by index.
    {"{a=x;a=y;}", "\"\"{a=\"y\";}"},
    {"{d={p=1;q=2;};d={q=3;r=4;};}", "\"\"{d=\"\"{p=\"1\";q=\"3\";r=\"4\";};}"},
    {"{l=(a,b,c);l=(z);}", "\"\"{l=\"\"(0:\"z\",1:\"b\",2:\"c\",);}"},
    // Syntax errors.
    {"{ a = b }", "error: expected ';'"},
    {"{a=b}", "error: unexpected EOF"},
    {"{a=;}", "error: atom expected"},
    {"{a=b;;}", "error: atom expected"},
    {"{a b;}", "error: expected '='"},
    {"(a,)", "error: atom expected"},
    {"(a,,b)", "error: atom expected"},
    {"(,a)", "error: atom expected"},
    {"(a b)", "error: expected ','"},
    {")", "error: atom expected"},
    {"{", "error: unexpected EOF"},
    {"(a,", "error: unexpected EOF"},
    {"\"abc", "error: unexpected EOF"},
    {"\"ab\\", "error: unexpected EOF"},
    {"\"\\06", "error: unexpected EOF"},
};

class ParserTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParserTest, ParsesTableOfInputs) {
  for (const Case& c : kCases) {
    EXPECT_EQ(parse(c.input, GetParam()), c.expected) << "input: " << c.input;
  }
}

TEST_P(ParserTest, EveryTruncationIsUnexpectedEof) {
  const std::string valid = R"({ a = b; "q\"\065" = #-12; t = #T2009-01-01_10:00; )"
                            R"(l = ( x, "y", [QUJD], { k = v; } ); n = (); })";
  ASSERT_EQ(parse(valid, GetParam()).rfind("error", 0), std::string::npos);
  for (std::size_t length = 1; length < valid.size(); ++length) {
    EXPECT_EQ(parse(valid.substr(0, length), GetParam()), "error: unexpected EOF")
        << "prefix: " << valid.substr(0, length);
  }
}

// Chunk sizes 1 and 3 put refills inside every token, including between a
// '#' and the byte looked at after it.
INSTANTIATE_TEST_SUITE_P(Chunks, ParserTest, ::testing::Values(4096, 1, 3));

TEST(ParserDepthTest, NestingIsBoundedAtMaxDepth) {
  const int limit = Parser::kMaxDepth;
  std::string deepest = "\"x\"";
  for (int i = 0; i < limit; ++i) {
    deepest = "\"\"{a=" + deepest + ";}";
  }
  EXPECT_EQ(parse(nested("{a=", ";}", limit)), deepest);
  EXPECT_EQ(parse(nested("{a=", ";}", limit + 1)), "error: nesting too deep");
  EXPECT_EQ(parse(nested("(", ")", limit + 1)), "error: nesting too deep");
  EXPECT_EQ(parse(nested("({a=", ";})", limit / 2 + 1)), "error: nesting too deep");
  EXPECT_EQ(parse(std::string(100000, '(')), "error: nesting too deep");
  EXPECT_EQ(parse(nested("{a=", ";}", 100000)), "error: nesting too deep");
}

TEST(ReadDictionaryFileTest, NumberOrTimestampAcrossTheFirstBufferEnd) {
  ScopedTempDir dir;
  for (std::size_t offset = 4093; offset <= 4097; ++offset) {
    for (const std::string value : {"#-42", "#T1999"}) {
      std::string text = "{k=";
      text.resize(offset, ' ');
      writeFile(dir / "f", text + value + ";}");
      TreeNode root;
      readDictionaryFile(dir / "f", root);
      EXPECT_EQ(root.child("k").value(), value.substr(value[1] == 'T' ? 2 : 1)) << offset;
    }
  }
}

TEST(ReadDictionaryFileTest, ManyBuffersAndMergeIntoFilledRoot) {
  ScopedTempDir dir;
  std::string text = "{";
  for (int i = 0; i < 3000; ++i) {
    text += "key" + std::to_string(i) + " = \"value " + std::to_string(i) + "\";\n";
  }
  writeFile(dir / "big", text + "}");
  writeFile(dir / "small", "{ key7 = replaced; extra = #1; }");
  TreeNode root;
  readDictionaryFile(dir / "big", root);
  readDictionaryFile(dir / "small", root);
  EXPECT_EQ(root.children().size(), 3001u);
  EXPECT_EQ(root.child("key2999").value(), "value 2999");
  EXPECT_EQ(root.child("key7").value(), "replaced");
  EXPECT_EQ(root.child("extra").value(), "1");
}

TEST(ReadDictionaryFileTest, FailuresNameThePath) {
  ScopedTempDir dir;
  writeFile(dir / "bad", "{ a = b }");
  // A FIFO hung the run in its open, a link to /dev/zero read forever.
  FifoGuard fifo(dir / "fifo");
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero").c_str()), 0);
  // Refused by its size, although its first value ends at once.
  writeFile(dir / "huge", "{}");
  std::filesystem::resize_file(dir / "huge", kMaxDictionaryFileSize + 1);
  struct {
    std::string path;
    std::string message;
  } cases[] = {
      {dir / "missing", "cannot open file " + (dir / "missing")},
      {dir.path(), "cannot open file " + dir.path()},
      {fifo.path(), "cannot open file " + fifo.path()},
      {dir / "zero", "cannot open file " + (dir / "zero")},
      {dir / "huge", "file too large " + (dir / "huge")},
      {dir / "bad", "expected ';'"},
      // Reading the first page of the process's own memory fails.
      {"/proc/self/mem", "cannot read file /proc/self/mem"},
  };
  for (const auto& c : cases) {
    TreeNode root;
    try {
      readDictionaryFile(c.path, root);
      ADD_FAILURE() << "no error for " << c.path;
    } catch (const QLParseException& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  EXPECT_FALSE(fifo.released());
}

// Read to its last byte: both the size check and the count of bytes read
// let a file of exactly the limit through.
TEST(ReadDictionaryFileTest, FileOfTheLargestSizeIsRead) {
  ScopedTempDir dir;
  const std::string end = "k = v; }";
  std::string text = "{";
  text.resize(static_cast<std::size_t>(kMaxDictionaryFileSize) - end.size(), ' ');
  writeFile(dir / "f", text + end);
  TreeNode root;
  readDictionaryFile(dir / "f", root);
  EXPECT_EQ(root.child("k").value(), "v");
}

}  // namespace
}  // namespace lodemig
