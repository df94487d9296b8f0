// The parts of a command written after its first content: the next messages
// of an APPEND that carries several, and the CR LF that ends it.

#include "imap/imap_client.h"

namespace lodemig {

void ImapClient::continueCommand(const ImapCommand& command, ImapCommand& part) {
  if (state_ == ClientState::Disconnected || !pending_.holds(command) || !usable()) {
    // The command went with its connection; its rest has nowhere to go.
    failureCause_ = "the connection to " + serverText() + " is gone";
    closeStream();
    throw ImapConnectionFailed("Send failed");
  }
  const std::string& line = part.line();
  stream_->write(line.data(), static_cast<std::streamsize>(line.size()));
  if (part.content() != nullptr && !stream_->bad()) {
    writeContent(*part.content(), part.announcedSize(), !part.open());
  }
  if (!usable()) {
    // The server holds part of the command: only a new connection gets back
    // to a command boundary.
    failureCause_ = "the connection to " + serverText() + " broke while sending";
    closeStream();
    throw ImapConnectionFailed("Send failed");
  }
}

void ImapClient::closeCommand(const ImapCommand& command) {
  if (state_ == ClientState::Disconnected || !pending_.holds(command) || !usable()) {
    failureCause_ = "the connection to " + serverText() + " is gone";
    closeStream();
    throw ImapConnectionFailed("Send failed");
  }
  // Left for the next read to flush when appends gather, as a content's end is.
  if (settings_.server.appendWindow > 1) {
    stream_->write("\r\n", 2);
  } else {
    stream_->writeAndFlush("\r\n", 2);
  }
  if (!usable()) {
    failureCause_ = "the connection to " + serverText() + " broke while sending";
    closeStream();
    throw ImapConnectionFailed("Send failed");
  }
}

}  // namespace lodemig
