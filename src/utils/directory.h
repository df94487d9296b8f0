#ifndef LODEMIG_UTILS_DIRECTORY_H_
#define LODEMIG_UTILS_DIRECTORY_H_

#include <dirent.h>

#include <string>

namespace ostrel::utils {

// One listed name. "." and ".." are included; callers skip them.
struct DirectoryEntry {
  static constexpr int kDirectory = 4;  // DT_DIR
  static constexpr int kOther = 8;      // DT_REG, and anything that is not a directory
  std::string name;
  int type = kOther;
};

// An open listing of one directory. Entries come in the file system's order.
// Entries whose type the file system does not report, and symbolic links, are
// classified by what they point to, so a linked account directory is walked
// like a real one. Not copyable; the destructor closes the listing.
class DirectoryListing {
 public:
  DirectoryListing() = default;
  ~DirectoryListing() { close(); }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // Opens a listing of `path`, closing any open one first. False when `path`
  // does not exist, is not a directory or cannot be read.
  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return dir_ != nullptr; }
  // The next entry, or nullptr at the end or on any error (also when no listing
  // is open). The entry is overwritten by the next call.
  const DirectoryEntry* read();
  void close();

 private:
  DIR* dir_ = nullptr;
  std::string path_;
  DirectoryEntry entry_;
};

// True when `path` names an existing directory (following symbolic links).
bool isDirectory(const std::string& path);
// True when anything exists at `path` (a dangling symbolic link included).
bool pathExists(const std::string& path);
// `path` made absolute against the working directory, without "." or ".."
// steps; links are not followed. "" stays "", and a path that cannot be
// made absolute is returned as it is.
std::string absolutePath(const std::string& path);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_DIRECTORY_H_
