#ifndef LODEMIG_IMAP_IMAP_EXCEPTION_H_
#define LODEMIG_IMAP_IMAP_EXCEPTION_H_

#include <string>
#include <utility>

#include "utils/ql_exception.h"

namespace lodemig {

// Base of every IMAP client failure. ImapGateway turns these into
// GatewayResult codes by their type, so they never leave the IMAP client.
class ImapException : public QLException {
 public:
  explicit ImapException(const std::string& message) : QLException(message) {}
};

// The server cannot be reached, its greeting is refused, or the connection
// broke in a way that leaves no usable stream. Messages: "" for resolution and
// connection failures, the greeting line, "recvLine failed" or "Send failed".
// A failure to set up TLS also says why in `detail`, for the log.
class ImapConnectionFailed : public ImapException {
 public:
  explicit ImapConnectionFailed(const std::string& message, std::string detail = std::string())
      : ImapException(message), detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// The server refused the login.
class AuthenticateFailedException : public ImapException {
 public:
  explicit AuthenticateFailedException(const std::string& message) : ImapException(message) {}
};

// A response line began with "* BYE".
class ImapServerBrokeConnection : public ImapException {
 public:
  ImapServerBrokeConnection() : ImapException(std::string()) {}
};

// A response read came back empty: nothing arrived before the time-out or the
// end of the stream.
class ImapTimeoutException : public ImapException {
 public:
  ImapTimeoutException() : ImapException(std::string()) {}
};

// The message content could not be produced or sent during an append.
class IMessageLoadFailedException : public ImapException {
 public:
  explicit IMessageLoadFailedException(const std::string& message) : ImapException(message) {}
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_EXCEPTION_H_
