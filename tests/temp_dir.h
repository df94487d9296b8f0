#ifndef LODEMIG_TESTS_TEMP_DIR_H_
#define LODEMIG_TESTS_TEMP_DIR_H_

#include <string>

namespace lodemig::testing {

// A fresh directory under the system's temporary directory, removed with all
// its contents when the object goes out of scope.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating the parent directories first.
void writeFile(const std::string& path, const std::string& content);
// The whole content of `path`, or empty when it cannot be read.
std::string readFile(const std::string& path);
void makeDirectories(const std::string& path);

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_TEMP_DIR_H_
