#ifndef LODEMIG_MIGRATION_FOLDER_ROLES_H_
#define LODEMIG_MIGRATION_FOLDER_ROLES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// The uses a target server may mark folders with, for clients to find the
// account's sent mail, deleted mail, drafts and junk whatever their names.
enum class SpecialUse { None, Sent, Trash, Drafts, Junk };

// The use of a store folder known by its usual name in English, German,
// French, Spanish, Italian, Dutch, Portuguese, Swedish, Polish, Czech or
// Russian ("Sent Items", "Papierkorb", "Éléments envoyés"...). Top-level
// folders only: a name with "/" in it is None. Matched without regard to the
// case of ASCII, Latin and Cyrillic letters; `storeFolderName` is UTF-8.
SpecialUse specialUseOfName(std::string_view storeFolderName);

// The attribute a LIST response marks the folder with: "\\Sent", "\\Trash",
// "\\Drafts", "\\Junk"; "" for None.
const char* specialUseAttribute(SpecialUse use);
// The word report lines use: "sent", "deleted", "drafts", "junk"; "" for None.
const char* specialUseWord(SpecialUse use);

// One line of a folder map: the store folder and the target folder it goes
// to, both UTF-8, folder levels separated by "/".
struct FolderMapping {
  std::string storeName;
  std::string targetName;
};

// Limits of a folder map, so that a wrong file given as one fails fast.
constexpr std::size_t kMaxFolderMapBytes = std::size_t{16} << 20;
constexpr std::size_t kMaxFolderMapLines = 100000;

// Reads the folder map at `path` into `mappings` (replacing what they held):
// one "store name<TAB>target name" per line, in UTF-8, an optional CR before
// the LF and a UTF-8 byte order mark at the start dropped; empty lines,
// lines of blanks and lines starting with "#" skipped. False, with
// `mappings` unspecified and the text of the first fault in `error`, for
//   "cannot read folder map F",
//   "folder map F is larger than 16 MiB" (kMaxFolderMapBytes),
//   "folder map F has more than 100000 lines" (kMaxFolderMapLines),
//   "folder map F, line N: not UTF-8",
//   "folder map F, line N: control character in a name",
//   "folder map F, line N: expected store name<TAB>target name" (no TAB,
//     more than one, or an empty side),
//   "folder map F, line N: store name X mapped twice" (INBOX in any case
//     counting as one name).
bool readFolderMap(const std::string& path, std::vector<FolderMapping>& mappings,
                   std::string& error);

// The mapping of `storeName`, or null: names match exactly, except that
// "INBOX" in any case matches an entry for INBOX in any case. The pointer
// lives as long as `mappings` is not changed.
const FolderMapping* findMapping(const std::vector<FolderMapping>& mappings,
                                 std::string_view storeName);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FOLDER_ROLES_H_
