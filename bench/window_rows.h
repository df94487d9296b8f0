#ifndef LODEMIG_BENCH_WINDOW_ROWS_H_
#define LODEMIG_BENCH_WINDOW_ROWS_H_

#include <string>

namespace lodemig::bench {

// The programs and the directory the window rows use; paths absolute.
struct WindowRowsSetup {
  std::string lodemig;
  std::string target;
  std::string launcher;
  std::string work;
  int runs = 3;
  int timeoutSeconds = 120;
};

// Rows of appends in flight against the stand-in target on loopback, each
// beside the same store's run with a window of 1: small folders (5, 10 and
// 15 messages) with -window 32 (wall at most 1.05 times window 1's), and
// 200 messages of 1 MB with -window 8 (client CPU at most 0.3 ms per MB). Every run
// goes into a fresh target whose digest must be the store's; the two
// windows' runs alternate. Prints the
// table; returns 0, or 1 when a run could not be verified. Throws
// std::runtime_error when a store or a target cannot be made.
int runWindowRows(const WindowRowsSetup& setup);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_WINDOW_ROWS_H_
