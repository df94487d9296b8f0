#ifndef LODEMIG_IMAP_DIGEST_H_
#define LODEMIG_IMAP_DIGEST_H_

#include <openssl/evp.h>

#include <ostream>
#include <streambuf>
#include <string>

namespace ostrel::crypto {

// An output stream that digests whatever is written to it. StreamDigest itself
// uses the null digest; StreamDigestMD5 uses MD5.
class StreamDigest : public std::ostream {
 public:
  StreamDigest();
  ~StreamDigest() override;

  // The digest of everything written since the last digest. Asking twice
  // without writing returns the same bytes; writing afterwards starts anew.
  // With `force`, a digest of nothing is the digest of the empty input.
  virtual std::string digest(bool force);
  // toHex(digest(force)).
  virtual std::string hexDigest(bool force);

 protected:
  class BufDigest : public std::streambuf {
   public:
    explicit BufDigest(const EVP_MD* algorithm);
    ~BufDigest() override;
    BufDigest(const BufDigest&) = delete;
    BufDigest& operator=(const BufDigest&) = delete;
    void setAlgorithm(const EVP_MD* algorithm) { algorithm_ = algorithm; }
    std::string finish(bool force);

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;

   private:
    void init();

    EVP_MD_CTX* context_;
    bool needsInit_ = true;
    const EVP_MD* algorithm_;
    unsigned char digest_[64];
    unsigned digestLength_ = 0;
  };

  BufDigest buffer_;
};

class StreamDigestMD5 : public StreamDigest {
 public:
  explicit StreamDigestMD5(bool duplicated = false);
};

// Lower-case hex, two characters per byte.
std::string toHex(const std::string& bytes);
// Lower-case hex MD5 of `data`.
std::string md5Hex(const std::string& data);
// Lower-case hex SHA-256 of `data`: 64 characters.
std::string sha256Hex(const std::string& data);
// Lower-case hex HMAC-MD5 (RFC 2104) of `data` keyed with `key`.
std::string hmacMd5(const std::string& key, const std::string& data);
// Base64 (RFC 4648). lineLength 0 means one unbroken line.
std::string base64Encode(const std::string& bytes, std::size_t lineLength = 0, bool crlf = true);
// Decodes base64, skipping tab, LF, CR and space; a byte outside the alphabet
// clears *valid (when given) and is skipped.
std::string base64Decode(const std::string& text, bool* valid = nullptr);

}  // namespace ostrel::crypto

#endif  // LODEMIG_IMAP_DIGEST_H_
