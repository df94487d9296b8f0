#include "utils/tcp_buffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace ostrel::utils {
namespace {

constexpr std::size_t kLargestTransfer = INT_MAX;

std::size_t areaSize(std::uint64_t requested) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(requested, 1, kLargestTransfer));
}

}  // namespace

tcpbuffer::tcpbuffer(const InetSocketAddress& remote, std::uint64_t readSize,
                     std::uint32_t writeSize)
    : remote_(remote),
      readSize_(areaSize(readSize)),
      writeSize_(areaSize(writeSize)),
      storage_(std::make_unique<char[]>(writeSize_ + readSize_)) {
  tcpbuffer::setbuf(storage_.get(), static_cast<std::streamsize>(writeSize_ + readSize_));
}

tcpbuffer::tcpbuffer(const InetSocketAddress& remote, std::uint64_t readSize,
                     std::uint32_t writeSize, std::unique_ptr<ssl::TlsClientConfig> tls,
                     TlsStart start)
    : tcpbuffer(remote, readSize, writeSize) {
  tls_ = std::move(tls);
  tlsStart_ = start;
}

tcpbuffer::~tcpbuffer() {
  if (socket_.isOpen()) {
    close();
  }
  // Top-down: a layer may still use the one below while it goes.
  while (!layers_.empty()) {
    layers_.pop_back();
  }
}

bool tcpbuffer::createAndBind() {
  if (socket_.isOpen()) {
    return true;
  }
  // Bytes left from an earlier connection belong to none of the next one.
  setp(writeArea_, writeArea_ + writeSize_);
  setg(readArea_, readArea_, readArea_);
  return socket_.createAndBind();
}

bool tcpbuffer::connect() {
  if (!socket_.connect(remote_)) {
    return false;
  }
  return tls_ == nullptr || tlsStart_ != TlsStart::kAtConnect || startTls();
}

bool tcpbuffer::close() {
  if (socket_.isConnected()) {
    sync();
  }
  closeLayers();
  return socket_.close();
}

void tcpbuffer::closeLayers() {
  deflate_ = nullptr;
  while (!layers_.empty()) {
    layers_.back()->close();
    layers_.pop_back();
  }
}

bool tcpbuffer::startTls() {
  tlsFailure_.clear();
  if (tls_ == nullptr) {
    return false;
  }
  // The session reads and writes the descriptor itself.
  if (!layers_.empty()) {
    tlsFailure_ = "TLS can only start right above the socket";
    return false;
  }
  auto layer = std::make_unique<ssl::TlsLayer>(socket_);
  const bool started = layer->handshake(*tls_);
  tlsFailure_ = layer->failure();
  // Without a session the layer refuses all traffic, which is what a
  // connection that asked for TLS and did not get it must do.
  if (socket_.isConnected()) {
    pushLayer(std::move(layer));
  }
  return started;
}

bool tcpbuffer::startCompression() {
  if (!socket_.isConnected() || deflate_ != nullptr || sync() != 0) {
    return false;
  }
  // The peer compresses from the byte after its answer on; whatever of that
  // came with the answer is compressed already.
  std::string received(gptr(), egptr());
  setg(readArea_, readArea_, readArea_);
  auto layer = std::make_unique<DeflateLayer>(top(), std::move(received));
  const bool ready = layer->ready();
  deflate_ = layer.get();
  pushLayer(std::move(layer));
  return ready;
}

std::string tcpbuffer::compressionFailure() const {
  return deflate_ != nullptr ? deflate_->failure() : std::string();
}

void tcpbuffer::pushLayer(std::unique_ptr<ConnectionLayer> layer) {
  layers_.push_back(std::move(layer));
}

bool tcpbuffer::socketIsReachable() const {
  return std::all_of(
      layers_.begin(), layers_.end(),
      [](const std::unique_ptr<ConnectionLayer>& layer) { return layer->passesThrough(); });
}

bool tcpbuffer::inputHeldAbove() const {
  return std::any_of(
      layers_.begin(), layers_.end(),
      [](const std::unique_ptr<ConnectionLayer>& layer) { return layer->hasPendingInput(); });
}

std::streambuf* tcpbuffer::setbuf(char_type* area, std::streamsize size) {
  // Areas smaller than the sizes chosen at construction, or a switch while
  // bytes wait to be sent, would lose data.
  if (area == nullptr || size < 0 || static_cast<std::size_t>(size) < writeSize_ + readSize_ ||
      pptr() != pbase()) {
    return nullptr;
  }
  writeArea_ = area;
  readArea_ = area + writeSize_;
  setp(writeArea_, writeArea_ + writeSize_);
  setg(readArea_, readArea_, readArea_);
  return this;
}

long tcpbuffer::sendTwo(const char* first, std::size_t firstCount, const char* second,
                        std::size_t secondCount) {
  if (socketIsReachable()) {
    return socket_.sendGathered(first, firstCount, second, secondCount);
  }
  // A layer that changes the bytes takes one buffer at a time (TLS records
  // do not gather across two).
  ConnectionLayer& layer = top();
  return firstCount > 0 ? layer.send(first, firstCount) : layer.send(second, secondCount);
}

std::size_t tcpbuffer::sendBufferedAnd(const char* bytes, std::size_t count, bool* failed) {
  const char* buffered = pbase();
  std::size_t bufferedLeft = static_cast<std::size_t>(pptr() - pbase());
  std::size_t sent = 0;
  *failed = !socket_.isOpen();
  while (!*failed && (bufferedLeft > 0 || sent < count)) {
    const char* next = bytes == nullptr ? nullptr : bytes + sent;
    const long result = sendTwo(buffered, bufferedLeft, next, count - sent);
    if (result <= 0) {
      *failed = true;
      break;
    }
    const auto moved = static_cast<std::size_t>(result);
    const std::size_t fromBuffer = std::min(moved, bufferedLeft);
    buffered += fromBuffer;
    bufferedLeft -= fromBuffer;
    sent += moved - fromBuffer;
  }
  // Keep what has not gone so that nothing is sent twice.
  std::memmove(writeArea_, buffered, bufferedLeft);
  setp(writeArea_, writeArea_ + writeSize_);
  pbump(static_cast<int>(bufferedLeft));
  return sent;
}

std::uint64_t tcpbuffer::sendFileRange(int fd, std::uint64_t offset, std::uint64_t count) {
  // The file's bytes would bypass a layer that changes them. The caller's
  // own sends then carry the buffered bytes with the first of the file's.
  if (!socketIsReachable()) {
    return 0;
  }
  bool failed = false;
  sendBufferedAnd(nullptr, 0, &failed);
  if (failed) {
    return kFlushFailed;
  }
  return socket_.sendFile(fd, offset, count);
}

bool tcpbuffer::flushWith(const char* bytes, std::size_t count) {
  bool failed = false;
  sendBufferedAnd(bytes, count, &failed);
  return !failed;
}

int tcpbuffer::sync() {
  if (pptr() == pbase()) {
    return socket_.isOpen() ? 0 : -1;
  }
  bool failed = false;
  sendBufferedAnd(nullptr, 0, &failed);
  return failed ? -1 : 0;
}

tcpbuffer::int_type tcpbuffer::overflow(int_type c) {
  if (sync() != 0) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize tcpbuffer::xsputn(const char_type* bytes, std::streamsize count) {
  if (count <= 0) {
    return 0;
  }
  const auto size = static_cast<std::size_t>(count);
  const auto room = static_cast<std::size_t>(epptr() - pptr());
  if (size <= room) {
    std::memcpy(pptr(), bytes, size);
    pbump(static_cast<int>(size));
    return count;
  }
  // Sent area by area, the stream would carry exactly these bytes before the
  // remainder is buffered; one gathered send spares the copies and calls.
  const std::size_t whole = room + (size - room) / writeSize_ * writeSize_;
  bool failed = false;
  const std::size_t sent = sendBufferedAnd(bytes, whole, &failed);
  if (failed) {
    return static_cast<std::streamsize>(sent);
  }
  const std::size_t rest = size - whole;
  std::memcpy(pptr(), bytes + whole, rest);
  pbump(static_cast<int>(rest));
  return count;
}

tcpbuffer::int_type tcpbuffer::underflow() {
  if (!socket_.isOpen()) {
    return traits_type::eof();
  }
  if (gptr() < egptr()) {
    return traits_type::to_int_type(*gptr());
  }
  // A command must be on its way before its answer is awaited.
  pubsync();
  // Input a layer holds already is not on the socket: waiting there for it
  // would stall until the time-out.
  const bool held = inputHeldAbove();
  if (!held && !socket_.waitUntilReadable()) {
    return traits_type::eof();
  }
  const long received = top().receive(readArea_, readSize_);
  if (received <= 0) {
    return traits_type::eof();
  }
  setg(readArea_, readArea_, readArea_ + received);
  return traits_type::to_int_type(*gptr());
}

std::streamsize tcpbuffer::xsgetn(char_type* bytes, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    std::streamsize available = egptr() - gptr();
    if (available == 0) {
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) {
        break;
      }
      available = egptr() - gptr();
    }
    const std::streamsize chunk = std::min(available, count - done);
    std::memcpy(bytes + done, gptr(), static_cast<std::size_t>(chunk));
    gbump(static_cast<int>(chunk));
    done += chunk;
  }
  return done;
}

}  // namespace ostrel::utils
