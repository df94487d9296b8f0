#ifndef LODEMIG_DICTIONARY_PARSER_H_
#define LODEMIG_DICTIONARY_PARSER_H_

#include <string>

#include "dictionary/tree_node.h"
#include "utils/ql_exception.h"
#include "utils/vfile.h"

namespace lodemig {

// Loads the settings file at `path` into `root` (not cleared first: a node that
// already holds data is merged into, as a repeated key would be). Throws
// QLParseException with "cannot open file " + path when the file cannot be
// opened, or with the parser's message when it is malformed. The file is closed
// either way.
void readDictionaryFile(const std::string& path, TreeNode& root);

// Recursive-descent parser of the settings format over a buffered file.
// `file` must stay open while the parser is used. Nesting of dictionaries and
// arrays is bounded (kMaxDepth); deeper input raises "nesting too deep".
class Parser {
 public:
  static constexpr int kMaxDepth = 1000;

  explicit Parser(ostrel::utils::VStream& file) : file_(file) {}
  virtual ~Parser() = default;

  // Reads one value of any kind into `node`. At end of input, returns with
  // `node` unchanged.
  void parseValue(TreeNode& node);

 private:
  bool skipWhitespace();
  void parseDictionary(TreeNode& node);
  void parseArray(TreeNode& node);
  std::string parseString();
  std::string parseAtom();
  std::string parseQuotedString();
  std::string parseNumber();
  std::string parseTimestamp();
  std::string parseDataBlock();

  ostrel::utils::VStream& file_;
  int depth_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_DICTIONARY_PARSER_H_
