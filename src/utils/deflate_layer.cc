#include "utils/deflate_layer.h"

#include <algorithm>
#include <climits>

namespace ostrel::utils {
namespace {

constexpr std::size_t kLargestTransfer = INT_MAX;
constexpr std::size_t kInputSize = 16384;
constexpr std::size_t kOutputSize = 16384;
// Raw deflate: negative window bits leave out the zlib header and trailer.
constexpr int kRawWindowBits = -15;
constexpr int kMemoryLevel = 8;

std::string zlibCause(const z_stream& stream, int result) {
  if (stream.msg != nullptr) {
    return stream.msg;
  }
  return result == Z_MEM_ERROR ? "out of memory" : "zlib error " + std::to_string(result);
}

}  // namespace

DeflateLayer::DeflateLayer(ConnectionLayer& below, std::string alreadyReceived)
    : below_(below), input_(std::max(kInputSize, alreadyReceived.size())), output_(kOutputSize) {
  deflaterMade_ = deflateInit2(&deflater_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kRawWindowBits,
                               kMemoryLevel, Z_DEFAULT_STRATEGY) == Z_OK;
  inflaterMade_ = inflateInit2(&inflater_, kRawWindowBits) == Z_OK;
  ready_ = deflaterMade_ && inflaterMade_;
  if (!ready_) {
    failure_ = "compression could not start: out of memory";
  }
  std::copy(alreadyReceived.begin(), alreadyReceived.end(), input_.begin());
  inflater_.next_in = input_.data();
  inflater_.avail_in = static_cast<uInt>(alreadyReceived.size());
}

DeflateLayer::~DeflateLayer() {
  if (deflaterMade_) {
    deflateEnd(&deflater_);
  }
  if (inflaterMade_) {
    inflateEnd(&inflater_);
  }
}

bool DeflateLayer::sendAll(const char* bytes, std::size_t count) {
  // Bounded: every pass moves at least one byte or returns.
  while (count > 0) {
    const long sent = below_.send(bytes, count);
    if (sent <= 0) {
      return false;
    }
    bytes += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return true;
}

long DeflateLayer::send(const char* bytes, std::size_t count) {
  if (!ready_ || broken_) {
    return -1;
  }
  const std::size_t taken = std::min(count, kLargestTransfer);
  deflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
  deflater_.avail_in = static_cast<uInt>(taken);
  // The peer reads each send whole only when it ends on a flush point; one
  // that filled the output area has more to give for the same flush.
  do {
    deflater_.next_out = output_.data();
    deflater_.avail_out = static_cast<uInt>(output_.size());
    const int result = deflate(&deflater_, Z_SYNC_FLUSH);
    if (result != Z_OK && result != Z_BUF_ERROR) {
      failure_ = "compression failed: " + zlibCause(deflater_, result);
      broken_ = true;
      return -1;
    }
    const std::size_t made = output_.size() - deflater_.avail_out;
    if (!sendAll(reinterpret_cast<const char*>(output_.data()), made)) {
      // Part of a compressed block went: the peer's inflate state no longer
      // matches ours.
      broken_ = true;
      return -1;
    }
  } while (deflater_.avail_out == 0 || deflater_.avail_in > 0);
  deflater_.next_in = nullptr;
  return static_cast<long>(taken);
}

long DeflateLayer::inflateSome(char* bytes, std::size_t count) {
  const std::size_t room = std::min(count, kLargestTransfer);
  inflater_.next_out = reinterpret_cast<Bytef*>(bytes);
  inflater_.avail_out = static_cast<uInt>(room);
  const int result = inflate(&inflater_, Z_SYNC_FLUSH);
  const std::size_t made = room - inflater_.avail_out;
  outputHeld_ = inflater_.avail_out == 0;
  if (result == Z_OK || (result == Z_BUF_ERROR && made == 0)) {
    return static_cast<long>(made);
  }
  broken_ = true;
  outputHeld_ = false;
  failure_ = result == Z_STREAM_END
                 ? "the end of its compressed stream"
                 : "compressed data that cannot be inflated (" + zlibCause(inflater_, result) + ")";
  // What came before the end is good; the failure shows at the next call.
  return made > 0 ? static_cast<long>(made) : -1;
}

long DeflateLayer::receive(char* bytes, std::size_t count) {
  if (!ready_ || count == 0) {
    return -1;
  }
  // Each pass inflates what is held or receives from below, whose read
  // time-out and deadline bound the waits; a block that inflates to nothing
  // (a bare flush) sends the loop below again.
  while (!broken_) {
    if (hasPendingInput()) {
      const long made = inflateSome(bytes, count);
      if (made != 0) {
        return made;
      }
      // Input left that makes nothing would be overwritten by the next read.
      if (inflater_.avail_in > 0) {
        broken_ = true;
        failure_ = "compressed data that cannot be inflated (no progress)";
        return -1;
      }
    }
    const long received = below_.receive(reinterpret_cast<char*>(input_.data()), input_.size());
    if (received <= 0) {
      return received;
    }
    inflater_.next_in = input_.data();
    inflater_.avail_in = static_cast<uInt>(received);
  }
  return -1;
}

bool DeflateLayer::hasPendingInput() const {
  return ready_ && !broken_ && (inflater_.avail_in > 0 || outputHeld_);
}

}  // namespace ostrel::utils
