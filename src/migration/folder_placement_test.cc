#include "migration/folder_placement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lodemig {
namespace {

ServerTraits dotted() {
  ServerTraits traits;
  traits.separator = ".";
  return traits;
}

const std::vector<std::string> kSpecialFolders = {
    "* LIST (\\HasNoChildren) \".\" INBOX",
    "* LIST (\\HasNoChildren \\Sent) \".\" Sent",
    "* LIST (\\HasNoChildren \\Trash) \".\" \"Gel&APY-scht\"",
    "* LIST (\\Junk) \".\" Junk",
    "* LIST (\\Junk) \".\" Spam2",  // the first one marked is where clients look
};

TEST(FolderPlacementTest, StorePathsInTheServersNaming) {
  const std::vector<FolderMapping> none;
  struct Case {
    std::string store, wire, shown;
  };
  const Case cases[] = {
      {"Archive/2007", "Archive.2007", "Archive.2007"},
      {"v1.2/notes", "v1_2.notes", "v1_2.notes"},  // a separator inside a level
      {"inbox", "INBOX", "INBOX"},
      {"Inbox/sub", "Inbox.sub", "Inbox.sub"},
      {"Größe & Maß", "Gr&APYA3w-e &- Ma&AN8-", "Größe & Maß"},
      {"日本語", "&ZeVnLIqe-", "日本語"},
  };
  const FolderPlacement placement(dotted(), {}, none);
  for (const Case& c : cases) {
    const FolderPlacement::Place place = placement.place(c.store);
    EXPECT_EQ(place.wireName, c.wire) << c.store;
    EXPECT_EQ(place.shownName, c.shown) << c.store;
    EXPECT_EQ(place.note, "") << c.store;
    EXPECT_EQ(place.error, "") << c.store;
  }
  ServerTraits utf8 = dotted();
  utf8.utf8 = true;
  EXPECT_EQ(FolderPlacement(utf8, {}, none).place("Größe/x").wireName, "Größe.x");
  ServerTraits flat;
  EXPECT_EQ(FolderPlacement(flat, {}, none).place("a/b").wireName, "a_b");
  EXPECT_EQ(placement.place("bad \xC3(").error, "the folder name \"bad \xC3(\" is not valid UTF-8");
}

TEST(FolderPlacementTest, SpecialFoldersAndTheMapWin) {
  const std::vector<FolderMapping> none;
  const FolderPlacement placement(dotted(), kSpecialFolders, none);
  FolderPlacement::Place sent = placement.place("Sent Items");
  EXPECT_EQ(sent.wireName, "Sent");
  EXPECT_EQ(sent.note,
            "   Info: folder \"Sent Items\" goes into \"Sent\", the target's sent folder\n");
  FolderPlacement::Place trash = placement.place("Papierkorb");
  EXPECT_EQ(trash.wireName, "Gel&APY-scht");
  EXPECT_EQ(trash.note,
            "   Info: folder \"Papierkorb\" goes into \"Gelöscht\", the target's deleted folder\n");
  EXPECT_EQ(placement.place("Spam").wireName, "Junk");
  // The server has no drafts folder: the store's name stays, and that is
  // said, since the server's clients will not look there.
  const FolderPlacement::Place drafts = placement.place("Drafts");
  EXPECT_EQ(drafts.wireName, "Drafts");
  EXPECT_EQ(drafts.note,
            "   Warning: folder \"Drafts\" goes into \"Drafts\": the target marks no folder "
            "\\Drafts, its clients may make their own drafts folder beside it\n");
  EXPECT_EQ(placement.place("Sent Items").unmarked, "");
  // Below the top level a name is just a name.
  EXPECT_EQ(placement.place("Old/Sent Items").wireName, "Old.Sent Items");

  const std::vector<FolderMapping> map = {{"Sent Items", "Archiv.Gesendet ä"},
                                          {"Projects", "Work"}};
  const FolderPlacement mapped(dotted(), kSpecialFolders, map);
  sent = mapped.place("Sent Items");
  EXPECT_EQ(sent.wireName, "Archiv.Gesendet &AOQ-");
  EXPECT_EQ(
      sent.note,
      "   Info: folder \"Sent Items\" goes into \"Archiv.Gesendet ä\", as the folder map says\n");
  EXPECT_EQ(mapped.place("Projects").wireName, "Work");
  EXPECT_EQ(mapped.place("Papierkorb").wireName, "Gel&APY-scht");
}

TEST(FolderPlacementTest, KindsWithoutMail) {
  EXPECT_STREQ(nonMailKindWord(kFolderTypeCalendar), "calendar");
  EXPECT_STREQ(nonMailKindWord(kFolderTypeContacts), "contacts");
  EXPECT_STREQ(nonMailKindWord(kFolderTypeTasks), "tasks");
  EXPECT_STREQ(nonMailKindWord(kFolderTypeJournal), "journal");
  EXPECT_STREQ(nonMailKindWord(kFolderTypeMail), "");
  EXPECT_STREQ(nonMailKindWord(kFolderTypeNone), "");
}

}  // namespace
}  // namespace lodemig
