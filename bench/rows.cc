#include "bench/rows.h"

#include <algorithm>
#include <stdexcept>

#include "bench/report.h"

namespace lodemig::bench {

void RowRuns::add(const RunResult& run, const RunFigures& figures, const std::string& problem) {
  if (!problem.empty() && !run.client.timedOut) {
    failure = problem;
    return;
  }
  walls.push_back(run.client.wallSeconds);
  cpus.push_back(run.client.cpuSeconds());
  serverCpus.push_back(run.server.cpuSeconds());
  perSecond.push_back(figures.messagesPerSecond);
  megabytesPerSecond.push_back(figures.megabytesPerSecond);
  perUnit.push_back(figures.cpuPerUnit);
  ratios.push_back(figures.floor > 0 ? run.client.wallSeconds / figures.floor : 0);
  peakRssKb = std::max(peakRssKb, run.client.maxRssKb);
  journalBytes = std::max(journalBytes, run.journalBytes);
  note = run.checkNote;
  if (run.client.timedOut) {
    // One run that hit the time-out says enough; more would only take longer.
    cutOff = problem;
  }
}

RowFigures rowFiguresOf(const Workload& workload, const RowRuns& runs) {
  RowFigures figures;
  if (!runs.failure.empty() || runs.walls.empty()) {
    return figures;
  }
  figures.cpuPerUnit = summarize(runs.perUnit).median;
  figures.wall = summarize(runs.walls).median;
  figures.rate = workload.migrate ? summarize(runs.perSecond).median : 0;
  figures.rssMb = static_cast<double>(runs.peakRssKb) / 1024.0;
  return figures;
}

size_t baseRowOf(const std::vector<Variant>& variants, size_t row) {
  const std::string& name = variants.at(row).base;
  if (name.empty()) {
    return 0;
  }
  for (size_t i = 0; i < row; ++i) {
    if (variants[i].name == name) {
      return i;
    }
  }
  throw std::invalid_argument("row \"" + variants[row].name + "\" names \"" + name +
                              "\" as its base, which is not a row above it");
}

std::string versusCell(const Variant& variant, const RowFigures& base, const RowFigures& row) {
  const auto verdict = [](bool met) { return std::string(met ? "ok)" : "MISS)"); };
  switch (variant.versus) {
    case Versus::kNone:
      return "-";
    case Versus::kCpu: {
      if (base.cpuPerUnit <= 0) {
        return "-";
      }
      const double percent = (row.cpuPerUnit / base.cpuPerUnit - 1) * 100;
      return (percent >= 0 ? "+" : "") + formatFixed(percent, 1) +
             "% CPU (<= " + formatFixed(variant.limit * 100, 0) + "% " +
             verdict(percent <= variant.limit * 100);
    }
    case Versus::kCpuTimes: {
      if (base.cpuPerUnit <= 0) {
        return "-";
      }
      const double ratio = row.cpuPerUnit / base.cpuPerUnit;
      return formatFixed(ratio, 2) + "x CPU (<= " + formatFixed(variant.limit, 0) + "x " +
             verdict(ratio <= variant.limit);
    }
    case Versus::kWall: {
      if (base.wall <= 0) {
        return "-";
      }
      const double ratio = row.wall / base.wall;
      return formatFixed(ratio, 2) + "x wall (<= " + formatFixed(variant.limit, 1) + "x " +
             verdict(ratio <= variant.limit);
    }
    case Versus::kWallShare: {
      if (base.wall <= 0) {
        return "-";
      }
      const double percent = row.wall / base.wall * 100;
      return formatFixed(percent, 1) + "% wall (<= " + formatFixed(variant.limit * 100, 0) + "% " +
             verdict(percent <= variant.limit * 100);
    }
    case Versus::kSpeed: {
      if (base.rate <= 0) {
        return "-";
      }
      const double ratio = row.rate / base.rate;
      std::string cell = formatFixed(ratio, 1) + "x msg/s (>= " + formatFixed(variant.limit, 0) +
                         "x " + verdict(ratio >= variant.limit);
      if (variant.minRate > 0) {
        cell += ", >= " + formatFixed(variant.minRate, 0) + " msg/s " +
                (row.rate >= variant.minRate ? "ok" : "MISS");
      }
      return cell;
    }
  }
  return "-";
}

std::string rssVersusCell(const Variant& variant, const RowFigures& base, const RowFigures& row) {
  if (!variant.journal || base.rssMb <= 0 || row.rssMb <= 0) {
    return "-";
  }
  const double difference = row.rssMb - base.rssMb;
  // Two decimals: ru_maxrss counts KB, and the limit is 1 MB.
  std::string cell = (difference >= 0 ? "+" : "") + formatFixed(difference, 2) + " MB";
  if (variant.rssLimitMb > 0) {
    cell += " (<= " + formatFixed(variant.rssLimitMb, 0) + " " +
            (difference <= variant.rssLimitMb ? "ok)" : "MISS)");
  }
  return cell;
}

std::string unitName(Unit unit) {
  switch (unit) {
    case Unit::kMessage:
      return "us/msg";
    case Unit::kMebibyte:
      return "ms/MB";
    case Unit::kAccount:
      return "us/acct";
  }
  return "";
}

}  // namespace lodemig::bench
