#ifndef LODEMIG_UTILS_STAGED_FILE_H_
#define LODEMIG_UTILS_STAGED_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::utils {

// A file written in pieces below a directory and put in place only when
// whole, for exports an admin may run again: an earlier version is replaced
// by a complete one or not at all. open() walks `levels` down from `base`,
// making each missing level (mode 0700) and never following a symbolic link
// at a level; `base` itself is the caller's choice and made when missing
// (its parent must exist). The bytes go into "<name>.tmp.<pid>" beside the
// file (created anew, never through a link, with `mode` whatever the umask),
// which commit() renames over `name`. A failed call leaves failedPath() (the
// level or file at fault) and failure() (why: the system's words, "it is a
// symbolic link", "it is not a directory", "it is not a regular file"); the
// temporary file is then removed. Nothing is synced to the disk. Not
// copyable; the destructor removes the temporary file of an uncommitted one.
class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Discards any file open before. False when failed.
  [[nodiscard]] bool open(const std::string& base, const std::vector<std::string>& levels,
                          const std::string& name, mode_t mode);
  [[nodiscard]] bool write(std::string_view bytes);
  // Closes the temporary file and renames it over the file; refused when
  // the file is now a symbolic link or not a regular file.
  [[nodiscard]] bool commit();
  // Removes the temporary file (nothing when none is open).
  void discard();

  bool isOpen() const { return fd_ >= 0; }
  // base/levels.../name of the last open().
  const std::string& path() const { return path_; }
  const std::string& failedPath() const { return failedPath_; }
  const std::string& failure() const { return failure_; }

 private:
  bool fail(const std::string& path, const std::string& reason);
  bool openDirectories(const std::string& base, const std::vector<std::string>& levels);
  void closeAll();

  int directory_ = -1;
  int fd_ = -1;
  std::string name_;
  std::string temporary_;
  std::string path_;
  std::string failedPath_;
  std::string failure_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_STAGED_FILE_H_
