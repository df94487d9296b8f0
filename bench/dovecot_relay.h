#ifndef LODEMIG_BENCH_DOVECOT_RELAY_H_
#define LODEMIG_BENCH_DOVECOT_RELAY_H_

#include <functional>
#include <string>

#include "bench/store_generator.h"

namespace lodemig::bench {

// What the rows of several messages per APPEND over a long network need from
// the dovecot benchmark: its programs, the store and the same messages as a
// Maildir, the account, and how it writes an mbsync configuration (port,
// PipelineDepth with 0 for unlimited, Maildir).
struct RelayBenchSetup {
  std::string lodemig;
  std::string launcher;
  int runs = 3;
  const StoreManifest* manifest = nullptr;
  std::string maildir;
  std::string account, password, admin, masterPassword;
  std::function<std::string(int, int, const std::string&)> mbsyncConfig;
};

// Runs lodemig with -targetType imap at its defaults and at chosen -window
// and -multiAppend settings, and mbsync with unlimited pipelining, each into
// a fresh private dovecot through a DelayRelay of 5 ms each way, `runs`
// times each; checks the message count dovecot holds after every run.
// Returns the markdown section with each lodemig row's rate beside mbsync's
// of the same invocation; sets *verified to false when a run failed or left
// another count.
std::string multiAppendRelayRows(const RelayBenchSetup& setup, bool* verified);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_DOVECOT_RELAY_H_
