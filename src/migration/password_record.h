#ifndef LODEMIG_MIGRATION_PASSWORD_RECORD_H_
#define LODEMIG_MIGRATION_PASSWORD_RECORD_H_

#include <atomic>
#include <mutex>
#include <string>

#include "migration/reporter.h"
#include "utils/output_file.h"

namespace lodemig {

// A password of `length` characters from a cryptographically secure source,
// each one a letter a-y, a letter A-Y or a digit 0-8 (class first, then the
// character, every choice uniform). Throws QLException when the system cannot
// supply random bytes.
std::string generatePassword(int length);

// The run's record of provisioned accounts, one line each, with the password
// each was given. With a path, every line is written and flushed to that file
// as it is added (the file is created, mode 0600, with the first line, and
// appended to), so that a password is on disk before its account is filled.
//
// When the file cannot take a line, the error names the file in the log and
// on the error stream, which then receives that line and every later one, so
// that no password is lost; broken() stays true. `reporter` must outlive the
// record. Not copyable.
class PasswordRecord {
 public:
  explicit PasswordRecord(Reporter& reporter) : reporter_(reporter) {}
  PasswordRecord(const PasswordRecord&) = delete;
  PasswordRecord& operator=(const PasswordRecord&) = delete;

  // Writes every later line to the file at `path`.
  void writeTo(const std::string& path) { path_ = path; }
  void add(const std::string& line) { add(line, reporter_); }
  // add(), saying a failure in `reporter`: a worker's held report. May be
  // called from any thread; lines of one thread keep their order.
  void add(const std::string& line, Reporter& reporter);
  // Closes the file; a delayed write error found then breaks the record.
  void close();

  bool broken() const { return broken_.load(); }
  // "cannot write file PATH: REASON" once broken.
  std::string failureText() const;
  // The file the lines go to; empty when they are only kept in memory.
  const std::string& path() const { return path_; }
  // Every line added, in order.
  const std::string& lines() const { return lines_; }

 private:
  void reportBroken(Reporter& reporter, const char* after);

  Reporter& reporter_;
  std::string path_;
  ostrel::utils::OutputFile file_;
  std::string lines_;
  std::atomic<bool> broken_{false};
  mutable std::mutex mutex_;  // guards the file and the lines
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_PASSWORD_RECORD_H_
