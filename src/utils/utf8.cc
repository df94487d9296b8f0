#include "utils/utf8.h"

namespace ostrel::utils {

bool nextCodePoint(std::string_view text, std::size_t& position, char32_t& codePoint) {
  if (position >= text.size()) {
    return false;
  }
  const auto lead = static_cast<unsigned char>(text[position]);
  if (lead < 0x80) {
    codePoint = lead;
    ++position;
    return true;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    // A continuation byte, 0xC0 and 0xC1 (always overlong) or 0xF5 and up
    // (always above U+10FFFF).
    return false;
  }
  if (text.size() - position < length) {
    return false;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[position + i]);
    if ((byte & 0xC0) != 0x80) {
      return false;
    }
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  codePoint = value;
  position += length;
  return true;
}

bool isValidUtf8(std::string_view text) {
  std::size_t position = 0;
  char32_t codePoint = 0;
  while (position < text.size()) {
    if (!nextCodePoint(text, position, codePoint)) {
      return false;
    }
  }
  return true;
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

}  // namespace ostrel::utils
