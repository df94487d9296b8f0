#include "utils/inet_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace ostrel::utils {
namespace {

std::string dottedQuad(std::uint32_t address) {
  std::ostringstream text;
  text << (address >> 24) << '.' << ((address >> 16) & 0xFF) << '.' << ((address >> 8) & 0xFF)
       << '.' << (address & 0xFF);
  return text.str();
}

bool equalsIgnoringCase(const std::string& text, const char* expected) {
  const std::size_t length = std::strlen(expected);
  if (text.size() != length) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != expected[i]) {
      return false;
    }
  }
  return true;
}

bool allDigits(const std::string& text) {
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return !text.empty();
}

constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;
constexpr std::uint32_t kLoopback = 0x7F000001u;

}  // namespace

void Inet4Address::print(std::ostream& stream) const {
  stream << dottedQuad(address_);
}

std::string Inet4Address::hostName() {
  if (!nameKnown_) {
    if (address_ == 0) {
      name_ = "0.0.0.0";
    } else {
      sockaddr_in form{};
      form.sin_family = AF_INET;
      form.sin_addr.s_addr = htonl(address_);
      char host[1025];
      if (::getnameinfo(reinterpret_cast<const ::sockaddr*>(&form), sizeof form, host, sizeof host,
                        nullptr, 0, NI_NAMEREQD) != 0) {
        throw CantResolveException("Can't resolve host: " + dottedQuad(address_));
      }
      name_ = host;
    }
    nameKnown_ = true;
  }
  return name_;
}

namespace {

// Reads exactly four groups of 1 to 3 decimal digits, each at most 255, with
// single dots between them. The groups are decimal even with leading zeros:
// "010" is ten, not the octal eight that the C library's parser would make of it.
bool parseDottedQuad(const std::string& text, std::uint32_t* address) {
  std::uint32_t result = 0;
  int groups = 0;
  std::size_t i = 0;
  while (true) {
    unsigned value = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) {
      return false;
    }
    result = (result << 8) | value;
    ++groups;
    if (i == text.size()) {
      if (groups != 4) {
        return false;
      }
      *address = result;
      return true;
    }
    if (text[i] != '.' || groups == 4) {
      return false;
    }
    ++i;
  }
}

}  // namespace

bool isDottedQuad(const std::string& text) {
  std::uint32_t ignored = 0;
  return parseDottedQuad(text, &ignored);
}

namespace {

// Asks the resolver for the first IPv4 address of `host`.
std::uint32_t lookUpHost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error != 0 || found == nullptr) {
    if (found != nullptr) {
      ::freeaddrinfo(found);
    }
    // The resolver's own code says more than errno, which it rarely sets.
    const int code = error == EAI_SYSTEM ? errno : error;
    throw CantResolveException("Cant resolve host: " + host + " (error " + std::to_string(code) +
                               ")");
  }
  const std::uint32_t address =
      ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(found);
  if (address == kNoAddress) {
    throw CantResolveException("Resolve ok. No address for host: " + host);
  }
  return address;
}

}  // namespace

Inet4Address resolveHost(const std::string& host) {
  std::uint32_t address = 0;
  if (!parseDottedQuad(host, &address)) {
    if (host.empty() || host == "0") {
      address = 0;
    } else if (equalsIgnoringCase(host, "localhost")) {
      address = kLoopback;
    } else {
      address = lookUpHost(host);
    }
  }
  Inet4Address result(address);
  result.setName(host);
  return result;
}

void Url::reset() {
  text_.clear();
  scheme_.clear();
  user_.clear();
  password_.clear();
  host_.clear();
  portText_.clear();
  path_.clear();
  port_ = 0;
  address_ = Inet4Address();
  parsed_ = false;
  resolved_ = false;
  serviceUnknown_ = false;
}

bool Url::parse() {
  if (parsed_) {
    return true;
  }
  std::size_t scan = 0;
  const std::size_t schemeEnd = text_.find("://");
  if (schemeEnd != std::string::npos) {
    scheme_ = text_.substr(0, schemeEnd);
    scan = schemeEnd + 3;
  }
  std::size_t authorityEnd = text_.find_first_of("/?#", scan);
  if (authorityEnd == std::string::npos) {
    authorityEnd = text_.size();
  }
  const std::size_t at = text_.find('@', scan);
  if (at != std::string::npos && at < authorityEnd) {
    const std::size_t colon = text_.find(':', scan);
    if (colon != std::string::npos && colon < at) {
      user_ = text_.substr(scan, colon - scan);
      password_ = text_.substr(colon + 1, at - colon - 1);
    } else {
      user_ = text_.substr(scan, at - scan);
    }
    scan = at + 1;
  }
  path_ = text_.substr(authorityEnd);
  std::size_t hostEnd = authorityEnd;
  const std::size_t colon = text_.find(':', scan);
  if (colon != std::string::npos && colon < authorityEnd) {
    portText_ = text_.substr(colon + 1, authorityEnd - colon - 1);
    hostEnd = colon;
  }
  host_ = text_.substr(scan, hostEnd - scan);
  parsed_ = true;

  if (portText_.empty()) {
    return true;
  }
  if (allDigits(portText_)) {
    std::uint32_t value = 0;
    for (const char c : portText_) {
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    port_ = value;
    return true;
  }
  servent entry{};
  servent* service = nullptr;
  char scratch[1024];
  if (::getservbyname_r(portText_.c_str(), nullptr, &entry, scratch, sizeof scratch, &service) ==
          0 &&
      service != nullptr) {
    port_ = ntohs(static_cast<std::uint16_t>(service->s_port));
    return true;
  }
  port_ = 0;
  portText_.clear();
  serviceUnknown_ = true;
  return false;
}

bool Url::resolve(bool quiet) {
  // A failed parse is remembered: parse() itself answers true once it has run,
  // but a port that names no service must still leave no address behind.
  if (!parse() || serviceUnknown_) {
    reset();
    return false;
  }
  if (resolved_) {
    return true;
  }
  if (!host_.empty()) {
    try {
      address_ = resolveHost(host_);
    } catch (const CantResolveException&) {
      if (!quiet) {
        throw;
      }
      reset();
      return false;
    }
  }
  resolved_ = true;
  return true;
}

InetSocketAddress::InetSocketAddress(const std::string& text) {
  Url url(text);
  *this = InetSocketAddress(url);
}

InetSocketAddress::InetSocketAddress(Url& url) {
  url.parse();
  port_ = url.port();
  // Resolution failures are absorbed: the address stays 0.0.0.0 and the
  // port is kept, so that the connection attempt is what fails.
  url.resolve(true);
  Inet4Address::operator=(url.address());
}

InetSocketAddress::InetSocketAddress(const Inet4Address& address, std::uint32_t port)
    : Inet4Address(address), port_(port) {}

InetSocketAddress::InetSocketAddress(const InetSocketAddress& other)
    : Inet4Address(other), port_(other.port_) {}

InetSocketAddress& InetSocketAddress::operator=(const InetSocketAddress& other) {
  if (this != &other) {
    Inet4Address::operator=(other);
    port_ = other.port_;
    cached_.reset();
  }
  return *this;
}

const sockaddr_in& InetSocketAddress::sockaddr() const {
  if (!cached_) {
    cached_ = std::make_unique<sockaddr_in>();
    cached_->sin_family = AF_INET;
    cached_->sin_port = htons(static_cast<std::uint16_t>(port_ & 0xFFFF));
    cached_->sin_addr.s_addr = htonl(address());
  }
  return *cached_;
}

void InetSocketAddress::reset() {
  Inet4Address::operator=(Inet4Address());
  port_ = 0;
  cached_.reset();
}

InetSSLSocketAddress::InetSSLSocketAddress(Url& url, const std::string& text1,
                                           const std::string& text2)
    : InetSocketAddress(url), text1_(text1), text2_(text2) {}

InetSSLSocketAddress::InetSSLSocketAddress(const Inet4Address& address, std::uint32_t port,
                                           const std::string& text1, const std::string& text2)
    : InetSocketAddress(address, port), text1_(text1), text2_(text2) {}

std::string resolutionFailure(const std::string& host, bool* temporary) {
  if (temporary != nullptr) {
    *temporary = false;
  }
  std::uint32_t ignored = 0;
  if (parseDottedQuad(host, &ignored) || equalsIgnoringCase(host, "localhost")) {
    return std::string();
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error =
      host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const int savedErrno = errno;
  if (found != nullptr) {
    ::freeaddrinfo(found);
  }
  if (error == 0) {
    return std::string();
  }
  if (temporary != nullptr) {
    *temporary = error == EAI_AGAIN;
  }
  const char* reason = error == EAI_SYSTEM ? std::strerror(savedErrno) : ::gai_strerror(error);
  return "cannot resolve " + host + ": " + reason;
}

bool isLoopbackHost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
    return false;
  }
  bool loopback = found != nullptr;
  for (const addrinfo* entry = found; entry != nullptr && loopback; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      loopback = (ntohl(address->sin_addr.s_addr) >> 24) == 127;
    } else if (entry->ai_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      loopback = IN6_IS_ADDR_LOOPBACK(&address->sin6_addr) != 0;
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

}  // namespace ostrel::utils
