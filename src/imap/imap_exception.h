#ifndef LODEMIG_IMAP_IMAP_EXCEPTION_H_
#define LODEMIG_IMAP_IMAP_EXCEPTION_H_

#include <cstdint>
#include <string>

#include "utils/ql_exception.h"

namespace lodemig {

// Base of every IMAP client failure. Carries a message and an errorKind
// number; ImapGateway turns these into GatewayResult codes, so they never
// leave the IMAP client.
class ImapException : public QLException {
 public:
  ImapException(const std::string& message, std::uint32_t errorKind)
      : QLException(message), errorKind_(errorKind) {}
  std::uint32_t errorKind() const { return errorKind_; }

 private:
  std::uint32_t errorKind_;
};

// The server cannot be reached, its greeting is refused, or the connection
// broke in a way that leaves no usable stream. Messages: "" for resolution and
// connection failures, the greeting line, "recvLine failed" or "Send failed".
class ImapConnectionFailed : public ImapException {
 public:
  explicit ImapConnectionFailed(const std::string& message) : ImapException(message, 3) {}
};

// The server refused the login.
class AuthenticateFailedException : public ImapException {
 public:
  explicit AuthenticateFailedException(const std::string& message) : ImapException(message, 0) {}
};

// A response line began with "* BYE".
class ImapServerBrokeConnection : public ImapException {
 public:
  ImapServerBrokeConnection() : ImapException(std::string(), 3) {}
};

// A response read came back empty: nothing arrived before the time-out or the
// end of the stream.
class ImapTimeoutException : public ImapException {
 public:
  ImapTimeoutException() : ImapException(std::string(), 3) {}
};

// The message content could not be produced or sent during an append.
class IMessageLoadFailedException : public ImapException {
 public:
  explicit IMessageLoadFailedException(const std::string& message) : ImapException(message, 9) {}
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_EXCEPTION_H_
