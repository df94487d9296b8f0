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

// The base64 side of the decoder: six bits at a time in, UTF-16 units out,
// appended to `utf8` as they complete.
class ShiftReader {
 public:
  explicit ShiftReader(std::string& utf8) : utf8_(utf8) {}

  // Takes one character of the run; false when it is not base64 or completes
  // a unit the run may not hold.
  bool addChar(char c) {
    const int value = base64Value(c);
    if (value < 0) {
      return false;
    }
    bits_ = (bits_ << 6) | static_cast<std::uint32_t>(value);
    count_ += 6;
    if (count_ < 16) {
      return true;
    }
    count_ -= 16;
    const std::uint32_t unit = (bits_ >> count_) & 0xFFFF;
    bits_ &= (std::uint32_t{1} << count_) - 1;
    return addUnit(unit);
  }

  // True when the run may end here. A whole character of leftover bits, or
  // bits that are not zero, would be a second spelling of the same name.
  bool finished() const { return high_ == 0 && count_ < 6 && bits_ == 0; }

 private:
  bool addUnit(std::uint32_t unit) {
    if (high_ != 0) {
      if (unit < 0xDC00 || unit > 0xDFFF) {
        return false;
      }
      ostrel::utils::appendUtf8(utf8_, 0x10000 + ((high_ - 0xD800) << 10) + (unit - 0xDC00));
      high_ = 0;
      return true;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high_ = unit;
      return true;
    }
    // A lone low surrogate is no character; printable ASCII has its own
    // spelling outside the run.
    if ((unit >= 0xDC00 && unit <= 0xDFFF) || isPrintableAscii(unit)) {
      return false;
    }
    ostrel::utils::appendUtf8(utf8_, unit);
    return true;
  }

  std::string& utf8_;
  std::uint32_t bits_ = 0;
  int count_ = 0;
  std::uint32_t high_ = 0;  // a high surrogate waiting for its low half
};

// Decodes the base64 run that starts at text[i], just after its "&", through
// its closing "-", leaving `i` after it. An empty run ("&-") never gets here,
// so every run holds at least one unit.
bool decodeShiftRun(std::string_view text, std::size_t& i, std::string& utf8) {
  ShiftReader reader(utf8);
  while (i < text.size()) {
    const char c = text[i++];
    if (c == '-') {
      return reader.finished();
    }
    if (!reader.addChar(c)) {
      return false;
    }
  }
  return false;
}

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
  std::size_t i = 0;
  bool afterShift = false;
  while (i < text.size()) {
    const char c = text[i++];
    if (!isPrintableAscii(static_cast<unsigned char>(c))) {
      return false;
    }
    if (c != '&') {
      utf8 += c;
      afterShift = false;
    } else if (i < text.size() && text[i] == '-') {
      utf8 += '&';
      ++i;
      afterShift = false;
    } else if (afterShift || !decodeShiftRun(text, i, utf8)) {
      // "-&" would end a run only to start the next: one run must hold them.
      return false;
    } else {
      afterShift = true;
    }
  }
  return true;
}

}  // namespace lodemig
