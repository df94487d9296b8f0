#ifndef LODEMIG_UTILS_SOCKETS_H_
#define LODEMIG_UTILS_SOCKETS_H_

#include <mutex>
#include <string>

namespace ostrel::utils {

// A recursive in-process lock.
class VMutex {
 public:
  VMutex() = default;
  virtual ~VMutex() = default;
  VMutex(const VMutex&) = delete;
  VMutex& operator=(const VMutex&) = delete;
  void lock() { mutex_.lock(); }
  bool tryLock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Process-wide start of the socket layer: ignores SIGPIPE, so that a peer that
// closes gives a write error (EPIPE) instead of killing the process. Returns 0
// on success (also when already started), else an errno value. Thread-safe.
[[nodiscard]] int socketsStartup();
// Ends it; 0 on success, also when it was not started. SIGPIPE stays ignored.
int socketsCleanup();

// Waits until `socket` is readable (or writable when `forReading` is false),
// at most `milliseconds` (0xFFFFFFFF: no limit). Uses poll, so any descriptor
// value works. Returns 1 when ready (a hang-up or a pending error counts: the
// next call reports it), 0 on time-out, -1 with errno set on error or for a
// negative or closed descriptor.
[[nodiscard]] int waitForSocket(int socket, bool forReading, unsigned milliseconds);

// The fully qualified DNS name of this machine (gethostname, then the
// canonical name lookup), the plain host name when the lookup gives none, and
// "unspecified.host" when no name can be had. At most 1023 bytes.
std::string localHostName();

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_SOCKETS_H_
