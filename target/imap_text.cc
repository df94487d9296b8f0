#include "target/imap_text.h"

#include <algorithm>

#include "utils/ascii.h"

namespace lodemig::target {

using ostrel::utils::equalsIgnoreCase;

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + '"';
}

std::string mailboxText(std::string_view name) {
  const bool atom = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f &&
           std::string_view("(){%*\"\\]").find(c) == std::string_view::npos;
  });
  return atom ? std::string(name) : quoted(name);
}

std::string upperCopy(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

std::vector<std::string_view> flagWords(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = text.find_first_not_of(' '); at != std::string_view::npos;) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = text.find_first_not_of(' ', end);
  }
  return words;
}

std::string joinWords(const std::vector<std::string_view>& words) {
  std::string joined;
  for (const std::string_view word : words) {
    joined.append(joined.empty() ? "" : " ").append(word);
  }
  return joined;
}

std::string toggledFlagged(std::string_view flags) {
  std::vector<std::string_view> words = flagWords(flags);
  const auto flagged = [](std::string_view word) { return equalsIgnoreCase(word, "\\Flagged"); };
  const auto kept = std::remove_if(words.begin(), words.end(), flagged);
  if (kept == words.end()) {
    words.push_back("\\Flagged");
  } else {
    words.erase(kept, words.end());
  }
  return joinWords(words);
}

}  // namespace lodemig::target
