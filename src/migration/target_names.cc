#include "migration/target_names.h"

namespace lodemig {

std::string targetServerWord(const ConnectionSettings& connection) {
  return connection.standardServer ? "the IMAP server " + connection.host : "Torvane";
}
namespace {

constexpr const char kForbiddenChars[] = "<>:*?\"|\\";

}  // namespace

void replaceForbiddenChars(std::string& text, char replacement) {
  for (char& c : text) {
    for (const char* forbidden = kForbiddenChars; *forbidden != '\0'; ++forbidden) {
      if (c == *forbidden) {
        c = replacement;
        break;
      }
    }
  }
}

std::string targetFolderName(const std::string& storeName) {
  std::string name = storeName;
  replaceForbiddenChars(name, '_');
  return name;
}

std::vector<std::string> splitPath(const std::string& text, std::string_view separators) {
  std::vector<std::string> pieces;
  if (text.empty()) {
    return pieces;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace lodemig
