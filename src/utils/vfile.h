#ifndef LODEMIG_UTILS_VFILE_H_
#define LODEMIG_UTILS_VFILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace ostrel::utils {

// Buffered byte stream: 4096-byte read and write buffers over readRaw/writeRaw.
// At least the last two bytes read can always be put back, also across a
// buffer refill. Reading first writes out any buffered output. Never throws:
// failures are reported by return values.
class VStream {
 public:
  static constexpr int kBufferSize = 4096;

  VStream() = default;
  virtual ~VStream() = default;
  VStream(const VStream&) = delete;
  VStream& operator=(const VStream&) = delete;

  // The next byte as 0-255, or -1 at end of input or on a read error.
  int getChar();
  // Like getChar, but the byte stays to be read again.
  int peekChar();
  // Puts byte `c` back in front of the unread input and returns it; -1 (end
  // of input) changes nothing. There is always room for two bytes more than
  // were read since the last refill; beyond that it returns -1 and does
  // nothing.
  int ungetChar(int c);
  // Writes `size` bytes through the write buffer; returns the count accepted
  // (less than `size` only when writing out a full buffer failed).
  std::size_t write(const void* buffer, std::size_t size);
  // Writes out buffered output: 0 on success, -1 on failure. Bytes written
  // before a failure leave the buffer, so a later flush does not repeat them.
  int flush();

  virtual bool isReadBufferEmpty() const { return unread_ <= 0; }
  virtual bool isClosed() const { return false; }
  // True once the last raw read returned 0 bytes.
  bool atEndOfInput() const { return endOfInput_; }
  // True when the last raw read failed (getChar then returned -1 although the
  // input may not be over).
  bool readFailed() const { return readFailed_; }

 protected:
  // Reads up to `size` bytes: the count, 0 at end of input, -1 on error.
  virtual ssize_t readRaw(void* buffer, std::size_t size) = 0;
  // Writes up to `size` bytes: the count written, 0 on error.
  virtual ssize_t writeRaw(const void* buffer, std::size_t size) = 0;
  // Drops buffered input and output state (used when a file is (re)opened).
  void resetBuffers();

 private:
  int refill();

  // Two spare bytes in front of the read area keep put-back possible after
  // a refill.
  static constexpr int kPutBack = 2;
  unsigned char readBuffer_[kPutBack + kBufferSize];
  int readPosition_ = kPutBack;
  int unread_ = 0;
  unsigned char writeBuffer_[kBufferSize];
  int writePosition_ = 0;
  bool endOfInput_ = false;
  bool readFailed_ = false;
};

// A regular file behind the buffered stream, opened with POSIX calls.
// Mode letters: 'r' read an existing file; 'w' create or truncate for
// writing; 'a' open or create for appending; '+' adds the other direction;
// other letters (such as 'b') are ignored. Created files get `permissions`.
// Opening never blocks: a FIFO, a device or a socket is refused, as no read
// of it need ever end.
// Locks are whole-file advisory locks taken with fcntl on the open file (not
// the process), so two VFile objects on one file exclude each other; an
// exclusive lock needs write access. They nest (shared counts up, exclusive
// counts down) and only the thread that opened the file may lock it. The
// destructor closes the file, which flushes it and releases its locks.
class VFile : public VStream {
 public:
  VFile() = default;
  ~VFile() override;

  // Opens `name`, closing any open file first. False, with errno set, when
  // the file cannot be opened or is no regular file (EISDIR for a directory,
  // EINVAL for anything else). An empty name, a name with a NUL byte or a
  // mode that does not begin with 'r', 'w' or 'a' fails at once, leaving the
  // file system and any open file untouched.
  [[nodiscard]] bool open(const std::string& name, const char* mode, mode_t permissions = 0644);
  // The size the file had when open() checked it, or -1 when none is open.
  std::int64_t openedSize() const { return fd_ < 0 ? -1 : openedSize_; }
  // Bounds the bytes read from the open file (counted from the open, until
  // the next open): a read that would go past `bytes` fails instead
  // (readFailed()) and readLimitReached() turns true. A file that grows while
  // it is read is caught too, which its opened size cannot do.
  void limitReads(std::int64_t bytes) { readLimit_ = bytes; }
  bool readLimitReached() const { return readLimitReached_; }
  // Flushes (a failure is ignored), releases the locks and closes; a closed
  // file is left as it is.
  void close();
  bool isClosed() const override { return fd_ < 0; }

  // Moves the file position (origin 0 begin, 1 current, 2 end). Acts on the
  // file position only: neither flushes nor drops buffered bytes.
  int seek(std::int64_t offset, int origin);  // 0 on success, -1 on failure
  std::int64_t tell();                        // -1 on failure

  // Lock operations return true on success. Exclusive locking fails while
  // shared locks are held; shared locking under an exclusive lock nests as
  // exclusive. Only the first level takes the file lock; the try forms fail
  // at once when another open file holds a conflicting lock.
  [[nodiscard]] bool lockExclusive();
  [[nodiscard]] bool tryLockExclusive();
  [[nodiscard]] bool lockShared();
  [[nodiscard]] bool tryLockShared();
  // Releases one level; the file lock goes with the last. False when nothing
  // is locked or no file is open.
  bool unlock();

 protected:
  ssize_t readRaw(void* buffer, std::size_t size) override;
  ssize_t writeRaw(const void* buffer, std::size_t size) override;

 private:
  bool lock(bool exclusive, bool wait);

  int fd_ = -1;
  std::int64_t openedSize_ = 0;
  std::int64_t readLimit_ = -1;  // no limit
  std::int64_t bytesRead_ = 0;
  bool readLimitReached_ = false;
  int lockDepth_ = 0;  // >0 shared locks held, <0 exclusive depth
  std::thread::id owner_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_VFILE_H_
