#ifndef LODEMIG_MIGRATION_SHARD_H_
#define LODEMIG_MIGRATION_SHARD_H_

#include <cstdint>
#include <string_view>

namespace lodemig {

// A stable 64-bit hash of an account's address (user@domain), taken without
// regard to ASCII case, so that the same account falls in the same shard on
// every machine, in every run and whatever its spelling in the store.
std::uint64_t accountHash(std::string_view address);

// Whether the account `address` belongs to shard `shard` (1 to `shards`).
// Every account belongs to exactly one shard of a split; with `shards` 0
// (no split) every account belongs.
bool inShard(std::string_view address, int shard, int shards);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_SHARD_H_
