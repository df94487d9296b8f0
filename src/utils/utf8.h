#ifndef LODEMIG_UTILS_UTF8_H_
#define LODEMIG_UTILS_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::utils {

// Strict UTF-8: folder names cross into IMAP, where a byte sequence that two
// programs decode differently would name two different folders.

// Decodes the code point that starts at `position` of `text` into
// `codePoint` and moves `position` past it. False, with both left as they
// were, at the end of `text` and for anything but the shortest form of a
// scalar value: stray continuation bytes, overlong forms, surrogates,
// values above U+10FFFF and sequences cut short.
bool nextCodePoint(std::string_view text, std::size_t& position, char32_t& codePoint);

// True when the whole of `text` is strict UTF-8 (the empty text is).
bool isValidUtf8(std::string_view text);

// Appends the UTF-8 form of `codePoint`, a scalar value (not a surrogate,
// at most U+10FFFF).
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_UTF8_H_
