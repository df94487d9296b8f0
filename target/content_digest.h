#ifndef LODEMIG_TARGET_CONTENT_DIGEST_H_
#define LODEMIG_TARGET_CONTENT_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace lodemig::target {

// A running 64-bit digest (XXH64, seed 0) of a byte stream, for checking that
// what a server stored is what was sent: the value depends only on the bytes
// and their order, never on how they were cut into update() calls. It is not
// cryptographic; it detects loss, duplication, reordering and corruption, not
// a forgery. It costs a fraction of a byte-wise cryptographic digest, so that
// the stand-in server is never what limits a benchmark.
//
// Header-only: the benchmark, which links none of the tool's libraries,
// computes the value it compares with the same code (StoreDigest below).
class ContentDigest {
 public:
  ContentDigest() { reset(); }

  // Starts over with no bytes.
  void reset() {
    lanes_[0] = kPrime1 + kPrime2;
    lanes_[1] = kPrime2;
    lanes_[2] = 0;
    lanes_[3] = 0 - kPrime1;
    total_ = 0;
    pending_ = 0;
  }

  void update(const char* bytes, std::size_t count) {
    total_ += count;
    if (pending_ + count < kStripe) {
      std::memcpy(stripe_ + pending_, bytes, count);
      pending_ += count;
      return;
    }
    if (pending_ > 0) {
      const std::size_t fill = kStripe - pending_;
      std::memcpy(stripe_ + pending_, bytes, fill);
      consume(stripe_);
      bytes += fill;
      count -= fill;
      pending_ = 0;
    }
    // Local copies let the four independent lanes stay in registers.
    std::uint64_t a = lanes_[0];
    std::uint64_t b = lanes_[1];
    std::uint64_t c = lanes_[2];
    std::uint64_t d = lanes_[3];
    for (; count >= kStripe; bytes += kStripe, count -= kStripe) {
      a = round(a, load64(bytes));
      b = round(b, load64(bytes + 8));
      c = round(c, load64(bytes + 16));
      d = round(d, load64(bytes + 24));
    }
    lanes_[0] = a;
    lanes_[1] = b;
    lanes_[2] = c;
    lanes_[3] = d;
    std::memcpy(stripe_, bytes, count);
    pending_ = count;
  }

  // The digest of every byte so far; updating afterwards goes on from there.
  std::uint64_t value() const {
    std::uint64_t hash;
    if (total_ >= kStripe) {
      hash = rotate(lanes_[0], 1) + rotate(lanes_[1], 7) + rotate(lanes_[2], 12) +
             rotate(lanes_[3], 18);
      for (const std::uint64_t lane : lanes_) {
        hash = (hash ^ round(0, lane)) * kPrime1 + kPrime4;
      }
    } else {
      hash = kPrime5;
    }
    hash += total_;
    const char* tail = stripe_;
    std::size_t left = pending_;
    for (; left >= 8; tail += 8, left -= 8) {
      hash = rotate(hash ^ round(0, load64(tail)), 27) * kPrime1 + kPrime4;
    }
    if (left >= 4) {
      hash = rotate(hash ^ (load32(tail) * kPrime1), 23) * kPrime2 + kPrime3;
      tail += 4;
      left -= 4;
    }
    for (; left > 0; ++tail, --left) {
      hash = rotate(hash ^ (static_cast<unsigned char>(*tail) * kPrime5), 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
  }

  // Bytes fed since the start or the last reset().
  std::uint64_t size() const { return total_; }

  // value() as 16 lower-case hex digits.
  std::string hex() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    std::uint64_t hash = value();
    for (std::size_t i = text.size(); i-- > 0; hash >>= 4) {
      text[i] = kDigits[hash & 15];
    }
    return text;
  }

 private:
  static constexpr std::size_t kStripe = 32;
  static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
  static constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
  static constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
  static constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
  static constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

  static std::uint64_t rotate(std::uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
  }
  static std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
    return rotate(lane + input * kPrime2, 31) * kPrime1;
  }
  // Little-endian reads, whatever the host's order.
  static std::uint64_t load64(const char* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap64(value);
#endif
    return value;
  }
  static std::uint64_t load32(const char* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap32(value);
#endif
    return value;
  }
  void consume(const char* stripe) {
    for (int lane = 0; lane < 4; ++lane) {
      lanes_[lane] = round(lanes_[lane], load64(stripe + 8 * lane));
    }
  }

  std::uint64_t lanes_[4];
  std::uint64_t total_;
  std::size_t pending_;
  char stripe_[kStripe];
};

// The digest of a whole store: a ContentDigest fed, for every stored message
// in arrival order, with that message's own ContentDigest value and then its
// size, 8 little-endian bytes each. Each message is digested on its own, by
// whoever reads its bytes and while they arrive; only the 16 bytes per
// message must be added in order. Any lost, repeated, reordered or altered
// byte still changes the value, and so does a message boundary moved, since
// the sizes are in it.
class StoreDigest {
 public:
  // Adds the next stored message, given by its own digest.
  void add(const ContentDigest& message) { add(message.value(), message.size()); }
  // The same, from a message digest's value() and size() taken earlier.
  void add(std::uint64_t messageValue, std::uint64_t messageSize) {
    char record[16];
    for (int i = 0; i < 8; ++i) {
      record[i] = static_cast<char>(messageValue >> (8 * i));
      record[8 + i] = static_cast<char>(messageSize >> (8 * i));
    }
    digest_.update(record, sizeof record);
  }

  // 16 lower-case hex digits; "ef46db3751d8e999" (no bytes) for no message.
  std::string hex() const { return digest_.hex(); }
  std::uint64_t value() const { return digest_.value(); }

 private:
  ContentDigest digest_;
};

// The StoreDigests of several accounts' messages, each in its own arrival
// order, folded so that the order of the accounts does not count: what
// accounts migrated at the same time must still match.
class AccountsDigest {
 public:
  void add(const StoreDigest& account) {
    // A mix before the sum, so that two accounts' values cannot cancel out.
    std::uint64_t x = account.value() + 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    sum_ += x ^ (x >> 31);
  }
  std::string hex() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 0; i < 16; ++i) {
      text[static_cast<std::size_t>(15 - i)] = kDigits[(sum_ >> (4 * i)) & 15];
    }
    return text;
  }

 private:
  std::uint64_t sum_ = 0;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_CONTENT_DIGEST_H_
