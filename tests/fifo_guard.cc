#include "tests/fifo_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace lodemig::testing {

FifoGuard::FifoGuard(std::string path, int seconds) : path_(std::move(path)) {
  if (::mkfifo(path_.c_str(), 0600) != 0) {
    throw std::runtime_error("cannot make FIFO " + path_);
  }
  thread_ = std::thread([this, seconds] {
    std::unique_lock<std::mutex> lock(mutex_);
    auto wait = std::chrono::seconds(seconds);
    while (!wake_.wait_for(lock, wait, [this] { return stopping_; })) {
      // Without a reader blocked in open() this fails at once (ENXIO).
      int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        ::close(fd);
        released_ = true;
      }
      wait = std::chrono::seconds(1);
    }
  });
}

FifoGuard::~FifoGuard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool FifoGuard::released() {
  std::lock_guard<std::mutex> lock(mutex_);
  return released_;
}

}  // namespace lodemig::testing
