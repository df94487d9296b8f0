#include "utils/staged_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::utils {
namespace {

// Why the entry `name` of directory `fd` may not be taken as what `wanted`
// says (S_IFDIR, S_IFREG); `fallback` when it looks right after all.
std::string refusalOf(int fd, const std::string& name, mode_t wanted, const std::string& fallback) {
  struct stat info;
  if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? fallback : std::strerror(errno);
  }
  if (S_ISLNK(info.st_mode)) {
    return "it is a symbolic link";
  }
  if ((info.st_mode & S_IFMT) != wanted) {
    return wanted == S_IFDIR ? "it is not a directory" : "it is not a regular file";
  }
  return fallback;
}

}  // namespace

StagedFile::~StagedFile() {
  discard();
}

bool StagedFile::fail(const std::string& path, const std::string& reason) {
  failedPath_ = path;
  failure_ = reason;
  discard();
  return false;
}

void StagedFile::closeAll() {
  if (fd_ >= 0) {
    (void)::close(fd_);
    fd_ = -1;
  }
  if (directory_ >= 0) {
    (void)::close(directory_);
    directory_ = -1;
  }
}

void StagedFile::discard() {
  if (fd_ >= 0 && directory_ >= 0) {
    (void)::unlinkat(directory_, temporary_.c_str(), 0);
  }
  closeAll();
}

bool StagedFile::openDirectories(const std::string& base, const std::vector<std::string>& levels) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  directory_ = ::open(base.c_str(), kFlags);
  if (directory_ < 0 && errno == ENOENT && ::mkdir(base.c_str(), 0700) == 0) {
    directory_ = ::open(base.c_str(), kFlags);
  }
  if (directory_ < 0) {
    return fail(base, std::strerror(errno));
  }
  std::string path = base;
  for (const std::string& level : levels) {
    path += "/" + level;
    if (::mkdirat(directory_, level.c_str(), 0700) != 0 && errno != EEXIST) {
      return fail(path, std::strerror(errno));
    }
    const int next = ::openat(directory_, level.c_str(), kFlags | O_NOFOLLOW);
    if (next < 0) {
      const std::string why = std::strerror(errno);
      return fail(path, refusalOf(directory_, level, S_IFDIR, why));
    }
    (void)::close(directory_);
    directory_ = next;
  }
  return true;
}

bool StagedFile::open(const std::string& base, const std::vector<std::string>& levels,
                      const std::string& name, mode_t mode) {
  discard();
  failedPath_.clear();
  failure_.clear();
  path_ = base;
  for (const std::string& level : levels) {
    path_ += "/" + level;
  }
  path_ += "/" + name;
  name_ = name;
  temporary_ = name + ".tmp." + std::to_string(::getpid());
  if (!openDirectories(base, levels)) {
    return false;
  }
  // Refused now rather than after every byte is written.
  const std::string refusal = refusalOf(directory_, name_, S_IFREG, std::string());
  if (!refusal.empty()) {
    return fail(path_, refusal);
  }
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  fd_ = ::openat(directory_, temporary_.c_str(), kFlags, 0600);
  // Left by an earlier process of the same id that was killed mid-write.
  if (fd_ < 0 && errno == EEXIST && ::unlinkat(directory_, temporary_.c_str(), 0) == 0) {
    fd_ = ::openat(directory_, temporary_.c_str(), kFlags, 0600);
  }
  if (fd_ < 0) {
    return fail(path_ + ".tmp." + std::to_string(::getpid()), std::strerror(errno));
  }
  if (::fchmod(fd_, mode) != 0) {
    return fail(path_, std::strerror(errno));
  }
  return true;
}

bool StagedFile::write(std::string_view bytes) {
  if (fd_ < 0) {
    return fail(path_, "it is not open");
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return fail(path_, written < 0 ? std::strerror(errno) : "nothing could be written");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool StagedFile::commit() {
  if (fd_ < 0) {
    return fail(path_, "it is not open");
  }
  // close() may report a delayed write error of the file system.
  const int closed = ::close(fd_);
  fd_ = -1;
  std::string reason = closed != 0 ? std::strerror(errno) : std::string();
  if (reason.empty()) {
    reason = refusalOf(directory_, name_, S_IFREG, std::string());
  }
  if (reason.empty() &&
      ::renameat(directory_, temporary_.c_str(), directory_, name_.c_str()) != 0) {
    reason = std::strerror(errno);
  }
  if (!reason.empty()) {
    (void)::unlinkat(directory_, temporary_.c_str(), 0);
    return fail(path_, reason);
  }
  closeAll();
  return true;
}

}  // namespace ostrel::utils
