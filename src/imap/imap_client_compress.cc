// Compression of a logged-in connection, when the server offers it.

#include "imap/capabilities.h"
#include "imap/imap_client.h"

namespace lodemig {

void ImapClient::startCompression() {
  // A refusal here is no failure of the connection: the cause of an earlier
  // failure stays the one reported.
  const std::string earlierCause = failureCause_;
  if (!offersCompression()) {
    compressionDeclined_ = true;
    failureCause_ = earlierCause;
    return;
  }
  ImapCommand command(nextTag(), "COMPRESS DEFLATE");
  submit(command, false);
  if (waitFor(command) != CommandStatus::Ok) {
    compressionDeclined_ = true;
    failureCause_ = earlierCause;
    return;
  }
  // From the byte after the tagged answer on, both ways are compressed.
  if (!stream_->startCompression()) {
    failureCause_ = "compression with " + serverText() + " could not start";
    failReceive();
  }
}

bool ImapClient::offersCompression() {
  // Servers announce more to a logged-in client: the login's answer tells,
  // else a CAPABILITY asked now.
  if (capabilitiesOfLogin_) {
    return hasCapability(capabilities_, "COMPRESS=DEFLATE");
  }
  ImapCommand capability(nextTag(), "CAPABILITY");
  submit(capability, false);
  return waitFor(capability) == CommandStatus::Ok &&
         offersCapability(capability.untaggedLines(), "COMPRESS=DEFLATE");
}

}  // namespace lodemig
