#include "utils/output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

bool OutputFile::open(const std::string& path, mode_t permissions) {
  close();
  path_ = path;
  error_ = 0;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, permissions);
  if (fd < 0) {
    error_ = errno;
    setstate(std::ios::failbit);
    return false;
  }
  buffer_.attach(fd);
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
    if (error_ == 0) {
      error_ = errno;
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

bool truncateFile(const std::string& path, std::int64_t length) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return errno == ENOENT;
  }
  if (info.st_size <= length) {
    return true;
  }
  return ::truncate(path.c_str(), static_cast<off_t>(length)) == 0;
}

std::string OutputFile::failureText() const {
  const int reason = error();
  return "cannot write file " + path_ + ": " +
         (reason != 0 ? std::strerror(reason) : "the file is not open");
}

}  // namespace ostrel::utils
