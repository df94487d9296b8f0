#include "utils/replaced_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::utils {
namespace {

// Why `path` may not be replaced; empty when it may (also when it is not
// there yet).
std::string refusalAt(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? std::string() : std::strerror(errno);
  }
  if (S_ISLNK(info.st_mode)) {
    return "it is a symbolic link";
  }
  if (!S_ISREG(info.st_mode)) {
    return "it is not a regular file";
  }
  return std::string();
}

// Creates `path` for writing. A file left there by an earlier process of the
// same id (a crash between create and rename) is removed once; anything
// planted there, a link included, is never written through.
int createFresh(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags, 0600);
  if (fd < 0 && errno == EEXIST && ::unlink(path.c_str()) == 0) {
    fd = ::open(path.c_str(), kFlags, 0600);
  }
  return fd;
}

// The whole of `content` into `fd`; the system's words when it cannot.
std::string writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written < 0 ? std::strerror(errno) : "nothing could be written";
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::string();
}

}  // namespace

std::string replaceFile(const std::string& path, std::string_view content, mode_t mode) {
  std::string reason = refusalAt(path);
  if (!reason.empty()) {
    return reason;
  }
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = createFresh(temporary);
  if (fd < 0) {
    return std::strerror(errno);
  }
  // The mode is set on the descriptor: the umask only narrows what open()
  // creates.
  if (::fchmod(fd, mode) != 0) {
    reason = std::strerror(errno);
  }
  if (reason.empty()) {
    reason = writeAll(fd, content);
  }
  if (::close(fd) != 0 && reason.empty()) {
    reason = std::strerror(errno);
  }
  if (reason.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
    reason = std::strerror(errno);
  }
  if (!reason.empty()) {
    (void)::unlink(temporary.c_str());
  }
  return reason;
}

}  // namespace ostrel::utils
