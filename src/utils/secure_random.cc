#include "utils/secure_random.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <climits>

namespace ostrel::utils {

bool secureRandomBytes(unsigned char* out, std::size_t size) {
  if (size > INT_MAX) {
    return false;
  }
  if (RAND_bytes(out, static_cast<int>(size)) != 1) {
    ERR_clear_error();
    return false;
  }
  return true;
}

}  // namespace ostrel::utils
