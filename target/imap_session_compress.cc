// COMPRESS DEFLATE, offered only when the server was started to offer it, so
// that the wire of every other run stays as it was.

#include "target/imap_session.h"
#include "utils/ascii.h"

namespace lodemig::target {

ImapSession::Flow ImapSession::compress() {
  if (!options_.compress) {
    return reply("BAD", "Unknown command");
  }
  if (argumentCount() != 1 || !ostrel::utils::equalsIgnoreCase(argument(0).text, "DEFLATE")) {
    return reply("BAD", "COMPRESS takes DEFLATE");
  }
  if (deflate_ != nullptr) {
    return reply("NO", "[COMPRESSIONACTIVE] DEFLATE active");
  }
  if (!acting_ && !master_) {
    return reply("BAD", "Not authenticated");
  }
  if (!answer("OK", "DEFLATE active")) {
    return Flow::kClose;
  }
  // A client may send its next command right behind COMPRESS: those bytes
  // came compressed already.
  deflate_ = std::make_unique<ostrel::utils::DeflateLayer>(plainLayer_, reader_.takeUnread());
  if (!deflate_->ready()) {
    return Flow::kClose;
  }
  reader_.receiveThrough(*deflate_);
  return Flow::kContinue;
}

}  // namespace lodemig::target
