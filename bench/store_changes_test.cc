#include "bench/store_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;
using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;
using lodemig::testing::writeFile;

// A mailbox file read back on its own terms: every line that begins with
// "From <" starts a message, which ends two bytes before the next such line.
struct ReadBack {
  std::vector<std::string> letters;  // of each header line
  std::vector<std::string> uids;
  std::vector<std::string> contents;
};

ReadBack readMailbox(const std::string& path) {
  const std::string file = readFile(path);
  static const std::regex header("From <[^>]+>\\(([A-Z]*)-([0-9]+)\\) [^\r\n]+\r\n");
  ReadBack back;
  size_t at = 0;
  while (at < file.size()) {
    std::smatch match;
    const size_t lineEnd = file.find('\n', at) + 1;
    const std::string line = file.substr(at, lineEnd - at);
    EXPECT_TRUE(std::regex_match(line, match, header)) << line;
    back.letters.push_back(match[1]);
    back.uids.push_back(match[2]);
    const size_t next = file.find("\r\nFrom <", lineEnd);
    back.contents.push_back(
        file.substr(lineEnd, (next == std::string::npos ? file.size() : next) - lineEnd));
    at = next == std::string::npos ? file.size() : next + 2;
  }
  return back;
}

// "PREFIX-FLAGS-TIME-REST" split into the letters and the rest.
std::pair<std::string, std::string> splitName(const std::string& name) {
  const size_t first = name.find('-');
  const size_t second = name.find('-', first + 1);
  return {name.substr(first + 1, second - first - 1),
          name.substr(0, first + 1) + name.substr(second)};
}

std::vector<std::string> sortedNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StoreChangesTest, ChangedLettersKeepTheirLengthAndDiffer) {
  const std::pair<std::string, std::string> cases[] = {{"S", "A"},   {"A", "S"},     {"SA", "FA"},
                                                       {"SF", "AF"}, {"SAF", "DAF"}, {"SAFD", ""},
                                                       {"", ""},     {"D", "S"}};
  for (const auto& [before, after] : cases) {
    EXPECT_EQ(changedFlagLetters(before), after) << before;
  }
}

TEST(StoreChangesTest, MailboxFileGetsItsFlagsRewrittenInPlaceAndNewMessagesAppended) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.messagesPerAccount = 200;
  StoreManifest manifest = generateStore(plan, dir / "store");
  const uint64_t bytesBefore = manifest.bytes;
  const ReadBack before = readMailbox(manifest.accounts[0].inboxPath);
  ASSERT_EQ(before.letters.size(), 200u);

  const StoreChanges changes = changeStore({3, 4, 7}, &manifest);
  const ReadBack after = readMailbox(manifest.accounts[0].inboxPath);
  ASSERT_EQ(after.letters.size(), 203u);
  ASSERT_EQ(changes.flags.size(), 4u);
  std::vector<std::string> expected = before.letters;
  for (const FlagChange& change : changes.flags) {
    EXPECT_EQ(before.letters[change.index], change.before);
    EXPECT_NE(change.after, change.before);
    expected[change.index] = change.after;
  }
  for (size_t i = 0; i < 200; ++i) {
    EXPECT_EQ(after.letters[i], expected[i]) << i;
    EXPECT_EQ(after.contents[i], before.contents[i]) << i;
    EXPECT_EQ(after.uids[i], std::to_string(i + 1));
  }
  uint64_t newBytes = 0;
  for (size_t i = 200; i < 203; ++i) {
    EXPECT_EQ(after.letters[i], "");
    EXPECT_EQ(after.uids[i], std::to_string(i + 1));
    const MessageSpan& span = manifest.accounts[0].spans[i];
    EXPECT_EQ(readFile(manifest.accounts[0].inboxPath).substr(span.offset, span.length),
              after.contents[i]);
    newBytes += after.contents[i].size();
  }
  EXPECT_EQ(changes.newMessages, 3u);
  EXPECT_EQ(changes.newBytes, newBytes);
  EXPECT_EQ(manifest.messages, 203u);
  EXPECT_EQ(manifest.bytes, bytesBefore + newBytes);
}

TEST(StoreChangesTest, MessageDirectoryGetsRenamesAndNewFiles) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.messagesPerAccount = 100;
  plan.layouts = {AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "store");
  const std::string inbox = manifest.accounts[0].inboxPath;
  const std::vector<std::string> before = sortedNames(inbox);
  std::map<std::string, std::string> contentBefore;
  for (const std::string& name : before) {
    contentBefore[name] = readFile(inbox + "/" + name);
  }

  const StoreChanges changes = changeStore({2, 3, 7}, &manifest);
  const std::vector<std::string> after = sortedNames(inbox);
  ASSERT_EQ(after.size(), 102u);
  ASSERT_EQ(changes.flags.size(), 3u);
  ASSERT_EQ(changes.newFiles.size(), 2u);
  for (const FlagChange& change : changes.flags) {
    const auto [letters, rest] = splitName(before[change.index]);
    EXPECT_EQ(letters, change.before);
    // The renamed file is the only one with the old name's part without flags.
    const auto renamed = std::find_if(after.begin(), after.end(), [&](const std::string& name) {
      return splitName(name).second == rest;
    });
    ASSERT_NE(renamed, after.end());
    EXPECT_EQ(splitName(*renamed).first, change.after);
    EXPECT_EQ(readFile(inbox + "/" + *renamed), contentBefore[before[change.index]]);
  }
  uint64_t newBytes = 0;
  for (const std::string& path : changes.newFiles) {
    EXPECT_EQ(splitName(fs::path(path).filename().string()).first, "");
    newBytes += fs::file_size(path);
  }
  EXPECT_EQ(changes.newBytes, newBytes);
  // The manifest names exactly the files there are now.
  std::vector<std::string> files = manifest.messageFiles;
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), after.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i], inbox + "/" + after[i]);
  }
  EXPECT_EQ(manifest.messages, 102u);
}

TEST(StoreChangesTest, FlagChangesFallBackToMessagesBeforeTheDraw) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.messagesPerAccount = 100;
  plan.layouts = {AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "store");
  // Only the first ten messages have letters to change: a draw past them
  // must come back for one.
  const std::string inbox = manifest.accounts[0].inboxPath;
  const std::vector<std::string> names = sortedNames(inbox);
  for (size_t i = 10; i < names.size(); ++i) {
    fs::rename(inbox + "/" + names[i], inbox + "/" + splitName(names[i]).second);
  }
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    const StoreChanges changes = changeStore({0, 1, seed}, &manifest);
    ASSERT_EQ(changes.flags.size(), 1u) << seed;
    EXPECT_LT(changes.flags[0].index, 10u);
  }
}

TEST(StoreChangesTest, CopyIsAStoreOfItsOwn) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.accounts = 2;
  plan.messagesPerAccount = 5;
  plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "store");
  const std::string digest = expectedDigest(manifest);
  writeFile(dir / "copy/stale", "left from before");
  StoreManifest copy = copyStore(manifest, dir / "copy");
  EXPECT_FALSE(fs::exists(dir / "copy/stale"));
  EXPECT_EQ(copy.root, dir / "copy");
  EXPECT_EQ(copy.accounts[1].inboxPath, dir / "copy/Accounts/user00001.mdir");
  for (const std::string& path : copy.messageFiles) {
    EXPECT_EQ(path.rfind(dir / "copy/", 0), 0u) << path;
  }
  // Changing the copy leaves the store it came from as it was.
  changeStore({1, 1, 3}, &copy);
  EXPECT_EQ(expectedDigest(manifest), digest);
  EXPECT_NE(expectedDigest(copy), digest);
  EXPECT_EQ(copy.messages, manifest.messages + 2);
}

TEST(StoreChangesTest, DigestAfterAddsOnlyTheNewMessagesInWalkOrder) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.accounts = 2;
  plan.messagesPerAccount = 20;
  plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "store");
  target::StoreDigest before;
  foldMessages(
      manifest, [](const MessagePlace&) { return true; }, &before);
  EXPECT_EQ(expectedDigestAfter(before, manifest, changeStore({0, 2, 3}, &manifest)), before.hex());

  // With one mailbox file the new messages end the walk: the digest after
  // is that of the whole changed file, flags changes or not.
  StorePlan single;
  single.messagesPerAccount = 30;
  StoreManifest file = generateStore(single, dir / "single");
  target::StoreDigest fileBefore;
  foldMessages(
      file, [](const MessagePlace&) { return true; }, &fileBefore);
  const StoreChanges changes = changeStore({2, 2, 5}, &file);
  EXPECT_EQ(expectedDigestAfter(fileBefore, file, changes), expectedDigest(file));

  // A message directory's new files come in its listing order, after the
  // messages of the pass before.
  StorePlan directory;
  directory.messagesPerAccount = 30;
  directory.layouts = {AccountLayout::kMessageDirectory};
  StoreManifest files = generateStore(directory, dir / "directory");
  target::StoreDigest filesBefore;
  foldMessages(
      files, [](const MessagePlace&) { return true; }, &filesBefore);
  const StoreChanges added = changeStore({3, 1, 5}, &files);
  target::StoreDigest expected = filesBefore;
  for (const auto& entry : fs::directory_iterator(files.accounts[0].inboxPath)) {
    if (added.newFiles.count(entry.path().string()) > 0) {
      const std::string content = readFile(entry.path().string());
      target::ContentDigest message;
      message.update(content.data(), content.size());
      expected.add(message);
    }
  }
  EXPECT_EQ(expectedDigestAfter(filesBefore, files, added), expected.hex());

  // Two accounts: the first account's new messages come after the second's
  // old ones, which the whole store's digest would not have.
  const StoreChanges both = changeStore({1, 0, 9}, &manifest);
  EXPECT_NE(expectedDigestAfter(before, manifest, both), expectedDigest(manifest));
  EXPECT_NE(expectedDigestAfter(before, manifest, both), before.hex());
}

}  // namespace
}  // namespace lodemig::bench
