#include "utils/directory.h"

#include <sys/stat.h>

#include <filesystem>

namespace ostrel::utils {

bool DirectoryListing::open(const std::string& path) {
  close();
  // opendir opens with O_DIRECTORY, which refuses a FIFO before it is opened:
  // a FIFO in the store cannot block the walk here.
  dir_ = ::opendir(path.c_str());
  if (dir_ == nullptr) {
    return false;
  }
  path_ = path;
  return true;
}

const DirectoryEntry* DirectoryListing::read() {
  if (dir_ == nullptr) {
    return nullptr;
  }
  const dirent* raw = ::readdir(dir_);
  if (raw == nullptr) {
    return nullptr;
  }
  entry_.name = raw->d_name;
  switch (raw->d_type) {
    case DT_DIR:
      entry_.type = DirectoryEntry::kDirectory;
      break;
    case DT_UNKNOWN:
    case DT_LNK:
      // Not every file system reports the type, and a link must be walked as
      // what it points to.
      entry_.type = isDirectory(path_ + "/" + entry_.name) ? DirectoryEntry::kDirectory
                                                           : DirectoryEntry::kOther;
      break;
    default:
      entry_.type = DirectoryEntry::kOther;
      break;
  }
  return &entry_;
}

void DirectoryListing::close() {
  if (dir_ != nullptr) {
    ::closedir(dir_);
    dir_ = nullptr;
  }
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string absolutePath(const std::string& path) {
  if (path.empty()) {
    return path;
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace ostrel::utils
