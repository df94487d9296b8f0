#ifndef LODEMIG_UTILS_PRIVATE_FILE_H_
#define LODEMIG_UTILS_PRIVATE_FILE_H_

#include <string>

namespace ostrel::utils {

// An open private file: a descriptor the caller owns and closes, or -1 with
// `reason` saying why the file was not opened (the system's words, or one of
// the refusals below).
struct PrivateFile {
  int fd = -1;
  std::string reason;
};

// Opens `path` for appending, as every file the run writes a secret to (the
// log, the password file, the journal, the report): created with mode 0600
// when missing, never followed when it is a symbolic link, refused when it is
// a regular file of another user ("it belongs to another user") or neither a
// regular file nor a character device ("it is not a regular file"). An
// existing file of ours that its group or others may use is made 0600 before
// anything is written. A character device (/dev/null) is taken as it is: it
// keeps nothing. Never blocks on a FIFO.
[[nodiscard]] PrivateFile openPrivateFile(const std::string& path);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_PRIVATE_FILE_H_
