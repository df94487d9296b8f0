#include "imap/capabilities.h"

#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

constexpr std::string_view kWord = "CAPABILITY";

// The words of `text` between blanks.
std::vector<std::string> wordsOf(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t blank = text.find(' ', at);
    const std::size_t end = blank == std::string_view::npos ? text.size() : blank;
    if (end > at) {
      words.emplace_back(text.substr(at, end - at));
    }
    at = end + 1;
  }
  return words;
}

}  // namespace

std::vector<std::string> capabilityWords(const std::string& response) {
  std::string_view line = response;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  if (line.size() > 2 + kWord.size() && line.compare(0, 2, "* ") == 0 &&
      equalsIgnoreCase(line.substr(2, kWord.size()), kWord) && line[2 + kWord.size()] == ' ') {
    return wordsOf(line.substr(3 + kWord.size()));
  }
  // A response code sits right after the status word: "* OK [CAPABILITY ...]".
  const std::size_t open = line.find('[');
  if (open == std::string_view::npos || line.size() < open + 2 + kWord.size() ||
      !equalsIgnoreCase(line.substr(open + 1, kWord.size()), kWord) ||
      line[open + 1 + kWord.size()] != ' ') {
    return {};
  }
  const std::size_t close = line.find(']', open);
  const std::size_t begin = open + 2 + kWord.size();
  return wordsOf(
      line.substr(begin, (close == std::string_view::npos ? line.size() : close) - begin));
}

bool hasCapability(const std::vector<std::string>& words, std::string_view name) {
  for (const std::string& word : words) {
    if (equalsIgnoreCase(word, name)) {
      return true;
    }
  }
  return false;
}

bool offersCapability(const std::vector<std::string>& responses, std::string_view name) {
  for (const std::string& response : responses) {
    if (hasCapability(capabilityWords(response), name)) {
      return true;
    }
  }
  return false;
}

std::string responseCode(std::string_view response) {
  // tag SP status SP "[" code ...: the code is the third word's start.
  const std::size_t first = response.find(' ');
  const std::size_t second =
      first == std::string_view::npos ? first : response.find(' ', first + 1);
  if (second == std::string_view::npos || second + 1 >= response.size() ||
      response[second + 1] != '[') {
    return std::string();
  }
  std::string code;
  for (std::size_t at = second + 2; at < response.size(); ++at) {
    const char c = response[at];
    if (c == ']' || c == ' ' || c == '\r' || c == '\n') {
      break;
    }
    code += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return code;
}

}  // namespace lodemig
