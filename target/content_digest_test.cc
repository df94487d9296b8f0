#include "target/content_digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace lodemig::target {
namespace {

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 131 + (i >> 3)) & 255);
  }
  return bytes;
}

std::string digestOf(const std::string& bytes) {
  ContentDigest digest;
  digest.update(bytes.data(), bytes.size());
  return digest.hex();
}

// The digest of `bytes` fed in pieces of the given sizes, repeated until all
// bytes are in.
std::string digestInPieces(const std::string& bytes, const std::vector<std::size_t>& sizes) {
  ContentDigest digest;
  std::size_t at = 0;
  for (std::size_t i = 0; at < bytes.size(); ++i) {
    const std::size_t piece = std::min(sizes[i % sizes.size()], bytes.size() - at);
    digest.update(bytes.data() + at, piece);
    at += piece;
  }
  return digest.hex();
}

TEST(ContentDigestTest, MatchesPublishedValues) {
  // Short inputs take the tail-only path, long ones the four lanes.
  const struct {
    std::string input;
    const char* hex;
  } cases[] = {
      {"", "ef46db3751d8e999"},
      {"a", "d24ec4f1a98c6e5b"},
      {"abc", "44bc2cf5ad770999"},
      {"hello world", "45ab6734b21e6968"},
      {"0123456789abcdef0123456789abcdefXYZ", "654f6a2b39e4d8c1"},
      {pattern(1000), "b11df323a4c93e5c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(digestOf(c.input), c.hex) << c.input.size() << " bytes";
  }
}

TEST(ContentDigestTest, ValueDoesNotDependOnHowTheBytesAreCut) {
  const std::string bytes = pattern(1000);
  const std::string whole = digestOf(bytes);
  const std::vector<std::vector<std::size_t>> cuts = {
      {1}, {3}, {7}, {31}, {32}, {33}, {64}, {100}, {999}, {5, 60, 1, 32, 200}, {0, 17}};
  for (const auto& sizes : cuts) {
    EXPECT_EQ(digestInPieces(bytes, sizes), whole) << "first piece " << sizes[0];
  }
  for (std::size_t split = 0; split <= bytes.size(); ++split) {
    ContentDigest digest;
    digest.update(bytes.data(), split);
    digest.update(bytes.data() + split, bytes.size() - split);
    ASSERT_EQ(digest.hex(), whole) << "split at " << split;
  }
}

TEST(ContentDigestTest, ReadingTheValueLetsTheDigestGoOn) {
  ContentDigest digest;
  const std::string bytes = pattern(100);
  digest.update(bytes.data(), 40);
  EXPECT_EQ(digest.hex(), digestOf(bytes.substr(0, 40)));
  digest.update(bytes.data() + 40, 60);
  EXPECT_EQ(digest.hex(), digestOf(bytes));
  digest.reset();
  EXPECT_EQ(digest.hex(), digestOf(""));
}

TEST(ContentDigestTest, AnyChangedBitOrOrderChangesTheValue) {
  const std::string bytes = pattern(300);
  const std::string whole = digestOf(bytes);
  for (std::size_t at :
       {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{290}, std::size_t{299}}) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string changed = bytes;
      changed[at] = static_cast<char>(changed[at] ^ (1 << bit));
      EXPECT_NE(digestOf(changed), whole) << "byte " << at << " bit " << bit;
    }
  }
  // The same two messages stored in the other order.
  EXPECT_NE(digestOf(bytes.substr(150) + bytes.substr(0, 150)), whole);
  EXPECT_NE(digestOf(bytes + bytes.substr(0, 1)), whole);
}

// The store digest of `messages` stored in this order.
std::string storeDigestOf(const std::vector<std::string>& messages) {
  StoreDigest store;
  for (const std::string& bytes : messages) {
    ContentDigest message;
    message.update(bytes.data(), bytes.size());
    store.add(message);
  }
  return store.hex();
}

TEST(StoreDigestTest, FoldsEachMessagesValueAndSize) {
  // Worked out apart from this code: XXH64 over, per message, its XXH64 and
  // its size as two little-endian 64-bit numbers.
  EXPECT_EQ(storeDigestOf({}), "ef46db3751d8e999");
  EXPECT_EQ(storeDigestOf({""}), "1fe08be0c24637de");
  EXPECT_EQ(storeDigestOf({"hello"}), "ceabc322dd311ec0");
  EXPECT_EQ(storeDigestOf({"hello", " world"}), "3f0d85421d29693e");
  StoreDigest fromValues;
  fromValues.add(0x26c7827d889f6da3ULL, 5);  // XXH64 of "hello"
  EXPECT_EQ(fromValues.hex(), "ceabc322dd311ec0");
}

TEST(StoreDigestTest, MessageBoundariesOrderAndCountChangeTheValue) {
  const std::vector<std::vector<std::string>> stores = {
      {"ab", "c"}, {"a", "bc"}, {"abc"}, {"c", "ab"}, {"ab", "c", ""}, {"ab", "c", "c"}};
  for (std::size_t i = 0; i < stores.size(); ++i) {
    for (std::size_t j = i + 1; j < stores.size(); ++j) {
      EXPECT_NE(storeDigestOf(stores[i]), storeDigestOf(stores[j])) << i << " vs " << j;
    }
  }
}

TEST(AccountsDigestTest, AccountOrderDoesNotCountButEachAccountsOwnOrderDoes) {
  const auto digestOf = [](const std::vector<std::vector<std::string>>& accounts) {
    AccountsDigest digest;
    for (const std::vector<std::string>& messages : accounts) {
      StoreDigest account;
      for (const std::string& message : messages) {
        ContentDigest content;
        content.update(message.data(), message.size());
        account.add(content);
      }
      digest.add(account);
    }
    return digest.hex();
  };
  const std::string base = digestOf({{"a", "b"}, {"c"}});
  EXPECT_EQ(digestOf({{"c"}, {"a", "b"}}), base);
  EXPECT_NE(digestOf({{"b", "a"}, {"c"}}), base);
  EXPECT_NE(digestOf({{"a"}, {"b", "c"}}), base);
  EXPECT_NE(digestOf({{"a", "b"}, {"c"}, {"c"}}), base);
  EXPECT_EQ(AccountsDigest().hex(), "0000000000000000");
}

}  // namespace
}  // namespace lodemig::target
