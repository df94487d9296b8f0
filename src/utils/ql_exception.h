#ifndef LODEMIG_UTILS_QL_EXCEPTION_H_
#define LODEMIG_UTILS_QL_EXCEPTION_H_

#include <stdexcept>
#include <string>

namespace lodemig {

// Base of the tool's own errors. Carries its message text, returned by
// what(), which the driver shows after "\nError: ", and may carry why it
// happened in the words of the system, the resolver, TLS or the server,
// which the driver shows on a line of its own after it.
class QLException : public std::runtime_error {
 public:
  explicit QLException(const std::string& message) : std::runtime_error(message) {}
  // "" when nobody said why.
  const std::string& cause() const { return cause_; }
  void setCause(const std::string& cause) { cause_ = cause; }

 private:
  std::string cause_;
};

// A store error: ends the current message, folder, mailbox or domain.
class QLStoreException : public QLException {
 public:
  using QLException::QLException;
};

// A settings-file error raised by the dictionary parser.
class QLParseException : public QLException {
 public:
  using QLException::QLException;
};

// A target-server error raised by the migration engine; ends the whole run.
// mayPass() says whether the failure may pass by itself (a target that cannot
// be reached or drops its connections), so that the same run started again
// later may get through; false for one that needs fixing first (a refused
// login, a journal that cannot be written).
class QLNetworkException : public QLException {
 public:
  using QLException::QLException;
  bool mayPass() const { return mayPass_; }
  void setMayPass(bool mayPass) { mayPass_ = mayPass; }

 private:
  bool mayPass_ = false;
};

// The connection to the target was lost or could not be made: the kind of
// target failure a new connection may get past. It may pass by itself unless
// said otherwise (a name the resolver does not know, a failed TLS set-up).
class QLConnectionLostException : public QLNetworkException {
 public:
  explicit QLConnectionLostException(const std::string& message) : QLNetworkException(message) {
    setMayPass(true);
  }
};

// A stop signal asked the run to end; raised between two messages, so that
// nothing is left half done. Carries the signal's number.
class QLInterruptedException : public QLException {
 public:
  QLInterruptedException(const std::string& message, int signal)
      : QLException(message), signal_(signal) {}
  int signal() const { return signal_; }

 private:
  int signal_;
};

}  // namespace lodemig

#endif  // LODEMIG_UTILS_QL_EXCEPTION_H_
