#include "dav/dav_url.h"

#include <cctype>

#include "utils/ascii.h"

namespace lodemig {
namespace {

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

void appendEscaped(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

}  // namespace

std::string DavUrl::origin() const {
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

bool parseDavUrl(std::string_view text, DavUrl& url) {
  const std::size_t colon = text.find("://");
  if (colon == std::string_view::npos) {
    return false;
  }
  url.scheme = ostrel::utils::lowerAsciiCopy(text.substr(0, colon));
  if (url.scheme != "http" && url.scheme != "https") {
    return false;
  }
  std::string_view rest = text.substr(colon + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  url.path = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  const std::size_t bracket = authority.rfind(']');
  const std::size_t portColon = authority.rfind(':');
  if (portColon != std::string_view::npos &&
      (bracket == std::string_view::npos || portColon > bracket)) {
    url.port = std::string(authority.substr(portColon + 1));
    authority = authority.substr(0, portColon);
    for (const char c : url.port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        return false;
      }
    }
  } else {
    url.port.clear();
  }
  url.host = std::string(authority);
  return !url.host.empty();
}

bool resolveHref(const DavUrl& base, std::string_view href, DavUrl& resolved) {
  if (href.find("://") != std::string_view::npos && href.find("://") < href.find_first_of("/?#")) {
    return parseDavUrl(href, resolved);
  }
  if (href.rfind("//", 0) == 0) {
    return parseDavUrl(base.scheme + ":" + std::string(href), resolved);
  }
  resolved = base;
  href = href.substr(0, href.find_first_of("?#"));
  if (href.rfind("/", 0) == 0) {
    resolved.path = std::string(href);
  } else {
    const std::size_t last = base.path.rfind('/');
    resolved.path = (last == std::string::npos ? std::string("/") : base.path.substr(0, last + 1)) +
                    std::string(href);
  }
  return true;
}

std::string percentEncode(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      out += c;
    } else {
      appendEscaped(out, byte);
    }
  }
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string comparablePath(std::string_view path) {
  std::string decoded = percentDecode(path);
  while (decoded.size() > 1 && decoded.back() == '/') {
    decoded.pop_back();
  }
  return decoded;
}

std::string lastPathLevel(std::string_view path) {
  const std::string whole = comparablePath(path);
  const std::size_t slash = whole.rfind('/');
  return slash == std::string::npos ? whole : whole.substr(slash + 1);
}

std::string collectionPathLevel(std::string_view displayName) {
  constexpr std::size_t kMaxLevel = 120;
  std::string out;
  for (std::size_t i = 0; i < displayName.size(); ++i) {
    const auto byte = static_cast<unsigned char>(displayName[i]);
    // Cut only between characters, so that the level stays valid UTF-8.
    if (out.size() >= kMaxLevel && (byte & 0xC0) != 0x80) {
      break;
    }
    if (byte == '/' || byte == '\\' || byte == '~') {
      out += '-';
    } else if (byte == '.' && out.empty()) {
      out += '_';
    } else if (isUnreserved(byte)) {
      out += static_cast<char>(byte);
    } else {
      appendEscaped(out, byte);
    }
  }
  return out.empty() ? "collection" : out;
}

}  // namespace lodemig
