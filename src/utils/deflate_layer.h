#ifndef LODEMIG_UTILS_DEFLATE_LAYER_H_
#define LODEMIG_UTILS_DEFLATE_LAYER_H_

#include <zlib.h>

#include <cstddef>
#include <string>
#include <vector>

#include "utils/connection_layer.h"

namespace ostrel::utils {

// Raw deflate (no zlib or gzip wrapper) both ways over the layer below,
// which must outlive it: what is sent is compressed and ends with a sync
// flush, so that the peer can inflate every send whole at once; what is
// received is inflated. One compression context each way lives as long as
// the layer, as the peer's does.
//
// Memory is bounded whatever the peer sends: receive() inflates at most the
// count the caller asked for and keeps the rest of the compressed input and
// the inflate state for the next call, so that a small input that inflates
// to gigabytes is taken a read area at a time. Once the compressed input is
// found invalid, or the peer ends the compressed stream, every receive fails
// and failure() says why. Never throws.
class DeflateLayer final : public ConnectionLayer {
 public:
  // Over `below`. `alreadyReceived` are compressed bytes that came from
  // below before the layer was made (they were read with the answer that
  // switched compression on); they are inflated first.
  explicit DeflateLayer(ConnectionLayer& below, std::string alreadyReceived = std::string());
  ~DeflateLayer() override;

  // False when zlib could not set up its contexts (no memory); every send
  // and receive then fails.
  bool ready() const { return ready_; }
  // Why the last receive or send failed in this layer: "" when it did not,
  // or when the layer below failed.
  const std::string& failure() const { return failure_; }

  // Compresses and sync-flushes all `count` bytes, passing every compressed
  // byte down; returns `count`, or -1 when the layer below failed.
  long send(const char* bytes, std::size_t count) override;
  // Inflates into at most `count` bytes, receiving from below while nothing
  // came out; returns the count, 0 when the layer below reached the peer's
  // end, -1 on an error here or below.
  long receive(char* bytes, std::size_t count) override;
  // Compressed input not yet inflated, or inflated output the last receive
  // had no room for.
  bool hasPendingInput() const override;
  bool passesThrough() const override { return false; }
  // Nothing to say to the peer: compression simply ends with the connection.
  bool close() override { return false; }

 private:
  // Sends all `count` bytes down; false when the layer below failed.
  bool sendAll(const char* bytes, std::size_t count);
  // One inflate step into bytes[0, count); returns the count made, -1 on
  // invalid input or the end of the compressed stream.
  long inflateSome(char* bytes, std::size_t count);

  ConnectionLayer& below_;
  z_stream deflater_{};
  z_stream inflater_{};
  bool ready_ = false;
  bool deflaterMade_ = false;
  bool inflaterMade_ = false;
  bool broken_ = false;
  // True when the last inflate filled the caller's room: more may be held.
  bool outputHeld_ = false;
  std::string failure_;
  // Compressed bytes received and not yet inflated (inflater_ points in).
  std::vector<unsigned char> input_;
  // Compressed bytes made by one deflate step, on their way down.
  std::vector<unsigned char> output_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_DEFLATE_LAYER_H_
