#ifndef LODEMIG_UTILS_SECURE_RANDOM_H_
#define LODEMIG_UTILS_SECURE_RANDOM_H_

#include <cstddef>

namespace ostrel::utils {

// Fills `out` with `size` bytes from a cryptographically secure generator
// (OpenSSL's, seeded by the system). False when the generator cannot supply
// them; `out` is then not to be used.
[[nodiscard]] bool secureRandomBytes(unsigned char* out, std::size_t size);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_SECURE_RANDOM_H_
