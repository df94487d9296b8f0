#ifndef LODEMIG_TARGET_SERVER_LAYER_H_
#define LODEMIG_TARGET_SERVER_LAYER_H_

#include <cstddef>

#include "utils/connection_layer.h"
#include "utils/tls_server.h"

namespace lodemig::target {

// An accepted connection (plain or TLS) as the bottom of a chain of layers,
// so that the client's layers (deflate) can be stacked on the server's side
// too. The connection must outlive the layer; receives wait as long as the
// peer takes, as the session's own reads do.
class ServerLayer final : public ostrel::utils::ConnectionLayer {
 public:
  explicit ServerLayer(ostrel::utils::ServerConnection& connection) : connection_(connection) {}

  long send(const char* bytes, std::size_t count) override {
    return connection_.sendAll(bytes, count) ? static_cast<long>(count) : -1;
  }
  long receive(char* bytes, std::size_t count) override {
    const long received = connection_.receive(bytes, count);
    return received < 0 ? -1 : received;
  }
  bool hasPendingInput() const override { return false; }
  bool passesThrough() const override { return true; }
  bool close() override { return false; }

 private:
  ostrel::utils::ServerConnection& connection_;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_SERVER_LAYER_H_
