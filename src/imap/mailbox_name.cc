#include "imap/mailbox_name.h"

#include <cstdint>

#include "utils/utf8.h"

namespace lodemig {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool isPrintableAscii(char32_t c) {
  return c >= 0x20 && c <= 0x7E;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  return c == ',' ? 63 : -1;
}

// The base64 side of the encoder: UTF-16 units in, six bits at a time out.
class ShiftWriter {
 public:
  explicit ShiftWriter(std::string& out) : out_(out) {}

  void addUnit(std::uint32_t unit) {
    bits_ = (bits_ << 16) | unit;
    count_ += 16;
    while (count_ >= 6) {
      count_ -= 6;
      out_ += kAlphabet[(bits_ >> count_) & 0x3F];
    }
    // At most four bits are left; dropping the rest keeps bits_ from
    // overflowing however long the run.
    bits_ &= (std::uint32_t{1} << count_) - 1;
  }

  // Writes the last bits, padded with zeros, and the "-" that ends the run.
  void finish() {
    if (count_ > 0) {
      out_ += kAlphabet[(bits_ << (6 - count_)) & 0x3F];
    }
    out_ += '-';
    bits_ = 0;
    count_ = 0;
  }

 private:
  std::string& out_;
  std::uint32_t bits_ = 0;
  int count_ = 0;
};

}  // namespace

bool encodeModifiedUtf7(std::string_view utf8, std::string& out) {
  out.clear();
  out.reserve(utf8.size() + 8);
  ShiftWriter shift(out);
  bool shifted = false;
  std::size_t position = 0;
  char32_t c = 0;
  while (position < utf8.size()) {
    if (!ostrel::utils::nextCodePoint(utf8, position, c)) {
      return false;
    }
    if (isPrintableAscii(c)) {
      if (shifted) {
        shift.finish();
        shifted = false;
      }
      out += static_cast<char>(c);
      if (c == '&') {
        out += '-';
      }
      continue;
    }
    if (!shifted) {
      out += '&';
      shifted = true;
    }
    if (c >= 0x10000) {
      const char32_t offset = c - 0x10000;
      shift.addUnit(0xD800 + (offset >> 10));
      shift.addUnit(0xDC00 + (offset & 0x3FF));
    } else {
      shift.addUnit(c);
    }
  }
  // A name must end in ASCII, even when its last character is not.
  if (shifted) {
    shift.finish();
  }
  return true;
}

bool decodeModifiedUtf7(std::string_view text, std::string& utf8) {
  utf8.clear();
  utf8.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t i = 0;
  bool afterShift = false;
  while (i < size) {
    const char c = text[i++];
    if (!isPrintableAscii(static_cast<unsigned char>(c))) {
      return false;
    }
    if (c != '&') {
      utf8 += c;
      afterShift = false;
      continue;
    }
    if (i < size && text[i] == '-') {
      utf8 += '&';
      ++i;
      afterShift = false;
      continue;
    }
    // "-&" would end a run only to start the next: one run must hold them.
    if (afterShift) {
      return false;
    }
    std::uint32_t bits = 0;
    int count = 0;
    std::uint32_t high = 0;
    for (;;) {
      if (i == size) {
        return false;
      }
      const char b = text[i++];
      if (b == '-') {
        break;
      }
      const int value = base64Value(b);
      if (value < 0) {
        return false;
      }
      bits = (bits << 6) | static_cast<std::uint32_t>(value);
      count += 6;
      if (count < 16) {
        continue;
      }
      count -= 16;
      const std::uint32_t unit = (bits >> count) & 0xFFFF;
      bits &= (std::uint32_t{1} << count) - 1;
      if (high != 0) {
        if (unit < 0xDC00 || unit > 0xDFFF) {
          return false;
        }
        ostrel::utils::appendUtf8(utf8, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
        high = 0;
      } else if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || isPrintableAscii(unit)) {
        return false;
      } else {
        ostrel::utils::appendUtf8(utf8, unit);
      }
    }
    // A whole character of leftover bits, or bits that are not zero, would
    // be a second spelling of the same name. An empty run ("&-") never gets
    // here, so every run holds at least one unit.
    if (high != 0 || count >= 6 || bits != 0) {
      return false;
    }
    afterShift = true;
  }
  return true;
}

}  // namespace lodemig
