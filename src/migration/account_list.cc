#include "migration/account_list.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "utils/ascii.h"

namespace lodemig {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The line without its note and the blanks around the name.
std::string_view nameOf(std::string_view line) {
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == '#' && (at == 0 || isBlank(line[at - 1]))) {
      line = line.substr(0, at);
      break;
    }
  }
  while (!line.empty() && isBlank(line.front())) {
    line.remove_prefix(1);
  }
  while (!line.empty() && isBlank(line.back())) {
    line.remove_suffix(1);
  }
  return line;
}

// One '@' with a name on either side, and nothing a mailbox name or a
// domain never holds: blanks, control characters, quotes.
bool isAccountName(std::string_view name) {
  const std::size_t at = name.find('@');
  if (at == 0 || at == std::string_view::npos || at + 1 == name.size() ||
      name.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '"') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool AccountList::read(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read users file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string content;
  char block[65536];
  // Read one block past the limit at most, enough to tell it is over.
  while (content.size() <= kMaxBytes && file.read(block, sizeof block).gcount() > 0) {
    content.append(block, static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) {
    error = "cannot read users file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (content.size() > kMaxBytes) {
    error = "users file " + path + " is larger than " + std::to_string(kMaxBytes >> 20) + " MiB";
    return false;
  }
  return parse(content, path, error);
}

bool AccountList::parse(std::string_view text, const std::string& path, std::string& error) {
  accounts_.clear();
  lowered_.clear();
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const std::string_view name = nameOf(line);
    if (name.empty()) {
      continue;
    }
    if (!isAccountName(name)) {
      error = "users file " + path + ", line " + std::to_string(number) + ": \"" +
              std::string(line) + "\" is not user@domain";
      return false;
    }
    if (lowered_.insert(ostrel::utils::lowerAsciiCopy(name)).second) {
      accounts_.emplace_back(name);
    }
  }
  return true;
}

bool AccountList::contains(std::string_view account) const {
  return lowered_.count(ostrel::utils::lowerAsciiCopy(account)) > 0;
}

}  // namespace lodemig
