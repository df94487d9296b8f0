#ifndef LODEMIG_BENCH_PACE_ROWS_H_
#define LODEMIG_BENCH_PACE_ROWS_H_

#include <ostream>
#include <string>

namespace lodemig::bench {

// The programs and the directory the pace rows use.
struct PacePrograms {
  std::string lodemig;
  std::string target;
  std::string launcher;
  std::string work;  // generated stores and each run's directory go under it
  int timeoutSeconds = 120;
};

// The rows of the run's pace against the stand-in, each beside the same
// store's run without limits: -maxRate 2M and -maxMessagesPerSecond 200 with
// -jobs 4 over about 30 s (the achieved rate against the limit), and a
// server answering every 50th append NO [UNAVAILABLE] (600 messages, -jobs 4 -window 8:
// the run's status, the messages the server holds against the store's, the
// slow-downs the log counts). Writes a Markdown table to `out`; returns 0
// when every row held (a rate within 10% of its limit, nothing lost or
// doubled), else 1.
int runPaceRows(const PacePrograms& programs, std::ostream& out);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_PACE_ROWS_H_
