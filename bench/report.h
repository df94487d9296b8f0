#ifndef LODEMIG_BENCH_REPORT_H_
#define LODEMIG_BENCH_REPORT_H_

#include <string>
#include <vector>

namespace lodemig::bench {

// Median, minimum and maximum of a set of measurements.
struct Stats {
  double median = 0;
  double min = 0;
  double max = 0;
};

// The median is the middle value, or the mean of the two middle values of an
// even count; all three are 0 for an empty set.
Stats summarize(std::vector<double> values);

// `value` with `decimals` digits after the point.
std::string formatFixed(double value, int decimals);

// A target check: "<= LIMIT ok" when value <= limit, "<= LIMIT MISS" otherwise.
std::string targetCell(double value, double limit, int limitDecimals);

// A table rendered as Markdown, every column padded to its widest cell so that
// it also reads well on a terminal.
class Table {
 public:
  explicit Table(std::vector<std::string> header);

  // Throws std::invalid_argument when the row's cell count differs from the header's.
  void addRow(std::vector<std::string> cells);
  std::string markdown() const;

 private:
  std::vector<std::vector<std::string>> rows_;  // rows_[0] is the header
};

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_REPORT_H_
