#include "tests/radicale.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/process.h"
#include "utils/utf8.h"

namespace lodemig::testing {
namespace {

constexpr char kPython[] = "/usr/bin/python3";

// No delay after a failed login, so that tests of wrong passwords stay fast;
// no web interface; warnings only, so the log shows what went wrong.
std::string configText(const ScopedTempDir& dir, int port, const RadicaleOptions& options) {
  std::string config = "[server]\nhosts = 127.0.0.1:" + std::to_string(port) + "\n";
  if (!options.tlsCert.empty() && !options.tlsKey.empty()) {
    config += "ssl = True\ncertificate = " + options.tlsCert + "\nkey = " + options.tlsKey + "\n";
  }
  config += "[auth]\ntype = htpasswd\nhtpasswd_filename = " + dir / "users" +
            "\nhtpasswd_encryption = plain\ndelay = 0\n"
            "[rights]\ntype = owner_only\n"
            "[storage]\nfilesystem_folder = " +
            dir / "storage" +
            "\n"
            "[web]\ntype = none\n"
            "[logging]\nlevel = warning\n";
  return config;
}

// The string value of `key` in the flat JSON object Radicale writes as a
// collection's properties (Python's json.dump: non-ASCII as \uXXXX, with
// surrogate pairs).
std::string jsonString(const std::string& json, const std::string& key) {
  const std::string opening = "\"" + key + "\": \"";
  std::size_t at = json.find(opening);
  if (at == std::string::npos) {
    return std::string();
  }
  std::string value;
  unsigned long high = 0;
  for (at += opening.size(); at < json.size() && json[at] != '"'; ++at) {
    if (json[at] != '\\' || at + 1 >= json.size()) {
      value += json[at];
      continue;
    }
    const char escaped = json[++at];
    if (escaped == 'u' && at + 4 < json.size()) {
      const unsigned long code = std::stoul(json.substr(at + 1, 4), nullptr, 16);
      at += 4;
      if (code >= 0xD800 && code < 0xDC00) {
        high = code;
        continue;
      }
      ostrel::utils::appendUtf8(
          value, static_cast<char32_t>(
                     high != 0 ? 0x10000 + ((high - 0xD800) << 10) + (code - 0xDC00) : code));
      high = 0;
    } else {
      const std::string from = "nrtbf", to = "\n\r\t\b\f";
      const std::size_t index = from.find(escaped);
      value += index == std::string::npos ? escaped : to[index];
    }
  }
  return value;
}

std::string tail(const std::string& text, std::size_t size) {
  return text.size() > size ? text.substr(text.size() - size) : text;
}

}  // namespace

bool Radicale::available(std::string* why) {
  std::string missing;
  if (::access(kRadicale, X_OK) != 0) {
    missing = std::string(kRadicale) + " is not installed";
  } else if (::access(kPython, X_OK) != 0) {
    missing = std::string(kPython) + " is not installed";
  }
  if (why != nullptr) {
    *why = missing;
  }
  return missing.empty();
}

Radicale::Radicale(const ScopedTempDir& dir, const RadicaleOptions& options)
    : storage_(dir / "storage/collection-root"), log_(dir / "radicale.log") {
  if (!available(&problem_)) {
    return;
  }
  port_ = freeLoopbackPort();
  tls_ = !options.tlsCert.empty() && !options.tlsKey.empty();
  std::string users;
  for (const auto& [name, password] : options.users) {
    users += name + ":" + password + "\n";
  }
  writeFile(dir / "users", users);
  const std::string config = dir / "config";
  writeFile(config, configText(dir, port_, options));
  makeDirectories(dir / "storage");
  const int logFd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = ::fork();
  if (pid_ == 0) {
    // Should the test itself be killed, Radicale must not outlive it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || logFd < 0 || ::dup2(null, 0) < 0 || ::dup2(logFd, 1) < 0 ||
        ::dup2(logFd, 2) < 0) {
      ::_exit(126);
    }
    ::execl(kRadicale, "radicale", "--config", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (logFd >= 0) {
    ::close(logFd);
  }
  // Python takes a moment to load Radicale; wait at most 15 seconds.
  for (int attempt = 0; attempt < 300 && pid_ > 0; ++attempt) {
    if (acceptsOnLoopback(port_)) {
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop();
  problem_ = "radicale did not start: " + tail(log(), 2000);
}

Radicale::~Radicale() {
  stop();
}

bool Radicale::stop() {
  if (pid_ <= 0) {
    return true;
  }
  ::kill(pid_, SIGTERM);
  for (int attempt = 0; attempt < 100; ++attempt) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return false;
}

std::string Radicale::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<RadicaleCollection> Radicale::collections(const std::string& user) const {
  namespace fs = std::filesystem;
  std::vector<RadicaleCollection> found;
  std::error_code error;
  for (fs::directory_iterator it(storage_ + "/" + user, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!it->is_directory() || name.rfind(".Radicale", 0) == 0) {
      continue;
    }
    RadicaleCollection collection;
    collection.path = name;
    const std::string props = readFile(it->path().string() + "/.Radicale.props");
    collection.tag = jsonString(props, "tag");
    collection.displayName = jsonString(props, "D:displayname");
    collection.components = jsonString(props, "C:supported-calendar-component-set");
    std::error_code inner;
    for (fs::directory_iterator item(it->path(), inner), last; !inner && item != last;
         item.increment(inner)) {
      const std::string file = item->path().filename().string();
      if (item->is_regular_file() && file.rfind(".Radicale", 0) != 0) {
        collection.items.push_back(file);
      }
    }
    std::sort(collection.items.begin(), collection.items.end());
    found.push_back(collection);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.path < b.path; });
  return found;
}

std::string Radicale::item(const std::string& user, const std::string& collection,
                           const std::string& name) const {
  return readFile(storage_ + "/" + user + "/" + collection + "/" + name);
}

std::string Radicale::log() const {
  return readFile(log_);
}

}  // namespace lodemig::testing
