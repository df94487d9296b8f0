#ifndef LODEMIG_MIGRATION_FOLDER_PLACEMENT_H_
#define LODEMIG_MIGRATION_FOLDER_PLACEMENT_H_

#include <string>
#include <vector>

#include "imap/imap_gateway.h"
#include "migration/folder_roles.h"
#include "store/store_kind.h"

namespace lodemig {

// The word of a folder kind a standard IMAP server cannot keep ("calendar",
// "contacts", "tasks", "journal"); "" for mail and every other kind.
const char* nonMailKindWord(FolderType type);

// Where a store folder goes on the target.
struct FolderPlace {
  std::string wireName;   // the target folder, as commands name it
  std::string shownName;  // the same, as the report shows it (UTF-8)
  std::string note;       // a report line saying why it goes there, or ""
  std::string error;      // when not empty, the folder cannot be placed
  // For a store folder of a special use the server marks no folder with:
  // why clients may not find it there ("the target marks no folder \Sent,
  // its clients may make their own sent folder beside it"); "" otherwise.
  std::string unmarked;
};

// Where one account's folders go on a standard IMAP server: the folder map
// first, then the server's special folders for the store's sent, deleted,
// drafts and junk folders, else the store's path with the server's
// hierarchy separator. Names on the wire are in modified UTF-7 unless the
// server accepts UTF-8.
class FolderPlacement {
 public:
  // `listResponses`: the account's LIST "" "*" answers. `map` must outlive
  // the object.
  FolderPlacement(const ServerTraits& traits, const std::vector<std::string>& listResponses,
                  const std::vector<FolderMapping>& map);

  using Place = FolderPlace;
  Place place(const std::string& storeName) const;

 private:
  // The wire form of a UTF-8 name; false when it is not valid UTF-8.
  bool encode(const std::string& name, std::string& wire) const;

  ServerTraits traits_;
  const std::vector<FolderMapping>& map_;
  // The server's special folders, by SpecialUse, wire names ("" none).
  std::string special_[5];
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FOLDER_PLACEMENT_H_
