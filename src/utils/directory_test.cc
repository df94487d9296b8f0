#include "utils/directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "tests/temp_dir.h"

namespace ostrel::utils {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

std::map<std::string, int> listAll(const std::string& path) {
  DirectoryListing listing;
  std::map<std::string, int> entries;
  if (!listing.open(path)) {
    return entries;
  }
  for (int i = 0; i < 1000; ++i) {
    const DirectoryEntry* entry = listing.read();
    if (entry == nullptr) {
      break;
    }
    entries[entry->name] = entry->type;
  }
  return entries;
}

TEST(DirectoryTest, EmptyDirectoryListsOnlyDotEntries) {
  ScopedTempDir dir;
  std::map<std::string, int> expected = {{".", 4}, {"..", 4}};
  EXPECT_EQ(listAll(dir.path()), expected);
}

TEST(DirectoryTest, FileOrMissingPathGivesNoListing) {
  ScopedTempDir dir;
  writeFile(dir / "file", "x");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  DirectoryListing listing;
  EXPECT_FALSE(listing.open(dir / "file"));
  EXPECT_FALSE(listing.open(dir / "fifo"));
  EXPECT_FALSE(listing.open(dir / "missing"));
  EXPECT_EQ(listing.read(), nullptr);
}

TEST(DirectoryTest, SymbolicLinksAreClassifiedByWhatTheyPointTo) {
  ScopedTempDir dir;
  writeFile(dir / "real/a.mbox", "x");
  ASSERT_EQ(::mkdir((dir / "realdir.macnt").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((dir / "realdir.macnt").c_str(), (dir / "real/linked.macnt").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "real/a.mbox").c_str(), (dir / "real/b.mbox").c_str()), 0);
  std::map<std::string, int> entries = listAll(dir / "real");
  EXPECT_EQ(entries["linked.macnt"], DirectoryEntry::kDirectory);
  EXPECT_EQ(entries["b.mbox"], DirectoryEntry::kOther);
  EXPECT_EQ(entries["a.mbox"], DirectoryEntry::kOther);
}

}  // namespace
}  // namespace ostrel::utils
