#include "migration/folder_placement.h"

#include "imap/list_response.h"
#include "imap/mailbox_name.h"
#include "migration/target_names.h"
#include "utils/ascii.h"

namespace lodemig {

const char* nonMailKindWord(FolderType type) {
  switch (type) {
    case kFolderTypeContacts:
      return "contacts";
    case kFolderTypeCalendar:
      return "calendar";
    case kFolderTypeTasks:
      return "tasks";
    case kFolderTypeJournal:
      return "journal";
    default:
      return "";
  }
}

FolderPlacement::FolderPlacement(const ServerTraits& traits,
                                 const std::vector<std::string>& listResponses,
                                 const std::vector<FolderMapping>& map)
    : traits_(traits), map_(map) {
  constexpr SpecialUse kUses[] = {SpecialUse::Sent, SpecialUse::Trash, SpecialUse::Drafts,
                                  SpecialUse::Junk};
  for (const std::string& response : listResponses) {
    ListEntry entry;
    if (!parseListResponse(response, entry)) {
      continue;
    }
    for (SpecialUse use : kUses) {
      std::string& known = special_[static_cast<int>(use)];
      // The first folder the server marks is where its clients look.
      if (known.empty() && hasAttribute(entry, specialUseAttribute(use))) {
        known = entry.name;
      }
    }
  }
}

bool FolderPlacement::encode(const std::string& name, std::string& wire) const {
  if (traits_.utf8) {
    std::string ignored;
    wire = name;
    // Still refuse what is not UTF-8: the server would.
    return encodeModifiedUtf7(name, ignored);
  }
  return encodeModifiedUtf7(name, wire);
}

FolderPlacement::Place FolderPlacement::place(const std::string& storeName) const {
  Place place;
  if (const FolderMapping* mapping = findMapping(map_, storeName)) {
    place.shownName = mapping->targetName;
    place.note = "   Info: folder \"" + storeName + "\" goes into \"" + mapping->targetName +
                 "\", as the folder map says\n";
  } else if (const SpecialUse use = specialUseOfName(storeName);
             use != SpecialUse::None && !special_[static_cast<int>(use)].empty()) {
    place.wireName = special_[static_cast<int>(use)];
    std::string shown;
    place.shownName =
        traits_.utf8 || !decodeModifiedUtf7(place.wireName, shown) ? place.wireName : shown;
    place.note = "   Info: folder \"" + storeName + "\" goes into \"" + place.shownName +
                 "\", the target's " + specialUseWord(use) + " folder\n";
    return place;
  } else {
    // The store's levels, joined with the server's separator; a separator
    // inside a level would make a level of its own.
    const std::string separator = traits_.separator.empty() ? "_" : traits_.separator;
    for (std::string level : splitPath(storeName, "/")) {
      if (!traits_.separator.empty()) {
        for (char& c : level) {
          c = c == traits_.separator[0] ? '_' : c;
        }
      }
      place.shownName += place.shownName.empty() ? level : separator + level;
    }
    if (ostrel::utils::equalsIgnoreCase(place.shownName, "INBOX")) {
      place.shownName = "INBOX";
    }
    // Servers that declare their special folders without creating them list
    // nothing to go by; the folder keeps its name, and that is said.
    if (const SpecialUse unmarked = specialUseOfName(storeName); unmarked != SpecialUse::None) {
      place.unmarked = std::string("the target marks no folder ") + specialUseAttribute(unmarked) +
                       ", its clients may make their own " + specialUseWord(unmarked) +
                       " folder beside it";
      place.note = "   Warning: folder \"" + storeName + "\" goes into \"" + place.shownName +
                   "\": " + place.unmarked + "\n";
    }
  }
  if (!encode(place.shownName, place.wireName)) {
    place.error = "the folder name \"" + storeName + "\" is not valid UTF-8";
  }
  return place;
}

}  // namespace lodemig
