#include "utils/json_line.h"

#include <cmath>
#include <cstdio>

namespace ostrel::utils {
namespace {

// U+FFFD, REPLACEMENT CHARACTER, in UTF-8.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence that starts at `at`, or 0 when the
// bytes there are not one. The ranges of the second byte rule out overlong
// forms, surrogates and code points above U+10FFFF.
std::size_t utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  return length;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      const std::size_t length = utf8Length(text, at);
      // A bad byte is replaced alone, so that the text after it survives.
      out += length == 0 ? kReplacement : text.substr(at, length);
      at += length == 0 ? 1 : length;
      continue;
    }
    ++at;
  }
  out += '"';
}

void JsonLine::name(std::string_view field) {
  if (text_.size() > 1) {
    text_ += ',';
  }
  appendJsonString(text_, field);
  text_ += ':';
}

JsonLine& JsonLine::add(std::string_view field, std::string_view value) {
  name(field);
  appendJsonString(text_, value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view field, std::int64_t value) {
  name(field);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view field, std::uint64_t value) {
  name(field);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::add(std::string_view field, double value) {
  name(field);
  char number[64];
  std::snprintf(number, sizeof(number), "%.3f", std::isfinite(value) ? value : 0.0);
  text_ += number;
  return *this;
}

JsonLine& JsonLine::addObject(std::string_view field, const std::string& object) {
  name(field);
  text_ += object;
  return *this;
}

}  // namespace ostrel::utils
