#ifndef LODEMIG_TARGET_LINE_CLIENT_H_
#define LODEMIG_TARGET_LINE_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tests/tls_client.h"
#include "utils/tcp_server.h"

namespace lodemig::target {

// A blocking IMAP line client for the server's tests: sends raw bytes and
// reads raw lines, never waiting longer than a few seconds for anything.
// Plain TCP, or TLS from startTls() on.
class LineClient {
 public:
  static constexpr int kWaitMs = 5000;

  explicit LineClient(std::uint16_t port)
      : connection_(ostrel::utils::TcpConnection::connectTo("127.0.0.1", port)) {}

  bool connected() const { return connection_.valid(); }
  bool send(std::string_view bytes) {
    return tls_ != nullptr ? tls_->sendAll(bytes.data(), bytes.size())
                           : connection_.sendAll(bytes.data(), bytes.size());
  }

  // Runs the TLS handshake now (see testing::TlsClient::handshake); lines
  // read before are kept. False when it fails; tlsError() then says why.
  bool startTls(const std::string& caFile = "", const std::string& host = "") {
    tls_ = std::make_unique<lodemig::testing::TlsClient>();
    return tls_->handshake(connection_.socket(), caFile, host);
  }
  std::string tlsError() const { return tls_ != nullptr ? tls_->error() : ""; }

  // The next line with its CR LF; what arrived so far (possibly "") when no
  // line end came within kWaitMs or the server closed.
  std::string readLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      const std::size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending_.substr(0, lf + 1);
        pending_.erase(0, lf + 1);
        return line;
      }
      if (!receiveUntil(deadline)) {
        std::string partial;
        partial.swap(pending_);
        return partial;
      }
    }
  }

  // Sends `bytes` and returns the next line.
  std::string sendAndReadLine(std::string_view bytes) {
    send(bytes);
    return readLine();
  }

  // Sends `bytes` and returns every line up to and including the one that
  // starts with `tag` and a space (at most 100 lines).
  std::string exchange(std::string_view bytes, std::string_view tag) {
    send(bytes);
    std::string lines;
    for (int i = 0; i < 100; ++i) {
      const std::string line = readLine();
      lines += line;
      if (line.empty() || line.compare(0, tag.size() + 1, std::string(tag) + " ") == 0) {
        break;
      }
    }
    return lines;
  }

  // True when the server closes the connection within kWaitMs, with nothing
  // more sent.
  bool closedByServer() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (pending_.empty()) {
      if (!receiveUntil(deadline)) {
        return closed_;
      }
    }
    return false;
  }

 private:
  bool receiveUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || closed_) {
      return false;
    }
    char buffer[4096];
    const int waitMs = static_cast<int>(left.count());
    const long count = tls_ != nullptr ? tls_->receive(buffer, sizeof buffer, waitMs)
                                       : connection_.receive(buffer, sizeof buffer, waitMs);
    if (count <= 0) {
      closed_ = count == ostrel::utils::TcpConnection::kClosed;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  ostrel::utils::TcpConnection connection_;
  // Declared after the connection, so that it goes first.
  std::unique_ptr<lodemig::testing::TlsClient> tls_;
  std::string pending_;
  bool closed_ = false;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_LINE_CLIENT_H_
