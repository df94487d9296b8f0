#ifndef LODEMIG_TARGET_CONNECTION_READER_H_
#define LODEMIG_TARGET_CONNECTION_READER_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "target/content_digest.h"
#include "utils/connection_layer.h"
#include "utils/tls_server.h"

namespace lodemig::target {

// Buffered reading of lines and literal bytes from one connection, with one
// large receive per refill. When a transcript stream is given, every byte
// received is copied to it as it arrives.
//
// The connection and the transcript must outlive the reader.
class ConnectionReader {
 public:
  enum class Status {
    kOk,
    kTooLong,  // no line end within the limit; the connection cannot be resynchronized
    kClosed,   // the peer closed, the connection failed or the server shut it down
  };

  ConnectionReader(ostrel::utils::ServerConnection& connection, std::size_t bufferSize,
                   std::ostream* transcript);

  // Reads through the next LF into `line`, without the LF and a CR before it.
  // At most `limit` bytes may precede the line end.
  Status readLine(std::string& line, std::size_t limit);
  // Reads exactly `count` bytes: appends them to `out` unless it is null and
  // feeds them to `digest` unless it is null. Both see the bytes as they
  // arrive; `out` never grows by `count` at once.
  Status readBytes(std::uint64_t count, std::string* out, ContentDigest* digest = nullptr);
  // Forgets the bytes received but not read yet: those sent in the clear
  // before the TLS handshake that STARTTLS begins.
  void discardBuffered() { begin_ = end_ = 0; }
  // Hands out the bytes received but not read yet, and forgets them.
  std::string takeUnread();
  // From now on receives through `layer` (made over the connection, alive
  // as long as the reader) instead of the connection: what the client sends
  // once compression is on.
  void receiveThrough(ostrel::utils::ConnectionLayer& layer) { layer_ = &layer; }

 private:
  bool refill();

  ostrel::utils::ServerConnection& connection_;
  ostrel::utils::ConnectionLayer* layer_ = nullptr;
  std::ostream* transcript_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_CONNECTION_READER_H_
