#ifndef LODEMIG_UTILS_ASCII_H_
#define LODEMIG_UTILS_ASCII_H_

#include <string>
#include <string_view>

namespace ostrel::utils {

// ASCII-only case folding on purpose: option names, IMAP words and the
// stand-in's account keys are ASCII, and the result must not depend on the
// locale. Other bytes compare as they are.
inline char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) {
      return false;
    }
  }
  return true;
}

inline std::string lowerAsciiCopy(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    c = lowerAscii(c);
  }
  return lowered;
}

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_ASCII_H_
