#include "utils/tcp_stream.h"

#include "utils/tcp_buffer.h"

namespace ostrel::utils {
namespace {

std::uint64_t readAreaSize(std::uint32_t low, std::uint32_t high) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

tcpbuffer::TlsStart tlsStart(bool fromFirstByte) {
  return fromFirstByte ? tcpbuffer::TlsStart::kAtConnect : tcpbuffer::TlsStart::kOnRequest;
}

}  // namespace

// The buffer member is built after the iostream base, so the stream is bound
// to it once it exists.
basic_tcpclientiostream::basic_tcpclientiostream(const InetSocketAddress& remote,
                                                 const InetSocketAddress& /*local*/,
                                                 std::uint32_t readSizeLow,
                                                 std::uint32_t readSizeHigh,
                                                 std::uint32_t writeSize, std::uint32_t /*unused*/)
    : std::iostream(nullptr),
      buffer_(
          std::make_unique<tcpbuffer>(remote, readAreaSize(readSizeLow, readSizeHigh), writeSize)) {
  rdbuf(buffer_.get());
}

basic_tcpclientiostream::basic_tcpclientiostream(const InetSSLSocketAddress& remote,
                                                 const InetSocketAddress& /*local*/,
                                                 std::uint32_t readSizeLow,
                                                 std::uint32_t readSizeHigh,
                                                 std::uint32_t writeSize, std::uint32_t /*unused*/,
                                                 bool useTls)
    : std::iostream(nullptr),
      buffer_(std::make_unique<tcpbuffer>(remote, readAreaSize(readSizeLow, readSizeHigh),
                                          writeSize, std::make_unique<ssl::TlsClientConfig>(),
                                          tlsStart(useTls))) {
  rdbuf(buffer_.get());
}

basic_tcpclientiostream::basic_tcpclientiostream(
    const InetSocketAddress& remote, const InetSocketAddress& /*local*/, std::uint32_t readSize,
    std::uint32_t writeSize, bool useTls, std::shared_ptr<const ssl::ClientTlsContext> context,
    const std::string& serverName)
    : std::iostream(nullptr),
      buffer_(std::make_unique<tcpbuffer>(
          remote, readSize, writeSize,
          std::make_unique<ssl::TlsClientConfig>(std::move(context), serverName),
          tlsStart(useTls))) {
  rdbuf(buffer_.get());
}

basic_tcpclientiostream::~basic_tcpclientiostream() = default;

bool basic_tcpclientiostream::startTls() {
  if (!good() || !buffer_->startTls()) {
    setstate(std::ios_base::failbit);
    return false;
  }
  return true;
}

bool basic_tcpclientiostream::startCompression() {
  if (!good() || !buffer_->startCompression()) {
    setstate(std::ios_base::failbit);
    return false;
  }
  return true;
}

bool basic_tcpclientiostream::compressing() const {
  return buffer_->compressing();
}

std::string basic_tcpclientiostream::compressionFailure() const {
  return buffer_->compressionFailure();
}

std::string basic_tcpclientiostream::tlsFailure() const {
  return buffer_->tlsFailure();
}

void basic_tcpclientiostream::open() {
  clear();
  if (!opened_) {
    opened_ = true;
    if (!buffer_->createAndBind()) {
      setstate(std::ios_base::failbit);
      return;
    }
  }
  // Connecting a connected socket again would fail and close a working line.
  if (buffer_->isConnected()) {
    return;
  }
  if (!buffer_->createAndBind() || !buffer_->connect()) {
    setstate(std::ios_base::failbit);
  }
}

void basic_tcpclientiostream::close() {
  opened_ = false;
  if (!buffer_->close()) {
    setstate(std::ios_base::failbit);
  }
}

basic_tcpclientiostream& basic_tcpclientiostream::writeAndFlush(const char* bytes,
                                                                std::size_t count) {
  if (!good()) {
    setstate(std::ios_base::failbit);
  } else if (!buffer_->flushWith(bytes, count)) {
    setstate(std::ios_base::badbit);
  }
  return *this;
}

std::uint64_t basic_tcpclientiostream::sendFileRange(int fd, std::uint64_t offset,
                                                     std::uint64_t count) {
  if (!good()) {
    setstate(std::ios_base::failbit);
    return 0;
  }
  const std::uint64_t sent = buffer_->sendFileRange(fd, offset, count);
  if (sent == tcpbuffer::kFlushFailed) {
    setstate(std::ios_base::badbit);
    return 0;
  }
  return sent;
}

void basic_tcpclientiostream::startDeadline() {
  buffer_->startDeadline();
}

void basic_tcpclientiostream::endDeadline() {
  buffer_->endDeadline();
}

int basic_tcpclientiostream::connectError() const {
  return buffer_->connectError();
}

SocketLayer::ReceiveEnd basic_tcpclientiostream::receiveEnd() const {
  return buffer_->receiveEnd();
}

int basic_tcpclientiostream::receiveError() const {
  return buffer_->receiveError();
}

void basic_tcpclientiostream::setTimeout(unsigned seconds) {
  buffer_->setTimeout(seconds);
}

}  // namespace ostrel::utils
