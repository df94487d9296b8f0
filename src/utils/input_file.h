#ifndef LODEMIG_UTILS_INPUT_FILE_H_
#define LODEMIG_UTILS_INPUT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ostrel::utils {

// An open directory that files are opened in by name (InputFile::open), which
// spares the system walking the directory's whole path once per file. Returns
// values and never throws. Not copyable; the destructor closes it.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  ~DirectoryHandle() { close(); }
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  // Opens the directory `path`, closing any open one first. False when it
  // does not exist, is no directory or cannot be opened.
  [[nodiscard]] bool open(const std::string& path);
  void close();
  bool isOpen() const { return fd_ >= 0; }

 private:
  friend class InputFile;
  int fd_ = -1;
};

// A read-only file with 64-bit positions and its own read buffer, made for
// walking large mailbox files line by line and for reading message content
// from arbitrary positions. The file position is a logical one: seek() only
// moves it, and a read that falls inside the buffered window is served without
// touching the file. peek() hands out the buffered bytes themselves, so that a
// caller that only looks at them need not copy them. Other processes may keep
// reading and writing the file.
//
// Returns values and never throws. The state of the last read is kept like a
// stream state: atEnd() after a read ran into the end of the file, failed()
// after a read error; seek() and clearState() reset both. Not copyable; the
// destructor closes the file.
class InputFile {
 public:
  static constexpr std::size_t kBufferSize = 128 * 1024;
  static constexpr std::size_t kKeepAll = static_cast<std::size_t>(-1);

  InputFile() = default;
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading at position 0, closing any open file first.
  // False when it does not exist, is not a regular file (a directory, a FIFO)
  // or cannot be read.
  [[nodiscard]] bool open(const std::string& path);
  // The same for the file `name` in `directory`; false also when `directory`
  // is not open.
  [[nodiscard]] bool open(const DirectoryHandle& directory, const std::string& name);
  // Why the last open() failed: the system's error text, or "not a regular
  // file"; "" after one that succeeded.
  const std::string& openFailure() const { return openFailure_; }
  // Whether the last open() failed because no file had that name (one listed
  // a moment before may have been removed since).
  bool missingAtOpen() const { return missingAtOpen_; }
  // The size the file had when open() checked it, or -1 when none is open.
  std::int64_t openedSize() const { return isOpen() ? openedSize_ : -1; }
  // The modification time, in nanoseconds since the epoch, the file had when
  // open() checked it, or -1 when none is open.
  std::int64_t openedModified() const { return isOpen() ? openedModified_ : -1; }
  void close();
  bool isOpen() const { return fd_ >= 0; }

  // Reads the next line: the bytes up to the next LF (or the end of the file),
  // without the LF, of which at most `maxKeep` are stored in `line`; the rest
  // of a longer line is consumed unseen. False, with `line` empty, when the
  // file is already at its end or a read fails.
  bool readLine(std::string& line, std::size_t maxKeep = kKeepAll);
  // Reads up to `size` bytes into `buffer`. Returns the count, which is short
  // only at the end of the file, or -1 on a read error.
  std::int64_t read(char* buffer, std::size_t size);
  // The bytes at the current position, in place: returns a pointer into the
  // file's own buffer and sets `available` to the count buffered there, which
  // is at least `want` (capped at kBufferSize) unless the file ends first.
  // Does not move the position. The pointer is valid until the next call
  // other than skip(). nullptr, with `available` 0, at the end of the file
  // (atEnd()) or on a read error (failed()).
  const char* peek(std::size_t& available, std::size_t want = 1);
  // Moves the position `count` bytes forward, as past bytes seen with peek().
  void skip(std::size_t count) { position_ += static_cast<std::int64_t>(count); }

  // Reads up to `size` bytes at `at` from the file itself, past the buffer,
  // which may hold bytes read before another process rewrote them. Moves
  // neither the position nor the buffer. Returns the count, short only at the
  // end of the file, or -1 on a read error or when no file is open.
  [[nodiscard]] std::int64_t readDirect(std::int64_t at, char* buffer, std::size_t size);

  // Moves the position; false when the file is not open or `position` is
  // negative. Positions past the end are allowed (reads there find the end).
  bool seek(std::int64_t position);
  // The current position, or -1 when no file is open.
  std::int64_t tell() const { return isOpen() ? position_ : -1; }
  // The file's current size, or -1 when no file is open or it cannot be taken.
  std::int64_t size() const;
  // True when the open file still has the size and modification time it had
  // when open() checked it; false when it has not, none is open or they cannot
  // be taken. One system call.
  [[nodiscard]] bool unchangedSinceOpen() const;

  // The open file's descriptor, for having the system copy its bytes
  // elsewhere (they are then not checked against the file's size); -1 when
  // none is open or reads are made to fail (failFrom), so that a test's
  // failure cannot be bypassed.
  int descriptor() const { return failFrom_ >= 0 ? -1 : fd_; }

  bool atEnd() const { return atEnd_; }
  bool failed() const { return failed_; }
  void clearState() { atEnd_ = failed_ = false; }

  // For tests: from now on every read of bytes at or after `position` fails
  // as a device error would, also of bytes buffered before. A negative
  // position turns this off.
  void failFrom(std::int64_t position) {
    failFrom_ = position;
    bufferLength_ = 0;
  }

 private:
  std::string openFailure_;
  bool missingAtOpen_ = false;
  bool openAt(int directoryFd, const char* name);
  // Makes the buffer hold `want` bytes at position_ (fewer when the file ends
  // first, but at least one); false at the end of the file (atEnd_) or on an
  // error (failed_).
  bool fill(std::size_t want = 1);
  // One positioned read from the file, honouring failFrom_.
  std::int64_t readAt(char* buffer, std::size_t size, std::int64_t at);

  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  std::int64_t bufferStart_ = 0;  // file position of buffer_[0]
  std::size_t bufferLength_ = 0;  // valid bytes in buffer_
  std::int64_t position_ = 0;
  std::int64_t openedSize_ = 0;
  std::int64_t openedModified_ = 0;  // modification time in nanoseconds
  bool atEnd_ = false;
  bool failed_ = false;
  std::int64_t failFrom_ = -1;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_INPUT_FILE_H_
