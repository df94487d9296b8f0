#include "migration/folder_roles.h"

#include <gtest/gtest.h>

#include "tests/temp_dir.h"

namespace lodemig {
namespace {

TEST(FolderRolesTest, UsualNamesInAnyCase) {
  const std::pair<SpecialUse, std::vector<const char*>> cases[] = {
      {SpecialUse::Sent,
       {"Sent", "sent", "SENT ITEMS", "sent mail", "Gesendete Objekte", "éléments envoyés",
        "Eléments envoyés", "Posta Inviata", "WYSŁANE", "ОТПРАВЛЕННЫЕ"}},
      {SpecialUse::Trash,
       {"Deleted Items", "BIN", "GELÖSCHTE OBJEKTE", "ÉLÉMENTS SUPPRIMÉS", "Papelera",
        "Itens Excluídos", "Lixo", "ELEMENTY USUNIĘTE", "KOŠ", "ODSTRANĚNÁ POŠTA", "Корзина",
        "УДАЛЁННЫЕ"}},
      {SpecialUse::Drafts, {"drafts", "ENTWÜRFE", "черновики"}},
      {SpecialUse::Junk,
       {"Junk E-mail", "junk email", "Bulk Mail", "junk-e-mail", "Courrier Indésirable",
        "Ongewenste E-mail", "LIXO ELETRÔNICO", "SKRÄPPOST", "WIADOMOŚCI-ŚMIECI",
        "NEVYŽÁDANÁ POŠTA"}},
  };
  for (const auto& [use, names] : cases) {
    for (const char* name : names) {
      EXPECT_EQ(specialUseOfName(name), use) << name;
    }
  }
}

TEST(FolderRolesTest, SubFoldersAndLookalikesAreNone) {
  for (const char* name :
       {"", "INBOX", "Outbox", "Sentinel", "Sent Items2", " Sent", "Sent ", "Sent/Old",
        "Archive/Sent", "Trash/", "/Trash", "Draftsman", "Spam!", "Sent\xff", "Elements envoyes",
        "Gel\xc3schte Objekte", "Gel\xc3\x96schte Objekte\xc3", "ENTWURFE", "KOS"}) {
    EXPECT_EQ(specialUseOfName(name), SpecialUse::None) << name;
  }
  EXPECT_EQ(specialUseOfName(std::string_view("Sent\0", 5)), SpecialUse::None);
}

TEST(FolderRolesTest, AttributesAndReportWords) {
  struct Case {
    SpecialUse use;
    const char* attribute;
    const char* word;
  };
  const Case cases[] = {{SpecialUse::None, "", ""},
                        {SpecialUse::Sent, "\\Sent", "sent"},
                        {SpecialUse::Trash, "\\Trash", "deleted"},
                        {SpecialUse::Drafts, "\\Drafts", "drafts"},
                        {SpecialUse::Junk, "\\Junk", "junk"}};
  for (const Case& c : cases) {
    EXPECT_STREQ(specialUseAttribute(c.use), c.attribute);
    EXPECT_STREQ(specialUseWord(c.use), c.word);
  }
}

class FolderMapTest : public ::testing::Test {
 protected:
  // Writes `content` as the map and reads it; the error, or "" when read.
  std::string read(const std::string& content) {
    testing::writeFile(path_, content);
    std::string error;
    mappings_ = {{"stale", "stale"}};
    return readFolderMap(path_, mappings_, error) ? std::string() : error;
  }

  testing::ScopedTempDir dir_;
  const std::string path_ = dir_ / "folders.map";
  // The mappings read, as pairs that print in a failure.
  std::vector<std::pair<std::string, std::string>> pairs() const {
    std::vector<std::pair<std::string, std::string>> result;
    for (const FolderMapping& mapping : mappings_) {
      result.emplace_back(mapping.storeName, mapping.targetName);
    }
    return result;
  }

  std::vector<FolderMapping> mappings_;
};

TEST_F(FolderMapTest, ReadsMappingsSkippingCommentsAndBlankLines) {
  ASSERT_EQ(read("\xEF\xBB\xBF# folder map\r\n"
                 "Sent Items\tSent\r\n"
                 "\n"
                 "  \t \r\n"
                 "#Trash\tnot a mapping\n"
                 "Archive/2007\tOld/2007 #1\n"
                 "Gelöschte Objekte\tTrash\n"
                 " x \t y \n"
                 "INBOX\tINBOX\n"
                 "inbox/Sub\tinbox/Sub\n"
                 "last\tno line end"),
            "");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Sent Items", "Sent"},
      {"Archive/2007", "Old/2007 #1"},
      {"Gelöschte Objekte", "Trash"},
      {" x ", " y "},
      {"INBOX", "INBOX"},
      {"inbox/Sub", "inbox/Sub"},
      {"last", "no line end"},
  };
  EXPECT_EQ(pairs(), expected);
  EXPECT_EQ(read(""), "");
  EXPECT_TRUE(mappings_.empty());
}

TEST_F(FolderMapTest, FaultsNameTheFileAndLine) {
  const std::string at = "folder map " + path_ + ", line ";
  const std::string expected = ": expected store name<TAB>target name";
  struct Case {
    std::string content;
    std::string error;
  };
  const Case cases[] = {
      {"Sent", at + "1" + expected},
      {"# c\r\n\r\nSent Items Sent\r\n", at + "3" + expected},
      {"a\tb\tc\n", at + "1" + expected},
      {"a\tb\n\tb\n", at + "2" + expected},
      {"a\t\r\n", at + "1" + expected},
      {" #a\n", at + "1" + expected},
      {"a\tb\r\r\n", at + "1: control character in a name"},
      {"a\tb\nc\x7f\td\n", at + "2: control character in a name"},
      {std::string("a\tb\0c\n", 6), at + "1: control character in a name"},
      {"a\tb\nc\xff\td\n", at + "2: not UTF-8"},
      {"Sent\tx\nTrash\ty\nSent\tz\n", at + "3: store name Sent mapped twice"},
      {"INBOX\tx\ninbox\ty\n", at + "2: store name inbox mapped twice"},
      {"Sent\tx\nsent\tx\nSent\tz\nbad\n", at + "3: store name Sent mapped twice"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.content), c.error) << ::testing::PrintToString(c.content);
  }
}

TEST_F(FolderMapTest, BoundsTheFile) {
  std::string lines(kMaxFolderMapLines, '\n');
  EXPECT_EQ(read(lines), "");
  EXPECT_EQ(read(lines + "\n"), "folder map " + path_ + " has more than 100000 lines");
  // At the limit the file is read; past it, whatever it holds, not.
  std::string large(kMaxFolderMapBytes - 4, '#');
  EXPECT_EQ(read(large + "\na\tb"), "");
  ASSERT_EQ(mappings_.size(), 1u);
  EXPECT_EQ(read(large + "\na\tbc"), "folder map " + path_ + " is larger than 16 MiB");
}

TEST_F(FolderMapTest, UnreadableFiles) {
  std::string error;
  EXPECT_FALSE(readFolderMap(dir_ / "none", mappings_, error));
  EXPECT_EQ(error, "cannot read folder map " + dir_ / "none");
  EXPECT_FALSE(readFolderMap(dir_.path(), mappings_, error));
  EXPECT_EQ(error, "cannot read folder map " + dir_.path());
}

TEST_F(FolderMapTest, FindsExactNamesAndInboxInAnyCase) {
  ASSERT_EQ(read("Sent\ta\ninbox\tb\nINBOX/x\tc\n"), "");
  struct Case {
    const char* storeName;
    const char* target;  // null: no mapping
  };
  const Case cases[] = {
      {"Sent", "a"},  {"sent", nullptr}, {"SENT", nullptr},    {"INBOX", "b"},     {"Inbox", "b"},
      {"inbox", "b"}, {"INBOX/x", "c"},  {"inbox/x", nullptr}, {"Sent ", nullptr}, {"", nullptr}};
  for (const Case& c : cases) {
    const FolderMapping* mapping = findMapping(mappings_, c.storeName);
    if (c.target == nullptr) {
      EXPECT_EQ(mapping, nullptr) << c.storeName;
    } else {
      ASSERT_NE(mapping, nullptr) << c.storeName;
      EXPECT_EQ(mapping->targetName, c.target) << c.storeName;
    }
  }
}

}  // namespace
}  // namespace lodemig
