#ifndef LODEMIG_DICTIONARY_PARSER_H_
#define LODEMIG_DICTIONARY_PARSER_H_

#include <cstdint>
#include <string>

#include "dictionary/tree_node.h"
#include "utils/ql_exception.h"
#include "utils/vfile.h"

namespace lodemig {

// The largest settings file read, far beyond any real one (a few KiB): it
// keeps a huge file, or one that grows while it is read, from being read
// without end.
constexpr std::int64_t kMaxDictionaryFileSize = std::int64_t{16} << 20;

// Loads the settings file at `path` into `root` (not cleared first: a node that
// already holds data is merged into, as a repeated key would be). Throws
// QLParseException with "cannot open file " + path when the file cannot be
// opened or is no regular file (a directory, a FIFO, a device), "file too
// large " + path when it holds more than kMaxDictionaryFileSize bytes (when
// opened or as read), "cannot read file " + path when reading it fails part
// way, or with the parser's message when it is malformed. The file is closed
// either way; on an error `root` may be partly filled and should be discarded.
void readDictionaryFile(const std::string& path, TreeNode& root);

// Recursive-descent parser of the settings format over a buffered stream.
// One value is read; whatever follows it is left unread. Whitespace is every
// byte from 0 to 32. Values:
//   { key = value ; ... }   dictionary, every entry ends with ';'
//   ( value , ... )         array, elements numbered from 0
//   "text"                  quoted string; escapes \" \\ \n \e (also a line
//                           feed) \r \t and \ddd (decimal, modulo 256)
//   #-123                   number, stored without the '#'
//   #T2009-03-01_12:00      timestamp, stored without the "#T"
//   [base64=]               data block: bytes A-Z a-z 0-9 + / = up to ']';
//                           the collected text (not decoded) is the value
//   anything else           atom: bytes up to whitespace ; = , or )
// Every scalar is stored as text in the node's value. A repeated dictionary
// key parses into the same node again. Nesting of dictionaries and arrays is
// bounded (kMaxDepth); deeper input raises "nesting too deep".
// `file` must stay open while the parser is used. Errors are thrown as
// QLParseException carrying only the message text.
class Parser {
 public:
  static constexpr int kMaxDepth = 1000;

  explicit Parser(ostrel::utils::VStream& file) : file_(file) {}
  virtual ~Parser() = default;
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Reads one value of any kind into `node`. At end of input, returns with
  // `node` unchanged.
  void parseValue(TreeNode& node);

 private:
  // Skips whitespace; false at end of input, else the next byte stays unread.
  bool skipWhitespace();
  void parseDictionary(TreeNode& node);
  void parseArray(TreeNode& node);
  std::string parseString();
  std::string parseAtom();
  std::string parseQuotedString();
  std::string parseNumber();
  std::string parseTimestamp();
  std::string parseDataBlock();
  // Reads the next byte, which must be `expected`; else throws
  // "expected '" + expected + "'".
  void expect(char expected);

  ostrel::utils::VStream& file_;
  int depth_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_DICTIONARY_PARSER_H_
