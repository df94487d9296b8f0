#include "bench/report.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace lodemig::bench {
namespace {

TEST(SummarizeTest, MedianMinAndMax) {
  struct Case {
    std::vector<double> values;
    double median, min, max;
  };
  const Case cases[] = {
      {{}, 0, 0, 0},
      {{2.5}, 2.5, 2.5, 2.5},
      {{3, 1, 2}, 2, 1, 3},
      {{4, 1, 3, 2}, 2.5, 1, 4},
      {{5, 5, 1, 9, 7}, 5, 1, 9},
  };
  for (const Case& c : cases) {
    Stats stats = summarize(c.values);
    EXPECT_DOUBLE_EQ(stats.median, c.median);
    EXPECT_DOUBLE_EQ(stats.min, c.min);
    EXPECT_DOUBLE_EQ(stats.max, c.max);
  }
}

TEST(ReportTest, TargetCellAndTable) {
  EXPECT_EQ(targetCell(40, 40, 0), "<= 40 ok");
  EXPECT_EQ(targetCell(40.1, 40, 0), "<= 40 MISS");
  EXPECT_EQ(targetCell(1.21, 1.2, 1), "<= 1.2 MISS");
  EXPECT_EQ(formatFixed(2.0 / 3.0, 3), "0.667");
  // Columns are padded to the widest cell, counted in characters.
  Table table({"#", "name"});
  table.addRow({"1", "a"});
  table.addRow({"22", "µs long"});
  EXPECT_EQ(table.markdown(),
            "| #   | name    |\n|-----|---------|\n| 1   | a       |\n| 22  | µs long |\n");
  EXPECT_THROW(table.addRow({"1"}), std::invalid_argument);
  EXPECT_THROW(table.addRow({"1", "2", "3"}), std::invalid_argument);
}

}  // namespace
}  // namespace lodemig::bench
