#include "imap/digest.h"

#include <openssl/err.h>

#include <cstring>

namespace ostrel::crypto {

StreamDigest::BufDigest::BufDigest(const EVP_MD* algorithm)
    : context_(EVP_MD_CTX_new()), algorithm_(algorithm) {}

StreamDigest::BufDigest::~BufDigest() {
  EVP_MD_CTX_free(context_);
}

void StreamDigest::BufDigest::init() {
  if (!needsInit_) {
    return;
  }
  // A failing digest call must not stop a login exchange; the error queue is
  // emptied so that it does not leak into later TLS calls on this thread.
  if (EVP_DigestInit(context_, algorithm_) != 1) {
    ERR_clear_error();
  }
  needsInit_ = false;
}

StreamDigest::BufDigest::int_type StreamDigest::BufDigest::overflow(int_type c) {
  init();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const unsigned char byte = static_cast<unsigned char>(traits_type::to_char_type(c));
    if (EVP_DigestUpdate(context_, &byte, 1) != 1) {
      ERR_clear_error();
    }
  }
  return traits_type::not_eof(c);
}

std::streamsize StreamDigest::BufDigest::xsputn(const char* bytes, std::streamsize count) {
  if (count <= 0) {
    return 0;
  }
  init();
  if (EVP_DigestUpdate(context_, bytes, static_cast<std::size_t>(count)) != 1) {
    ERR_clear_error();
  }
  return count;
}

std::string StreamDigest::BufDigest::finish(bool force) {
  if (force && digestLength_ == 0) {
    overflow(traits_type::eof());
  }
  if (!needsInit_) {
    unsigned length = 0;
    if (EVP_DigestFinal(context_, digest_, &length) != 1) {
      ERR_clear_error();
      length = 0;
    }
    digestLength_ = length;
    needsInit_ = true;
  }
  return std::string(reinterpret_cast<const char*>(digest_), digestLength_);
}

// The buffer member is built after the ostream base, so the stream is bound
// to it only once both exist.
StreamDigest::StreamDigest() : std::ostream(nullptr), buffer_(EVP_md_null()) {
  rdbuf(&buffer_);
}

StreamDigest::~StreamDigest() = default;

std::string StreamDigest::digest(bool force) {
  flush();
  return buffer_.finish(force);
}

std::string StreamDigest::hexDigest(bool force) {
  return toHex(digest(force));
}

StreamDigestMD5::StreamDigestMD5(bool /*duplicated*/) {
  buffer_.setAlgorithm(EVP_md5());
}

std::string toHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string md5Hex(const std::string& data) {
  StreamDigestMD5 md5;
  md5.write(data.data(), static_cast<std::streamsize>(data.size()));
  return md5.hexDigest(true);
}

namespace {

class StreamDigestSha256 : public StreamDigest {
 public:
  StreamDigestSha256() { buffer_.setAlgorithm(EVP_sha256()); }
};

}  // namespace

std::string sha256Hex(const std::string& data) {
  StreamDigestSha256 sha256;
  sha256.write(data.data(), static_cast<std::streamsize>(data.size()));
  return sha256.hexDigest(true);
}

std::string hmacMd5(const std::string& key, const std::string& data) {
  constexpr std::size_t kBlockSize = 64;
  std::string shortKey = key;
  if (shortKey.size() > kBlockSize) {
    StreamDigestMD5 keyDigest;
    keyDigest.write(key.data(), static_cast<std::streamsize>(key.size()));
    shortKey = keyDigest.digest(false);
  }
  std::string innerPad(kBlockSize, '\0');
  std::string outerPad(kBlockSize, '\0');
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    const unsigned char k = i < shortKey.size() ? static_cast<unsigned char>(shortKey[i]) : 0;
    innerPad[i] = static_cast<char>(k ^ 0x36);
    outerPad[i] = static_cast<char>(k ^ 0x5C);
  }

  StreamDigestMD5 inner;
  inner.write(innerPad.data(), kBlockSize);
  inner.write(data.data(), static_cast<std::streamsize>(data.size()));
  const std::string innerDigest = inner.digest(false);

  StreamDigestMD5 outer;
  outer.write(outerPad.data(), kBlockSize);
  outer.write(innerDigest.data(), static_cast<std::streamsize>(innerDigest.size()));
  return outer.hexDigest(false);
}

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table values besides 0..63.
constexpr signed char kPad = 64;
constexpr signed char kSkip = 65;
constexpr signed char kInvalid = -1;

struct DecodeTable {
  signed char values[128];
  constexpr DecodeTable() : values() {
    for (signed char& v : values) {
      v = kInvalid;
    }
    for (int i = 0; i < 64; ++i) {
      values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
    values[static_cast<unsigned char>('=')] = kPad;
    for (const unsigned char blank : {'\t', '\n', '\r', ' '}) {
      values[blank] = kSkip;
    }
  }
};

constexpr DecodeTable kDecode;

}  // namespace

std::string base64Encode(const std::string& bytes, std::size_t lineLength, bool crlf) {
  std::string text;
  text.reserve(bytes.size() / 3 * 4 + 4 + 3);
  std::size_t column = 0;
  auto put = [&](char c) {
    if (lineLength != 0 && column >= lineLength) {
      if (crlf) {
        text.push_back('\r');
      }
      text.push_back('\n');
      column = 0;
    }
    text.push_back(c);
    ++column;
  };

  const std::size_t size = bytes.size();
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
    const unsigned b2 = static_cast<unsigned char>(bytes[i + 2]);
    put(kAlphabet[b0 >> 2]);
    put(kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
    put(kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)]);
    put(kAlphabet[b2 & 0x3F]);
  }
  if (size - i == 2) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
    put(kAlphabet[b0 >> 2]);
    put(kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
    put(kAlphabet[(b1 & 0x0F) << 2]);
    put('=');
  } else if (size - i == 1) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    put(kAlphabet[b0 >> 2]);
    put(kAlphabet[(b0 & 0x03) << 4]);
    put('=');
    put('=');
  }
  return text;
}

std::string base64Decode(const std::string& text, bool* valid) {
  if (valid != nullptr) {
    *valid = true;
  }
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 1);
  signed char group[4];
  int collected = 0;
  for (const char c : text) {
    if (c == '\0') {
      break;
    }
    const unsigned char byte = static_cast<unsigned char>(c);
    // A byte with the high bit set is outside the alphabet; looking it up by
    // its low seven bits would turn it into a letter and corrupt the output.
    const signed char value = byte < 128 ? kDecode.values[byte] : kInvalid;
    if (value == kSkip) {
      continue;
    }
    if (value == kInvalid) {
      if (valid != nullptr) {
        *valid = false;
      }
      continue;
    }
    group[collected++] = value;
    if (collected < 4) {
      continue;
    }
    collected = 0;
    unsigned sextets[4];
    for (int i = 0; i < 4; ++i) {
      sextets[i] = group[i] == kPad ? 0u : static_cast<unsigned>(group[i]);
    }
    const unsigned triple =
        (sextets[0] << 18) | (sextets[1] << 12) | (sextets[2] << 6) | sextets[3];
    bytes.push_back(static_cast<char>((triple >> 16) & 0xFF));
    if (group[2] == kPad) {
      continue;
    }
    bytes.push_back(static_cast<char>((triple >> 8) & 0xFF));
    if (group[3] == kPad) {
      continue;
    }
    bytes.push_back(static_cast<char>(triple & 0xFF));
  }
  return bytes;
}

}  // namespace ostrel::crypto
