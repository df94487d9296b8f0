#ifndef LODEMIG_UTILS_SIGPIPE_GUARD_H_
#define LODEMIG_UTILS_SIGPIPE_GUARD_H_

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace ostrel::utils {

// OpenSSL's socket calls and sendfile() take no MSG_NOSIGNAL and raise
// SIGPIPE when the peer has gone. The signal is held back for this thread
// while such a call runs and a SIGPIPE that call raised is taken off the
// pending set before the mask is restored, so the call just fails. Keeps
// errno as the guarded call left it.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    sigset_t pending;
    sigemptyset(&pending);
    wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    const int savedErrno = errno;
    sigset_t pending;
    sigemptyset(&pending);
    if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec noWait{};
      while (sigtimedwait(&pipe_, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = savedErrno;
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_SIGPIPE_GUARD_H_
