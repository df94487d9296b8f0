#ifndef LODEMIG_UTILS_CONNECTION_LAYER_H_
#define LODEMIG_UTILS_CONNECTION_LAYER_H_

#include <cstddef>

namespace ostrel::utils {

// One layer of a client connection: the socket at the bottom, then layers
// that each talk only to the one below them (TLS right above the socket; a
// compression layer would sit above TLS or right above the socket). The
// stream buffer (tcpbuffer) owns the chain and talks only to its top.
//
// A layer above the socket is built over the layer below, which must outlive
// it; the buffer closes and destroys the layers top-down. Layers never throw:
// failures come back as return values. Used by one thread at a time.
class ConnectionLayer {
 public:
  ConnectionLayer() = default;
  virtual ~ConnectionLayer() = default;
  ConnectionLayer(const ConnectionLayer&) = delete;
  ConnectionLayer& operator=(const ConnectionLayer&) = delete;

  // Sends up to min(count, 2^31-1) of the caller's bytes (count > 0);
  // returns how many it took, 0 or less on error. A layer that takes bytes
  // has passed them on down in whatever form it gives them.
  virtual long send(const char* bytes, std::size_t count) = 0;
  // Receives up to min(count, 2^31-1) bytes; returns the count, 0 at the
  // peer's orderly end, negative on error or when the read time-out ran out.
  virtual long receive(char* bytes, std::size_t count) = 0;
  // True when this layer holds input that receive() returns without the
  // socket having anything to read (decrypted or inflated bytes), so that
  // nobody may wait on the socket before taking it.
  virtual bool hasPendingInput() const = 0;
  // True when the layer sends and receives bytes unchanged, so that what the
  // buffer hands to the socket directly (a gathered send, a file range)
  // reaches the peer as if it had gone through this layer.
  virtual bool passesThrough() const = 0;
  // Ends the layer's part of the conversation (TLS says goodbye to the peer)
  // without closing the layers below. False when that failed or there was
  // nothing to end.
  virtual bool close() = 0;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_CONNECTION_LAYER_H_
