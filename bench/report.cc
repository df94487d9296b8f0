#include "bench/report.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace lodemig::bench {
namespace {

// Display width of UTF-8 text: continuation bytes take no column.
size_t displayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) {
      ++width;
    }
  }
  return width;
}

}  // namespace

Stats summarize(std::vector<double> values) {
  Stats stats;
  if (values.empty()) {
    return stats;
  }
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  stats.median =
      values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  stats.min = values.front();
  stats.max = values.back();
  return stats;
}

std::string formatFixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string targetCell(double value, double limit, int limitDecimals) {
  return "<= " + formatFixed(limit, limitDecimals) + (value <= limit ? " ok" : " MISS");
}

Table::Table(std::vector<std::string> header) {
  rows_.push_back(std::move(header));
}

void Table::addRow(std::vector<std::string> cells) {
  if (cells.size() != rows_.front().size()) {
    throw std::invalid_argument("table row has " + std::to_string(cells.size()) +
                                " cells, the header " + std::to_string(rows_.front().size()));
  }
  rows_.push_back(std::move(cells));
}

std::string Table::markdown() const {
  std::vector<size_t> widths(rows_.front().size(), 3);
  for (const auto& row : rows_) {
    for (size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], displayWidth(row[i]));
    }
  }
  auto renderRow = [&](const std::vector<std::string>& row) {
    std::string line = "|";
    for (size_t i = 0; i < row.size(); ++i) {
      line += " " + row[i] + std::string(widths[i] - displayWidth(row[i]), ' ') + " |";
    }
    return line + "\n";
  };
  std::string text = renderRow(rows_.front());
  text += "|";
  for (size_t width : widths) {
    text += std::string(width + 2, '-') + "|";
  }
  text += "\n";
  for (size_t r = 1; r < rows_.size(); ++r) {
    text += renderRow(rows_[r]);
  }
  return text;
}

}  // namespace lodemig::bench
