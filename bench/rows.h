#ifndef LODEMIG_BENCH_ROWS_H_
#define LODEMIG_BENCH_ROWS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/workload.h"

namespace lodemig::bench {

// The runs of one row of the table, gathered one at a time. The runner takes
// the rows of a workload in turns, one run of each per round, so that a row
// and the row it is compared with see the same load on a shared machine.
struct RowRuns {
  std::vector<double> walls, cpus, serverCpus, perSecond, megabytesPerSecond, perUnit, ratios;
  long peakRssKb = 0;         // the highest of the runs
  uint64_t journalBytes = 0;  // the largest journal a run left
  std::string failure;        // a run that could not be verified; the row shows only this
  std::string cutOff;         // what a run stopped at the time-out delivered
  std::string note;           // the last run's check note, when it has one

  // Adds a verified or timed-out run; `problem` is what verifyRun said of it.
  void add(const RunResult& run, const RunFigures& figures, const std::string& problem);
  // True once the row takes no more runs: one failed or was cut off.
  bool closed() const { return !failure.empty() || !cutOff.empty(); }
};

// The figures one row is compared by.
struct RowFigures {
  double cpuPerUnit = 0;  // median
  double wall = 0;        // median seconds
  double rate = 0;        // median msg/s; 0 for a print run
  double rssMb = 0;       // peak; 0 for a row without a verified run
};

RowFigures rowFiguresOf(const Workload& workload, const RowRuns& runs);

// The position in `variants` of the base row of variants[row]: the row its
// `base` names, or the first row. Throws std::invalid_argument when no row has
// that name, or when the base would come after the row, or is the row itself
// while naming one.
size_t baseRowOf(const std::vector<Variant>& variants, size_t row);

// The "vs base row" cell: how `row` compares with `base` by the variant's
// Versus, with its limit and verdict; "-" for none, or when the base has no
// figure to compare with.
std::string versusCell(const Variant& variant, const RowFigures& base, const RowFigures& row);

// The "RSS vs base" cell of a journal row: its peak RSS less the base row's,
// in MB with a sign, and the verdict when the variant has an RSS limit; "-"
// for other rows or when either row has no peak.
std::string rssVersusCell(const Variant& variant, const RowFigures& base, const RowFigures& row);

// "us/msg", "ms/MB" or "us/acct".
std::string unitName(Unit unit);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_ROWS_H_
