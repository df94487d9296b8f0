#ifndef LODEMIG_MIGRATION_TARGET_NAMES_H_
#define LODEMIG_MIGRATION_TARGET_NAMES_H_

#include <string>
#include <string_view>
#include <vector>

#include "imap/connection_settings.h"

namespace lodemig {

// How lines people read name the target server: "Torvane" for the private
// target, "the IMAP server HOST" for a standard one.
std::string targetServerWord(const ConnectionSettings& connection);

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
