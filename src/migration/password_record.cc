#include "migration/password_record.h"

#include "utils/ql_exception.h"
#include "utils/secure_random.h"

namespace lodemig {
namespace {

// Secure random bytes, drawn in blocks; a byte at or above `limit` is
// thrown away so that `byte % range` is uniform (limit is a multiple of range).
class RandomBytes {
 public:
  unsigned below(unsigned range, unsigned limit) {
    // Each byte is rejected with probability below 2%, so 1000 draws are
    // plenty; the bound only guards against a broken generator.
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (next_ == sizeof(block_)) {
        if (!ostrel::utils::secureRandomBytes(block_, sizeof(block_))) {
          throw QLException("cannot generate password");
        }
        next_ = 0;
      }
      unsigned byte = block_[next_++];
      if (byte < limit) {
        return byte % range;
      }
    }
    throw QLException("cannot generate password");
  }

 private:
  unsigned char block_[64];
  std::size_t next_ = sizeof(block_);
};

}  // namespace

std::string generatePassword(int length) {
  RandomBytes random;
  std::string password;
  for (int i = 0; i < length; ++i) {
    switch (random.below(3, 255)) {
      case 0:
        password += static_cast<char>('a' + random.below(25, 250));
        break;
      case 1:
        password += static_cast<char>('A' + random.below(25, 250));
        break;
      default:
        password += static_cast<char>('0' + random.below(9, 252));
        break;
    }
  }
  return password;
}

void PasswordRecord::add(const std::string& line, Reporter& reporter) {
  const std::lock_guard<std::mutex> lock(mutex_);
  lines_ += line;
  if (path_.empty()) {
    return;
  }
  if (!broken_) {
    if (!file_.isOpen() && !file_.open(path_)) {
      broken_ = true;
    } else {
      file_.write(line.data(), static_cast<std::streamsize>(line.size()));
      file_.flush();
      broken_ = !file_.good();
    }
    if (broken_) {
      reportBroken(reporter, ", its line follows:\n");
    }
  }
  if (broken_) {
    reporter.error(line);
  }
}

void PasswordRecord::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (file_.isOpen() && !file_.close() && !broken_) {
    broken_ = true;
    reportBroken(reporter_, "\n");
  }
}

std::string PasswordRecord::failureText() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return file_.failureText();
}

void PasswordRecord::reportBroken(Reporter& reporter, const char* after) {
  reporter.log("Error: " + file_.failureText() + "\n");
  reporter.error("Error: " + file_.failureText() + after);
}

}  // namespace lodemig
