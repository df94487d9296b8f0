#ifndef LODEMIG_BENCH_FLOORS_H_
#define LODEMIG_BENCH_FLOORS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace lodemig::bench {

// The floors a migration cannot beat on this machine, measured in the same
// process run as the migration they are compared with. Each function starts
// and stops its own threads and sockets on 127.0.0.1 (port 0) and throws
// std::runtime_error when a socket or file operation fails.

// Seconds of one loopback round trip: a client writes a short command line and
// waits for a short answer from an echoing peer, one at a time, `iterations`
// times (after a short warm-up); the result is the mean.
double measureRoundTrip(int iterations);

// Seconds to push `bytes` bytes through one loopback TCP connection into a
// peer that reads and discards them, from the first write until the peer has
// read the last byte.
double measureSocketPush(uint64_t bytes);

// Seconds to read every file of `paths` once from start to end through a
// 64 KiB buffer. The total read is stored in *bytesRead when it is not null.
double measureFileRead(const std::vector<std::string>& paths, uint64_t* bytesRead);

// CPU seconds (user and system, of the calling thread) to append a short line
// to a new file in `directory` and wait for the disk to have it, `syncs`
// times: what a journal that syncs once per folder cannot save. The file is
// removed afterwards.
double measureSyncCpu(const std::string& directory, int syncs);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_FLOORS_H_
