#include "utils/input_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace ostrel::utils {

namespace {

std::int64_t modifiedAt(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

bool DirectoryHandle::open(const std::string& path) {
  close();
  // O_DIRECTORY refuses a FIFO before it is opened, so this cannot block.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  return fd_ >= 0;
}

void DirectoryHandle::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool InputFile::open(const std::string& path) {
  return openAt(AT_FDCWD, path.c_str());
}

bool InputFile::open(const DirectoryHandle& directory, const std::string& name) {
  if (!directory.isOpen()) {
    close();
    openFailure_ = "its directory is not open";
    missingAtOpen_ = false;
    return false;
  }
  return openAt(directory.fd_, name.c_str());
}

bool InputFile::openAt(int directoryFd, const char* name) {
  close();
  // Non-blocking, so that a FIFO met in the store cannot hang the open; it is
  // refused below like a directory, which opens fine for reading too.
  int fd = ::openat(directoryFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    missingAtOpen_ = errno == ENOENT;
    openFailure_ = std::strerror(errno);
    return false;
  }
  missingAtOpen_ = false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    openFailure_ = "not a regular file";
    ::close(fd);
    return false;
  }
  openFailure_.clear();
  // A file that one read takes whole gains nothing from read-ahead advice,
  // and a message directory opens one such file per message.
  if (info.st_size > static_cast<off_t>(kBufferSize)) {
    static_cast<void>(::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
  }
  if (!buffer_) {
    // Not value-initialised: a small file never touches most of the pages.
    buffer_.reset(new char[kBufferSize]);
  }
  fd_ = fd;
  openedSize_ = static_cast<std::int64_t>(info.st_size);
  openedModified_ = modifiedAt(info);
  failFrom_ = -1;
  return true;
}

void InputFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  bufferStart_ = 0;
  bufferLength_ = 0;
  position_ = 0;
  clearState();
}

bool InputFile::seek(std::int64_t position) {
  if (!isOpen() || position < 0) {
    return false;
  }
  position_ = position;
  clearState();
  return true;
}

std::int64_t InputFile::size() const {
  struct stat info;
  if (!isOpen() || ::fstat(fd_, &info) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(info.st_size);
}

bool InputFile::unchangedSinceOpen() const {
  struct stat info;
  return isOpen() && ::fstat(fd_, &info) == 0 &&
         static_cast<std::int64_t>(info.st_size) == openedSize_ &&
         modifiedAt(info) == openedModified_;
}

std::int64_t InputFile::readAt(char* buffer, std::size_t size, std::int64_t at) {
  if (failFrom_ >= 0) {
    if (at >= failFrom_) {
      errno = EIO;
      return -1;
    }
    size = std::min<std::size_t>(size, static_cast<std::size_t>(failFrom_ - at));
  }
  for (;;) {
    ssize_t count = ::pread(fd_, buffer, size, static_cast<off_t>(at));
    if (count >= 0 || errno != EINTR) {
      return count;
    }
  }
}

bool InputFile::fill(std::size_t want) {
  if (!isOpen()) {
    failed_ = true;
    return false;
  }
  want = std::min(want, kBufferSize);
  std::size_t have = 0;
  if (position_ >= bufferStart_ &&
      position_ < bufferStart_ + static_cast<std::int64_t>(bufferLength_)) {
    have = bufferLength_ - static_cast<std::size_t>(position_ - bufferStart_);
    if (have >= want) {
      return true;
    }
    // Keep the tail already read and read on behind it.
    std::memmove(buffer_.get(), buffer_.get() + (bufferLength_ - have), have);
  }
  bufferStart_ = position_;
  bufferLength_ = have;
  while (bufferLength_ < want) {
    std::int64_t count = readAt(buffer_.get() + bufferLength_, kBufferSize - bufferLength_,
                                bufferStart_ + static_cast<std::int64_t>(bufferLength_));
    if (count < 0) {
      bufferLength_ = 0;
      failed_ = true;
      return false;
    }
    if (count == 0) {
      atEnd_ = true;
      return bufferLength_ > 0;
    }
    bufferLength_ += static_cast<std::size_t>(count);
  }
  return true;
}

const char* InputFile::peek(std::size_t& available, std::size_t want) {
  if (!fill(want)) {
    available = 0;
    return nullptr;
  }
  std::size_t skipped = static_cast<std::size_t>(position_ - bufferStart_);
  available = bufferLength_ - skipped;
  return buffer_.get() + skipped;
}

bool InputFile::readLine(std::string& line, std::size_t maxKeep) {
  line.clear();
  bool readAny = false;
  for (;;) {
    if (!fill()) {
      if (failed_) {
        line.clear();
        return false;
      }
      return readAny;
    }
    std::size_t skip = static_cast<std::size_t>(position_ - bufferStart_);
    const char* begin = buffer_.get() + skip;
    std::size_t available = bufferLength_ - skip;
    const char* lineFeed = static_cast<const char*>(std::memchr(begin, '\n', available));
    std::size_t take = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - begin) : available;
    if (line.size() < maxKeep) {
      line.append(begin, std::min(take, maxKeep - line.size()));
    }
    readAny = true;
    if (lineFeed != nullptr) {
      position_ += static_cast<std::int64_t>(take) + 1;
      return true;
    }
    position_ += static_cast<std::int64_t>(take);
  }
}

std::int64_t InputFile::readDirect(std::int64_t at, char* buffer, std::size_t size) {
  if (!isOpen() || at < 0) {
    return -1;
  }
  std::size_t done = 0;
  while (done < size) {
    std::int64_t count = readAt(buffer + done, size - done, at + static_cast<std::int64_t>(done));
    if (count < 0) {
      return -1;
    }
    if (count == 0) {
      break;
    }
    done += static_cast<std::size_t>(count);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t InputFile::read(char* buffer, std::size_t size) {
  if (!isOpen()) {
    failed_ = true;
    return -1;
  }
  std::size_t done = 0;
  while (done < size) {
    std::int64_t bufferEnd = bufferStart_ + static_cast<std::int64_t>(bufferLength_);
    if (position_ >= bufferStart_ && position_ < bufferEnd) {
      std::size_t take = std::min(size - done, static_cast<std::size_t>(bufferEnd - position_));
      std::memcpy(buffer + done, buffer_.get() + (position_ - bufferStart_), take);
      done += take;
      position_ += static_cast<std::int64_t>(take);
      continue;
    }
    std::size_t remaining = size - done;
    if (remaining >= kBufferSize) {
      // Large reads go straight into the caller's buffer: one copy less.
      std::int64_t count = readAt(buffer + done, remaining, position_);
      if (count < 0) {
        failed_ = true;
        return -1;
      }
      if (count == 0) {
        atEnd_ = true;
        break;
      }
      done += static_cast<std::size_t>(count);
      position_ += count;
      continue;
    }
    if (!fill()) {
      if (failed_) {
        return -1;
      }
      break;
    }
  }
  return static_cast<std::int64_t>(done);
}

}  // namespace ostrel::utils
