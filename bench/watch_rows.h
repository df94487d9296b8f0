#ifndef LODEMIG_BENCH_WATCH_ROWS_H_
#define LODEMIG_BENCH_WATCH_ROWS_H_

#include <ostream>
#include <string>

namespace lodemig::bench {

// The programs and the directory the watch rows use.
struct WatchPrograms {
  std::string lodemig;
  std::string target;
  std::string launcher;
  std::string work;  // the generated store and each run's directory go under it
  int runs = 3;      // of each row, at least 3
  int timeoutSeconds = 120;
};

// What following a run from outside costs: the client CPU per message of a
// migration against the stand-in with -jobs 4, with -metricsFile (and
// -events where this lodemig takes it) beside the same without them, the two
// run in turns so that both see the same spells of load. Writes a Markdown
// table to `out`; returns 0 when every run arrived whole and the median CPU
// per message with them is at most 1.05 times that without, else 1.
int runWatchRows(const WatchPrograms& programs, std::ostream& out);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_WATCH_ROWS_H_
