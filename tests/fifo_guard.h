#ifndef LODEMIG_TESTS_FIFO_GUARD_H_
#define LODEMIG_TESTS_FIFO_GUARD_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace lodemig::testing {

// Makes a FIFO at `path` for a test that expects the code under test to
// refuse it without blocking. Should an open of it block after all, the guard
// releases it after `seconds` by opening the FIFO for writing (once a second
// for as long as the guard lives), so that the test fails instead of hanging;
// released() then tells. Throws std::runtime_error when the FIFO cannot be
// made. Not copyable.
class FifoGuard {
 public:
  explicit FifoGuard(std::string path, int seconds = 3);
  ~FifoGuard();
  FifoGuard(const FifoGuard&) = delete;
  FifoGuard& operator=(const FifoGuard&) = delete;

  const std::string& path() const { return path_; }
  // True once the guard had to release a blocked open.
  bool released();

 private:
  std::string path_;
  std::mutex mutex_;  // guards stopping_ and released_
  std::condition_variable wake_;
  bool stopping_ = false;
  bool released_ = false;
  std::thread thread_;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_FIFO_GUARD_H_
