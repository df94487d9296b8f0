#ifndef LODEMIG_UTILS_IMESSAGE_H_
#define LODEMIG_UTILS_IMESSAGE_H_

#include <cstdint>
#include <string>

namespace lodemig {

// The interface through which the IMAP client uploads one message without
// knowing where it comes from. It lives below both the store (which implements
// it) and the IMAP client (which consumes it).
//
// The append asks, in this order, internalDate(), flags() and contentSize()
// (the literal's announced length), then calls firstChunk() and nextChunk()
// until one returns false, sending every piece. When the content is intact the
// pieces add up to exactly contentSize() bytes. A piece operation that cannot
// deliver its bytes throws a std::runtime_error (QLStoreException among them);
// it never silently delivers less than announced.
class IMessage {
 public:
  virtual ~IMessage() = default;

  // Rewinds the content and puts its first piece into *buffer (replacing its
  // contents). False when there is no content.
  virtual bool firstChunk(std::string& buffer) = 0;
  // Puts the next piece into *buffer. False at the end (buffer then empty).
  virtual bool nextChunk(std::string& buffer) = 0;
  // IMAP system flag names, each followed by one blank ("\Seen \Answered "),
  // or empty.
  virtual std::string flags() const = 0;
  // IMAP date-time text ("30-Jun-1993 21:49:08 +0000"), or empty.
  virtual std::string internalDate() const = 0;
  // Number of content bytes in the store, before any line-end conversion.
  virtual std::uint64_t storedSize() const = 0;
  // Exact number of bytes the pieces will deliver. Throws std::runtime_error
  // when the content cannot be read.
  virtual std::uint32_t contentSize() = 0;
  // After contentSize(): when the pieces would be exactly the contentSize()
  // bytes of an open file from some position, unchanged, sets `fd` and
  // `offset` to them and returns true, so that a client can have the system
  // copy them to the network without reading them itself. The descriptor is
  // valid until the next call on the message. The client sends whatever the
  // system could not through the pieces, which report a file that ended or
  // failed. False (the default) when the pieces must be used.
  virtual bool storedRange(int& /*fd*/, std::uint64_t& /*offset*/) { return false; }
};

}  // namespace lodemig

#endif  // LODEMIG_UTILS_IMESSAGE_H_
