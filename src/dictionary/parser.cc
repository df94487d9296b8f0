#include "dictionary/parser.h"

namespace lodemig {
namespace {

constexpr int kEnd = -1;

bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

bool isDataBlockByte(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '+' || c == '/' ||
         c == '=';
}

[[noreturn]] void fail(const std::string& message) {
  throw QLParseException(message);
}

[[noreturn]] void failEof() {
  fail("unexpected EOF");
}

// Counts one level of dictionary or array nesting for as long as it is parsed.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) {
    // Each level is a few stack frames; a hostile file must not be able to
    // exhaust the stack.
    if (depth_ >= Parser::kMaxDepth) {
      fail("nesting too deep");
    }
    ++depth_;
  }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

void failIfReadFailed(const ostrel::utils::VFile& file, const std::string& path) {
  if (file.readLimitReached()) {
    fail("file too large " + path);
  }
  if (file.readFailed()) {
    fail("cannot read file " + path);
  }
}

}  // namespace

void readDictionaryFile(const std::string& path, TreeNode& root) {
  ostrel::utils::VFile file;
  if (!file.open(path, "rb")) {
    fail("cannot open file " + path);
  }
  // Refused whole, also when its first value would end early: whether a file
  // is read must not depend on where its syntax stops the parser.
  if (file.openedSize() > kMaxDictionaryFileSize) {
    fail("file too large " + path);
  }
  file.limitReads(kMaxDictionaryFileSize);
  Parser parser(file);
  try {
    parser.parseValue(root);
  } catch (const QLParseException&) {
    // A failed read looks like the end of the input to the parser; report
    // the read failure rather than the syntax error it caused.
    failIfReadFailed(file, path);
    throw;
  }
  failIfReadFailed(file, path);
}

bool Parser::skipWhitespace() {
  for (;;) {
    int c = file_.getChar();
    if (c == kEnd) {
      return false;
    }
    if (c > ' ') {
      file_.ungetChar(c);
      return true;
    }
  }
}

void Parser::expect(char expected) {
  if (file_.getChar() != static_cast<unsigned char>(expected)) {
    fail(std::string("expected '") + expected + "'");
  }
}

void Parser::parseValue(TreeNode& node) {
  if (!skipWhitespace()) {
    return;
  }
  switch (file_.peekChar()) {
    case '#': {
      // Both bytes stay unread for the reader chosen here.
      file_.getChar();
      int next = file_.peekChar();
      file_.ungetChar('#');
      node.setValue(next == 'T' ? parseTimestamp() : parseNumber());
      break;
    }
    case '(': {
      DepthGuard guard(depth_);
      parseArray(node);
      break;
    }
    case '{': {
      DepthGuard guard(depth_);
      parseDictionary(node);
      break;
    }
    case '[':
      node.setValue(parseDataBlock());
      break;
    default:
      node.setValue(parseString());
      break;
  }
}

void Parser::parseDictionary(TreeNode& node) {
  expect('{');
  if (!skipWhitespace()) {
    failEof();
  }
  for (;;) {
    if (file_.peekChar() == '}') {
      file_.getChar();
      return;
    }
    std::string key = parseString();
    if (!skipWhitespace()) {
      failEof();
    }
    expect('=');
    parseValue(node.child(key));
    if (!skipWhitespace()) {
      failEof();
    }
    expect(';');
    if (!skipWhitespace()) {
      failEof();
    }
  }
}

void Parser::parseArray(TreeNode& node) {
  expect('(');
  if (!skipWhitespace()) {
    failEof();
  }
  for (std::uint32_t counter = 0;; ++counter) {
    int c = file_.peekChar();
    if (c == ')') {
      file_.getChar();
      return;
    }
    if (counter > 0) {
      if (c != ',') {
        fail("expected ','");
      }
      file_.getChar();
    }
    parseValue(node.element(counter));
    if (!skipWhitespace()) {
      failEof();
    }
  }
}

std::string Parser::parseString() {
  if (!skipWhitespace()) {
    failEof();
  }
  return file_.peekChar() == '"' ? parseQuotedString() : parseAtom();
}

std::string Parser::parseAtom() {
  std::string text;
  for (;;) {
    int c = file_.getChar();
    if (c == kEnd || c <= ' ' || c == ';' || c == '=' || c == ',' || c == ')') {
      file_.ungetChar(c);
      break;
    }
    text.push_back(static_cast<char>(c));
  }
  if (text.empty()) {
    fail("atom expected");
  }
  return text;
}

std::string Parser::parseQuotedString() {
  expect('"');
  std::string text;
  for (;;) {
    int c = file_.getChar();
    if (c == kEnd) {
      failEof();
    }
    if (c == '"') {
      return text;
    }
    if (c != '\\') {
      text.push_back(static_cast<char>(c));
      continue;
    }
    c = file_.getChar();
    switch (c) {
      case kEnd:
        failEof();
      case '"':
      case '\\':
        text.push_back(static_cast<char>(c));
        break;
      case 'n':
      case 'e':
        text.push_back('\n');
        break;
      case 'r':
        text.push_back('\r');
        break;
      case 't':
        text.push_back('\t');
        break;
      default: {
        if (!isDigit(c)) {
          fail(std::string("unknown escpae sequence '\\") + static_cast<char>(c) + "'");
        }
        int value = c - '0';
        for (int i = 0; i < 2; ++i) {
          int digit = file_.getChar();
          // The input ending here is still the input ending inside the string.
          if (digit == kEnd) {
            failEof();
          }
          if (!isDigit(digit)) {
            fail("expected numerical escape sequence '\\nnn'");
          }
          value = value * 10 + (digit - '0');
        }
        text.push_back(static_cast<char>(value % 256));
        break;
      }
    }
  }
}

std::string Parser::parseNumber() {
  expect('#');
  std::string text;
  int c = file_.getChar();
  if (c == '-') {
    text.push_back('-');
    c = file_.getChar();
  }
  if (c == kEnd) {
    failEof();
  }
  if (!isDigit(c)) {
    fail("digit expected");
  }
  while (isDigit(c)) {
    text.push_back(static_cast<char>(c));
    c = file_.getChar();
  }
  file_.ungetChar(c);
  return text;
}

std::string Parser::parseTimestamp() {
  expect('#');
  expect('T');
  std::string text;
  for (;;) {
    int c = file_.getChar();
    if (!isDigit(c) && c != '-' && c != '_' && c != ':') {
      file_.ungetChar(c);
      return text;
    }
    text.push_back(static_cast<char>(c));
  }
}

std::string Parser::parseDataBlock() {
  expect('[');
  std::string text;
  for (;;) {
    int c = file_.getChar();
    if (c == kEnd) {
      failEof();
    }
    if (c == ']') {
      return text;
    }
    if (!isDataBlockByte(c)) {
      fail("bad char in datablock");
    }
    text.push_back(static_cast<char>(c));
  }
}

}  // namespace lodemig
