#ifndef LODEMIG_BENCH_UNIQUE_FD_H_
#define LODEMIG_BENCH_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace lodemig::bench {

// Owns one file descriptor and closes it when destroyed; movable, not copyable.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_UNIQUE_FD_H_
