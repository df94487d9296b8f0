#include "imap/digest.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

namespace ostrel::crypto {
namespace {

std::string repeat(char byte, std::size_t count) {
  return std::string(count, byte);
}

struct DigestCase {
  std::string input;
  std::string hex;
};

TEST(DigestTest, Md5MatchesRfc1321Suite) {
  const std::vector<DigestCase> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const DigestCase& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(md5Hex(c.input), c.hex);
    // Byte by byte through the stream's single-byte path gives the same digest.
    StreamDigestMD5 bytewise;
    for (const char ch : c.input) {
      bytewise.put(ch);
    }
    EXPECT_EQ(bytewise.hexDigest(true), c.hex);
  }
}

TEST(DigestTest, Sha256MatchesPublishedVectors) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(DigestTest, StreamDigestForceRepeatAndZeroBytes) {
  StreamDigestMD5 unforced;
  EXPECT_EQ(unforced.digest(false), "");  // nothing written, nothing forced
  StreamDigestMD5 forced;
  EXPECT_EQ(forced.hexDigest(true), "d41d8cd98f00b204e9800998ecf8427e");
  StreamDigest null;
  null << "ignored";
  EXPECT_EQ(null.digest(true), "");

  // Asking twice gives the same bytes; writing more starts anew.
  StreamDigestMD5 md5;
  md5 << "first part";
  const std::string first = md5.digest(false);
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(md5.digest(false), first);
  EXPECT_EQ(md5.digest(true), first);
  md5 << "abc";
  EXPECT_EQ(md5.hexDigest(false), "900150983cd24fb0d6963f7d28e17f72");

  // Zero-terminated text stops at the zero byte; sized bytes go in whole.
  StreamDigestMD5 text;
  text << "abc\0def";
  EXPECT_EQ(text.hexDigest(false), md5Hex("abc"));
  StreamDigestMD5 sized;
  sized << std::string("abc\0def", 7);
  EXPECT_EQ(sized.hexDigest(false), md5Hex(std::string("abc\0def", 7)));
  EXPECT_NE(md5Hex(std::string("abc\0def", 7)), md5Hex("abc"));
  EXPECT_EQ(toHex(std::string("\x00\xFF\x10", 3)), "00ff10");  // lower case, high half first
  EXPECT_EQ(toHex(""), "");
}

struct HmacCase {
  std::string key;
  std::string data;
  std::string hex;
};

TEST(DigestTest, HmacMd5MatchesPublishedVectors) {
  const std::vector<HmacCase> cases = {
      {repeat('\x0b', 16), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {repeat('\xAA', 16), repeat('\xDD', 50), "56be34521d144c88dbb8c733f0e8b3f6"},
      {repeat('\xAA', 80), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {repeat('\xAA', 80),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      // The CRAM-MD5 example exchange.
      {"tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>",
       "b913a602c7eda7a495b4e6e7334d3890"},
  };
  for (const HmacCase& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(hmacMd5(c.key, c.data), c.hex);
  }
}

// Keys around the block size and keys made of the pad bytes themselves,
// checked against OpenSSL's own HMAC.
TEST(DigestTest, HmacMd5AgreesWithLibraryForAwkwardKeys) {
  std::vector<std::string> keys = {"",
                                   repeat('\x36', 10),
                                   repeat('\x5C', 64),
                                   std::string("\x36\x5C\x00\x36", 4),
                                   repeat('k', 63),
                                   repeat('k', 64),
                                   repeat('k', 65),
                                   repeat('\x5C', 130)};
  const std::string data = "<12345.67890@example.test>";
  for (const std::string& key : keys) {
    SCOPED_TRACE(key.size());
    unsigned char expected[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    ASSERT_NE(
        HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), expected, &length),
        nullptr);
    EXPECT_EQ(hmacMd5(key, data),
              toHex(std::string(reinterpret_cast<const char*>(expected), length)));
  }
}

TEST(DigestTest, CramMd5ExampleRoundTripsThroughBase64) {
  const std::string challenge =
      base64Decode(" PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
  EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
  EXPECT_EQ(base64Encode("tim " + hmacMd5("tanstaaftanstaaf", challenge)),
            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

TEST(Base64Test, EncodeMatchesRfc4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"abc", "YWJj"},
      {"ab", "YWI="},
      {"a", "YQ=="},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(base64Encode(bytes), text) << bytes;
    bool valid = false;
    EXPECT_EQ(base64Decode(text, &valid), bytes) << text;
    EXPECT_TRUE(valid) << text;
  }
}

TEST(Base64Test, EncodeWrapsBeforeCharacterOnceColumnReachesLineLength) {
  EXPECT_EQ(base64Encode("foobar", 4, true), "Zm9v\r\nYmFy");
  EXPECT_EQ(base64Encode("foobar", 4, false), "Zm9v\nYmFy");
  EXPECT_EQ(base64Encode("foobarx", 3, false), "Zm9\nvYm\nFye\nA==");
  EXPECT_EQ(base64Encode(repeat('x', 300)).find('\n'), std::string::npos);
}

struct DecodeCase {
  std::string text;
  std::string bytes;
  bool valid;
};

TEST(Base64Test, DecodeSkipsBlanksAndFlagsForeignBytes) {
  const std::vector<DecodeCase> cases = {
      {" YWJj\r\n", "abc", true},
      {"\tY W\nJ\rj", "abc", true},
      {"YW*Jj", "abc", false},
      {"YWI=", "ab", true},
      {"YQ==", "a", true},
      {"YWJjZA", "abc", true},
      {"YWJjZA=", "abc", true},
      {"YQ==YWJj", "aabc", true},
      {std::string("YWJj\0YWJj", 9), "abc", true},
      {"YW\xC1Jj", "abc", false},
      {"!!!!", "", false},
      {"", "", true},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    bool valid = !c.valid;
    EXPECT_EQ(base64Decode(c.text, &valid), c.bytes);
    EXPECT_EQ(valid, c.valid);
  }
}

TEST(Base64Test, EveryByteValueRoundTripsAtEveryTailLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<char>(i));
  }
  for (std::size_t length = 253; length <= 256; ++length) {
    const std::string bytes = all.substr(256 - length);
    bool valid = false;
    EXPECT_EQ(base64Decode(base64Encode(bytes, 76, true), &valid), bytes);
    EXPECT_TRUE(valid);
  }
}

}  // namespace
}  // namespace ostrel::crypto
