#ifndef LODEMIG_MIGRATION_TARGET_NAMES_H_
#define LODEMIG_MIGRATION_TARGET_NAMES_H_

#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// Replaces, in place, each of < > : * ? " | \ by `replacement`. The slash
// stays: it separates folder levels.
void replaceForbiddenChars(std::string& text, char replacement);

// A folder's name on the private target: the forbidden characters replaced.
std::string targetFolderName(const std::string& storeName);

// The pieces of `text` between any of the `separators`, in order, empty
// pieces included ("a//b" gives "a", "", "b"); an empty text gives none.
std::vector<std::string> splitPath(const std::string& text, std::string_view separators);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_TARGET_NAMES_H_
