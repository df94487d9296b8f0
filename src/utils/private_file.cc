#include "utils/private_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::utils {
namespace {

// Why an opened file may not take a secret; empty when it may (after its
// mode was narrowed, if it had to be).
std::string refusalOf(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    return std::strerror(errno);
  }
  if (S_ISCHR(info.st_mode)) {
    return std::string();
  }
  if (!S_ISREG(info.st_mode)) {
    return "it is not a regular file";
  }
  // A file planted by someone else would hand them every line we write.
  if (info.st_uid != ::geteuid()) {
    return "it belongs to another user";
  }
  if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    return std::strerror(errno);
  }
  return std::string();
}

}  // namespace

PrivateFile openPrivateFile(const std::string& path) {
  PrivateFile file;
  // O_NONBLOCK: a FIFO without a reader fails here instead of hanging the
  // run; it is refused below anyway.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    // ENXIO: a FIFO without a reader, or a socket.
    file.reason = errno == ELOOP   ? "it is a symbolic link"
                  : errno == ENXIO ? "it is not a regular file"
                                   : std::strerror(errno);
    return file;
  }
  std::string refusal = refusalOf(fd);
  if (!refusal.empty()) {
    ::close(fd);
    file.reason = refusal;
    return file;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) {
    (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  file.fd = fd;
  return file;
}

}  // namespace ostrel::utils
