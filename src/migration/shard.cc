#include "migration/shard.h"

namespace lodemig {

std::uint64_t accountHash(std::string_view address) {
  // FNV-1a: fixed constants, no seed, the same bytes on every platform.
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : address) {
    const unsigned char byte = static_cast<unsigned char>(c);
    hash ^= (byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte;
    hash *= 1099511628211ull;
  }
  return hash;
}

bool inShard(std::string_view address, int shard, int shards) {
  if (shards <= 0) {
    return true;
  }
  return accountHash(address) % static_cast<std::uint64_t>(shards) ==
         static_cast<std::uint64_t>(shard - 1);
}

}  // namespace lodemig
