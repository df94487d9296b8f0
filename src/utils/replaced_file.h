#ifndef LODEMIG_UTILS_REPLACED_FILE_H_
#define LODEMIG_UTILS_REPLACED_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace ostrel::utils {

// Writes `content` as the whole new content of the file at `path`, so that a
// reader that opens `path` at any moment sees either the version before or
// the new one, never a part: the bytes go into "PATH.tmp.<pid>" in the same
// directory (created anew, never through a symbolic link, given `mode`
// whatever the umask says), which is then renamed over `path`. Refused when
// `path` is a symbolic link ("it is a symbolic link") or is there but not a
// regular file ("it is not a regular file"). Returns "" when the file was
// replaced, else why not (a refusal or the system's words); the temporary
// file is removed again then, and `path` is left as it was. Nothing is
// synced to the disk: after a crash the file may hold an older version.
[[nodiscard]] std::string replaceFile(const std::string& path, std::string_view content,
                                      mode_t mode);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_REPLACED_FILE_H_
