#include "utils/output_file.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "utils/private_file.h"

namespace ostrel::utils {

OutputFile::Buffer::Buffer() {
  setp(area_, area_ + kSize);
}

void OutputFile::Buffer::attach(int fd) {
  fd_ = fd;
  error_ = 0;
  setp(area_, area_ + kSize);
}

bool OutputFile::Buffer::detach() {
  if (fd_ < 0) {
    return true;
  }
  bool written = sync() == 0;
  // close() may report a delayed write error of the file system.
  if (::close(fd_) != 0) {
    if (error_ == 0) {
      error_ = errno;
    }
    written = false;
  }
  fd_ = -1;
  setp(area_, area_ + kSize);
  return written;
}

bool OutputFile::Buffer::writeAll(const char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t written = ::write(fd_, bytes, count);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (error_ == 0) {
        error_ = errno;
      }
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

OutputFile::Buffer::int_type OutputFile::Buffer::overflow(int_type c) {
  if (fd_ < 0 || sync() != 0) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize OutputFile::Buffer::xsputn(const char* bytes, std::streamsize count) {
  if (fd_ < 0) {
    return 0;
  }
  std::size_t size = static_cast<std::size_t>(count);
  std::size_t room = static_cast<std::size_t>(epptr() - pptr());
  if (size <= room) {
    std::memcpy(pptr(), bytes, size);
    pbump(static_cast<int>(size));
    return count;
  }
  // Too big for what is left: send the buffered bytes and the new ones
  // straight away rather than copying them through the buffer.
  if (sync() != 0 || !writeAll(bytes, size)) {
    return 0;
  }
  return count;
}

int OutputFile::Buffer::sync() {
  if (fd_ < 0) {
    return -1;
  }
  std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
  if (pending == 0) {
    return 0;
  }
  bool written = writeAll(pbase(), pending);
  setp(area_, area_ + kSize);
  return written ? 0 : -1;
}

OutputFile::OutputFile() : std::ostream(nullptr) {
  rdbuf(&buffer_);
}

OutputFile::~OutputFile() {
  close();
}

bool OutputFile::open(const std::string& path) {
  close();
  path_ = path;
  syncError_ = 0;
  PrivateFile file = openPrivateFile(path);
  openFailure_ = file.reason;
  if (file.fd < 0) {
    setstate(std::ios::failbit);
    return false;
  }
  buffer_.attach(file.fd);
  clear();
  return true;
}

bool OutputFile::close() {
  if (!isOpen()) {
    return true;
  }
  bool written = buffer_.detach();
  if (!written) {
    setstate(std::ios::badbit);
  }
  return written;
}

bool OutputFile::syncToDisk() {
  flush();
  if (!isOpen() || !good()) {
    return false;
  }
  if (::fdatasync(buffer_.fd()) != 0) {
    if (syncError_ == 0) {
      syncError_ = errno;
    }
    setstate(std::ios::badbit);
    return false;
  }
  return true;
}

std::int64_t fileLength(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
}

namespace {

// The process that holds a lock on the file of `fd`, from the kernel's list
// of locks ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"); -1 when none
// is found.
long lockHolder(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    return -1;
  }
  std::ifstream locks("/proc/locks");
  const std::string inode = ":" + std::to_string(info.st_ino);
  std::string line;
  // The list has one line per lock held on the system: bounded.
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, device;
    long pid = -1;
    if (fields >> number >> kind >> mode >> access >> pid >> device && kind == "FLOCK" &&
        device.size() > inode.size() &&
        device.compare(device.size() - inode.size(), inode.size(), inode) == 0) {
      return pid;
    }
  }
  return -1;
}

}  // namespace

long OutputFile::lockExclusive() {
  // A BSD lock belongs to this open file: the process may open and close
  // the same path elsewhere (to cut it back) without losing it.
  if (::flock(buffer_.fd(), LOCK_EX | LOCK_NB) == 0) {
    return 0;
  }
  return errno == EWOULDBLOCK ? lockHolder(buffer_.fd()) : -1;
}

bool truncateFile(const std::string& path, std::int64_t length) {
  // Through the same checks as the writer's open: a symbolic link planted at
  // the path must not cut the file it points to.
  PrivateFile file = openPrivateFile(path);
  if (file.fd < 0) {
    return false;
  }
  struct stat info;
  const bool cut =
      ::fstat(file.fd, &info) == 0 && (!S_ISREG(info.st_mode) || info.st_size <= length ||
                                       ::ftruncate(file.fd, static_cast<off_t>(length)) == 0);
  ::close(file.fd);
  return cut;
}

std::string OutputFile::failureText() const {
  return "cannot write file " + path_ + ": " + failureReason();
}

std::string OutputFile::failureReason() const {
  const int reason = error();
  if (!openFailure_.empty() || reason == 0) {
    return openFailure_.empty() ? "the file is not open" : openFailure_;
  }
  return std::strerror(reason);
}

}  // namespace ostrel::utils
