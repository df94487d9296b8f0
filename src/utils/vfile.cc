#include "utils/vfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrel::utils {

int VStream::getChar() {
  if (unread_ <= 0) {
    return refill();
  }
  --unread_;
  return readBuffer_[readPosition_++];
}

int VStream::peekChar() {
  return ungetChar(getChar());
}

int VStream::ungetChar(int c) {
  if (c < 0 || readPosition_ == 0) {
    return -1;
  }
  readBuffer_[--readPosition_] = static_cast<unsigned char>(c);
  ++unread_;
  return c & 0xFF;
}

int VStream::refill() {
  if (writePosition_ > 0 && flush() != 0) {
    return -1;
  }
  // The bytes read before stay where they are not needed: ungetChar stores the
  // byte it is given, so the spare room in front is all a put-back needs.
  readPosition_ = kPutBack;
  unread_ = 0;
  ssize_t count = readRaw(readBuffer_ + kPutBack, kBufferSize);
  if (count > 0) {
    endOfInput_ = false;
    readFailed_ = false;
    unread_ = static_cast<int>(count);
    return getChar();
  }
  endOfInput_ = count == 0;
  readFailed_ = count < 0;
  return -1;
}

std::size_t VStream::write(const void* buffer, std::size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  std::size_t accepted = 0;
  while (accepted < size) {
    if (writePosition_ == kBufferSize && flush() != 0) {
      break;
    }
    std::size_t room = static_cast<std::size_t>(kBufferSize - writePosition_);
    std::size_t part = size - accepted < room ? size - accepted : room;
    std::memcpy(writeBuffer_ + writePosition_, bytes + accepted, part);
    writePosition_ += static_cast<int>(part);
    accepted += part;
  }
  return accepted;
}

int VStream::flush() {
  int written = 0;
  while (written < writePosition_) {
    ssize_t count =
        writeRaw(writeBuffer_ + written, static_cast<std::size_t>(writePosition_ - written));
    if (count < 1) {
      // Keep only what is still unwritten, so that a retry does not write the
      // first part twice.
      std::memmove(writeBuffer_, writeBuffer_ + written,
                   static_cast<std::size_t>(writePosition_ - written));
      writePosition_ -= written;
      return -1;
    }
    written += static_cast<int>(count);
  }
  writePosition_ = 0;
  return 0;
}

void VStream::resetBuffers() {
  readPosition_ = kPutBack;
  unread_ = 0;
  writePosition_ = 0;
  endOfInput_ = false;
  readFailed_ = false;
}

VFile::~VFile() {
  close();
}

bool VFile::open(const std::string& name, const char* mode, mode_t permissions) {
  if (name.empty() || name.find('\0') != std::string::npos || mode == nullptr ||
      (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    errno = EINVAL;
    return false;
  }
  close();
  bool both = std::strchr(mode, '+') != nullptr;
  // Non-blocking, so that a FIFO cannot hang the open; it is refused below.
  // On a regular file the flag changes nothing, so it may stay set.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode[0]) {
    case 'r':
      flags |= both ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags |= (both ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
      break;
    default:
      flags |= (both ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
  }
  int fd;
  do {
    fd = ::open(name.c_str(), flags, permissions);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return false;
  }
  // A directory opens for reading here but every read would fail, and a FIFO
  // or a device (a link to /dev/zero) may never end: only a regular file is
  // kept. The descriptor is checked, not the name, which may change meanwhile.
  struct stat info;
  int error = 0;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  }
  if (error != 0) {
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  openedSize_ = static_cast<std::int64_t>(info.st_size);
  readLimit_ = -1;
  bytesRead_ = 0;
  readLimitReached_ = false;
  lockDepth_ = 0;
  owner_ = std::this_thread::get_id();
  resetBuffers();
  return true;
}

void VFile::close() {
  if (fd_ < 0) {
    return;
  }
  (void)flush();
  // Closing the descriptor releases the locks taken through it.
  ::close(fd_);
  fd_ = -1;
  lockDepth_ = 0;
  resetBuffers();
}

int VFile::seek(std::int64_t offset, int origin) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (fd_ < 0 || origin < 0 || origin > 2) {
    return -1;
  }
  return ::lseek(fd_, static_cast<off_t>(offset), kWhence[origin]) < 0 ? -1 : 0;
}

std::int64_t VFile::tell() {
  if (fd_ < 0) {
    return -1;
  }
  return ::lseek(fd_, 0, SEEK_CUR);
}

ssize_t VFile::readRaw(void* buffer, std::size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  if (readLimit_ >= 0) {
    // At the limit one byte more is asked for: only a read tells whether the
    // file goes on, and a file of exactly the limit must still end normally.
    std::int64_t room = std::max<std::int64_t>(readLimit_ - bytesRead_, 1);
    size = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(size), room));
  }
  ssize_t count;
  do {
    count = ::read(fd_, buffer, size);
  } while (count < 0 && errno == EINTR);
  if (count > 0) {
    bytesRead_ += count;
    if (readLimit_ >= 0 && bytesRead_ > readLimit_) {
      readLimitReached_ = true;
      errno = EFBIG;
      return -1;
    }
  }
  return count;
}

ssize_t VFile::writeRaw(const void* buffer, std::size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return 0;
  }
  ssize_t count;
  do {
    count = ::write(fd_, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count < 0 ? 0 : count;
}

bool VFile::lock(bool exclusive, bool wait) {
  if (fd_ < 0 || std::this_thread::get_id() != owner_) {
    return false;
  }
  if (lockDepth_ < 0) {
    --lockDepth_;
    return true;
  }
  if (lockDepth_ > 0) {
    if (exclusive) {
      return false;
    }
    ++lockDepth_;
    return true;
  }
  // Locks on the open file description, unlike classic record locks, do not
  // vanish when some other descriptor of the same file is closed, and they
  // conflict between two opens within this process.
  struct flock request {};
  request.l_type = exclusive ? F_WRLCK : F_RDLCK;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 0;
  int result;
  do {
    result = ::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request);
  } while (result != 0 && errno == EINTR && wait);
  if (result != 0) {
    return false;
  }
  lockDepth_ = exclusive ? -1 : 1;
  return true;
}

bool VFile::lockExclusive() {
  return lock(true, true);
}
bool VFile::tryLockExclusive() {
  return lock(true, false);
}
bool VFile::lockShared() {
  return lock(false, true);
}
bool VFile::tryLockShared() {
  return lock(false, false);
}

bool VFile::unlock() {
  if (fd_ < 0 || lockDepth_ == 0) {
    return false;
  }
  lockDepth_ += lockDepth_ > 0 ? -1 : 1;
  if (lockDepth_ != 0) {
    return true;
  }
  struct flock request {};
  request.l_type = F_UNLCK;
  request.l_whence = SEEK_SET;
  return ::fcntl(fd_, F_OFD_SETLK, &request) == 0;
}

}  // namespace ostrel::utils
