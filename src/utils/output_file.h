#ifndef LODEMIG_UTILS_OUTPUT_FILE_H_
#define LODEMIG_UTILS_OUTPUT_FILE_H_

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>

namespace ostrel::utils {

// A file written through a standard output stream, for the run's log,
// password file, journal and report. The file is opened as openPrivateFile()
// opens it: for appending, created when missing with mode 0600, never through
// a symbolic link, never truncated, so two runs that share a file name both
// keep their lines;
// bytes go out unchanged (no newline translation). A failed write or flush
// sets the stream's bad state and keeps the system's reason (failureText());
// nothing throws. Not copyable; the destructor flushes and closes the file.
class OutputFile : public std::ostream {
 public:
  OutputFile();
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` with openPrivateFile(), closing any file open before. False
  // when the file cannot be opened or is refused; failureText() says why.
  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return buffer_.fd() >= 0; }
  // Takes an exclusive lock on the open file that lasts until it is closed
  // or the process ends, without waiting. 0 when taken; otherwise the pid of
  // the process that holds it, or -1 when that is not known or locking
  // failed otherwise.
  long lockExclusive();
  // Flushes and closes; false when the last bytes could not be written.
  bool close();
  // Flushes and waits until the disk holds what was written; false (and the
  // stream bad) when it cannot.
  bool syncToDisk();

  // The path given to the last open().
  const std::string& path() const { return path_; }
  // The errno of the first failed write, close or sync; 0 while none failed.
  int error() const { return syncError_ != 0 ? syncError_ : buffer_.error(); }
  // "cannot write file PATH: REASON", for the report of a failure.
  std::string failureText() const;
  // Why, alone: the system's words or the open's refusal.
  std::string failureReason() const;

 private:
  // 4096 bytes of buffer in front of the file descriptor; flush() writes them
  // out with as many write calls as it takes.
  class Buffer : public std::streambuf {
   public:
    Buffer();
    void attach(int fd);
    int fd() const { return fd_; }
    int error() const { return error_; }
    bool detach();

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* bytes, std::streamsize count) override;
    int sync() override;

   private:
    bool writeAll(const char* bytes, std::size_t count);

    static constexpr std::size_t kSize = 4096;
    int fd_ = -1;
    int error_ = 0;
    char area_[kSize];
  };

  Buffer buffer_;
  std::string path_;
  // Why the last open() failed; empty when it succeeded.
  std::string openFailure_;
  // The errno of a failed sync to disk.
  int syncError_ = 0;
};

// Cuts the file at `path` back to `length` bytes when it is longer; true when
// it is then no longer. The file is opened as openPrivateFile() opens it
// (created when missing, refused as it refuses); a device is left as it is.
[[nodiscard]] bool truncateFile(const std::string& path, std::int64_t length);
// The length of the file at `path`; 0 when there is none or it cannot be
// looked at (opening it then says why).
std::int64_t fileLength(const std::string& path);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_OUTPUT_FILE_H_
