#include "bench/store_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

using lodemig::testing::readFile;
using lodemig::testing::ScopedTempDir;

// An independent reading of a mailbox file: a header is a line that begins
// with "From <" and holds ">("; a message ends two bytes before the next line
// that begins with "From <", or at the end of the file.
std::vector<MessageSpan> splitMailbox(const std::string& file, std::vector<std::string>* headers) {
  std::vector<MessageSpan> spans;
  size_t at = 0;
  bool open = false;
  while (at < file.size()) {
    size_t end = file.find('\n', at);
    size_t next = end == std::string::npos ? file.size() : end + 1;
    if (file.compare(at, 6, "From <") == 0) {
      if (open) {
        spans.back().length = at - 2 - spans.back().offset;
        open = false;
      }
      std::string line = file.substr(at, next - at);
      if (line.find(">(") != std::string::npos) {
        headers->push_back(line);
        spans.push_back(MessageSpan{next, 0});
        open = true;
      }
    }
    at = next;
  }
  if (open) {
    spans.back().length = file.size() - spans.back().offset;
  }
  return spans;
}

void expectWellFormed(const std::string& message) {
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\n') {
      ASSERT_TRUE(i > 0 && message[i - 1] == '\r') << "bare LF at " << i;
    } else if (message[i] == '\r') {
      ASSERT_TRUE(i + 1 < message.size() && message[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  EXPECT_EQ(message.compare(message.size() - 2, 2, "\r\n"), 0);
  EXPECT_EQ(message.find("\nFrom <"), std::string::npos);
}

TEST(MessageFactoryTest, BuildsExactSizesOfCrLfLines) {
  MessageFactory factory(7);
  std::string message;
  for (uint32_t size :
       {1024u, 1025u, 1026u, 1027u, 4000u, 16383u, 16384u, 16385u, 65537u, 1048576u}) {
    SCOPED_TRACE(size);
    factory.build(size, size, &message);
    EXPECT_EQ(message.size(), size);
    expectWellFormed(message);
  }
  factory.build(10, 1, &message);  // small requests are raised to the minimum
  EXPECT_EQ(message.size(), MessageFactory::kMinSize);
  // Same seed, same bytes; another seed, other bytes.
  MessageFactory first(42), second(42), third(43);
  std::string a, b, c;
  first.build(5000, 1, &a);
  second.build(5000, 1, &b);
  third.build(5000, 1, &c);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(MessageFactoryTest, RealisticSizesHaveAFourKilobyteMedianAndALongTail) {
  MessageFactory factory(101);
  std::vector<uint32_t> sizes;
  double total = 0;
  for (int i = 0; i < 20000; ++i) {
    sizes.push_back(factory.sampleSize(SizeProfile::kRealistic));
    total += sizes.back();
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_GE(sizes[10000], 3500u);
  EXPECT_LE(sizes[10000], 4500u);
  EXPECT_GE(sizes.back(), 100000u);
  EXPECT_LE(sizes.back(), 204800u);
  EXPECT_GE(sizes.front(), MessageFactory::kMinSize);
  EXPECT_GT(total, 90e6);
  EXPECT_LT(total, 115e6);
  EXPECT_EQ(factory.sampleSize(SizeProfile::kOneMebibyte), 1048576u);
}

TEST(GenerateStoreTest, MailboxFileHoldsTheManifestsMessages) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.messagesPerAccount = 50;
  StoreManifest manifest = generateStore(plan, dir / "store");
  ASSERT_EQ(manifest.accounts.size(), 1u);
  const GeneratedAccount& account = manifest.accounts[0];
  EXPECT_EQ(account.inboxPath, dir / "store/Accounts/user00000.mbox");

  std::string file = readFile(account.inboxPath);
  std::vector<std::string> headers;
  std::vector<MessageSpan> spans = splitMailbox(file, &headers);
  ASSERT_EQ(spans.size(), 50u);
  uint64_t bytes = 0;
  const std::regex header(
      "From <[^>]+>\\([SAFD]*-([0-9]+)\\) "
      "([A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{1,2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}|"
      "[0-9]{1,2}-[0-9]{1,2}-[0-9]{4}_[0-9]{1,2}:[0-9]{2}:[0-9]{2}_)\r\n");
  for (size_t i = 0; i < spans.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(headers[i], match, header)) << headers[i];
    EXPECT_EQ(match[1].str(), std::to_string(i + 1));
    EXPECT_EQ(spans[i].offset, account.spans[i].offset);
    EXPECT_EQ(spans[i].length, account.spans[i].length);
    expectWellFormed(file.substr(spans[i].offset, spans[i].length));
    bytes += spans[i].length;
  }
  EXPECT_EQ(manifest.messages, 50u);
  EXPECT_EQ(manifest.bytes, bytes);
  EXPECT_NE(readFile(dir / "store/Accounts/user00000.info").find("Messages = #50;"),
            std::string::npos);
}

TEST(GenerateStoreTest, MessageDirectoryHoldsTheSameMessagesAsAMailboxFile) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.messagesPerAccount = 30;
  StoreManifest inFile = generateStore(plan, dir / "a");
  plan.layouts = {AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "store");
  EXPECT_EQ(inFile.bytes, manifest.bytes);
  EXPECT_EQ(inFile.medianSize, manifest.medianSize);
  EXPECT_EQ(readFile(manifest.messageFiles[0]),
            readFile(inFile.messageFiles[0])
                .substr(inFile.accounts[0].spans[0].offset, inFile.accounts[0].spans[0].length));
  ASSERT_EQ(manifest.messageFiles.size(), 30u);
  const std::regex name("[0-9]+\\.[0-9]{6}-[SAFD]*-20[01][0-9]{11}-bench");
  uint64_t bytes = 0;
  for (const std::string& path : manifest.messageFiles) {
    std::string fileName = std::filesystem::path(path).filename().string();
    EXPECT_TRUE(std::regex_match(fileName, name)) << fileName;
    bytes += std::filesystem::file_size(path);
  }
  EXPECT_EQ(bytes, manifest.bytes);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "store/Accounts/user00000.settings"));
}

TEST(GenerateStoreTest, AccountsSpreadOverLayoutsAndDomains) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.accounts = 6;
  plan.messagesPerAccount = 2;
  plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kAccountDirectory,
                  AccountLayout::kMessageDirectory};
  plan.extraDomains = 1;
  plan.extraFolders = true;
  StoreManifest manifest = generateStore(plan, dir / "s");
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "s/Accounts/user00000.mbox"));
  EXPECT_TRUE(
      std::filesystem::is_regular_file(dir / "s/Domains/d1.example/user00001.macnt/INBOX.mbox"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "s/Accounts/user00002.mdir"));
  EXPECT_TRUE(
      std::filesystem::is_regular_file(dir / "s/Domains/d1.example/user00001.macnt/account.info"));
  EXPECT_NE(
      readFile(dir / "s/Accounts/user00004.macnt/account.settings").find("PasswordEncryption"),
      std::string::npos);
  EXPECT_NE(readFile(dir / "s/Accounts/user00000.info").find("\"Archive/2007\" = {"),
            std::string::npos);
  EXPECT_EQ(manifest.messages, 12u);
  EXPECT_EQ(manifest.settingsFiles.size(), 12u);
}

TEST(GenerateStoreTest, DigestSeesContentButNotSeparators) {
  ScopedTempDir dir;
  StorePlan plan;
  plan.accounts = 3;
  plan.messagesPerAccount = 4;
  plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMessageDirectory};
  StoreManifest manifest = generateStore(plan, dir / "s");
  StoreManifest again = generateStore(plan, dir / "t");
  const std::string digest = expectedDigest(manifest);
  EXPECT_EQ(digest.size(), 16u);
  EXPECT_EQ(expectedDigest(again), digest);

  // The separator line before the second message belongs to no message.
  const GeneratedAccount& account = manifest.accounts[0];
  auto overwrite = [&](uint64_t offset, char byte) {
    std::fstream file(account.inboxPath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(byte);
  };
  overwrite(account.spans[1].offset - 1, '\n');
  overwrite(account.spans[0].offset + account.spans[0].length, '\r');
  EXPECT_EQ(expectedDigest(manifest), digest);
  overwrite(account.spans[1].offset + 5, '#');
  EXPECT_NE(expectedDigest(manifest), digest);
}

}  // namespace
}  // namespace lodemig::bench
