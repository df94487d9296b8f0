#include "bench/watch_rows.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kMostCostRatio = 1.05;

struct WatchRun {
  ChildUsage usage;
  TargetSummary summary;
};

// Whether this lodemig's usage text lists `option`: the row measures the
// options the build has.
bool takesOption(const std::string& lodemig, const std::string& option) {
  FILE* usage = ::popen(("'" + lodemig + "' -help").c_str(), "r");
  if (usage == nullptr) {
    return false;
  }
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), usage)) > 0;) {
    text.append(buffer, got);
  }
  ::pclose(usage);
  return text.find("       " + option + " ") != std::string::npos;
}

// One migration of `store` into a fresh stand-in, in `directory`.
WatchRun watchRun(const WatchPrograms& programs, const std::string& store,
                  const std::string& directory, const std::vector<std::string>& extra) {
  fs::remove_all(directory);
  fs::create_directories(directory);
  TargetProcess target({programs.target, "--listen", "127.0.0.1", "--port", "0"},
                       directory + "/target.stderr");
  std::vector<std::string> argv{
      programs.lodemig, "-path",   store,       "-primaryDomain", "bench.example",
      "-migrate",       "-server", "127.0.0.1", "-port",          std::to_string(target.port()),
      "-password",      "master",  "-quiet",    "-jobs",          "4"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  WatchRun run;
  run.usage = runMeasured(programs.launcher, argv, directory, directory + "/lodemig.stderr",
                          programs.timeoutSeconds)
                  .usage;
  std::string output;
  target.stop(&output);
  parseTargetSummary(output, &run.summary);
  return run;
}

}  // namespace

int runWatchRows(const WatchPrograms& programs, std::ostream& out) {
  StorePlan plan;
  plan.accounts = 8;
  plan.messagesPerAccount = 1000;
  plan.seed = 29;
  const std::string root = programs.work + "/watch-store";
  fs::remove_all(root);
  const StoreManifest store = generateStore(plan, root);
  std::vector<std::string> watched = {"-metricsFile", programs.work + "/watch/lodemig.prom"};
  const bool events = takesOption(programs.lodemig, "-events");
  if (events) {
    watched.insert(watched.end(), {"-events", programs.work + "/watch/events.jsonl"});
  }
  fs::create_directories(programs.work + "/watch");
  const int runs = programs.runs < 3 ? 3 : programs.runs;
  std::vector<double> bare, followed;
  bool whole = true;
  // In turns, so that a spell of load on a shared machine falls on both.
  for (int i = 0; i < runs; ++i) {
    for (const bool watching : {false, true}) {
      const WatchRun run =
          watchRun(programs, store.root, programs.work + (watching ? "/watch-on" : "/watch-off"),
                   watching ? watched : std::vector<std::string>());
      whole = whole && run.usage.succeeded() && run.summary.messages == store.messages;
      (watching ? followed : bare)
          .push_back(run.usage.cpuSeconds() * 1e6 / static_cast<double>(store.messages));
    }
  }
  const Stats without = summarize(bare);
  const Stats with = summarize(followed);
  const double ratio = without.median > 0 ? with.median / without.median : 0;
  const bool held = whole && ratio > 0 && ratio <= kMostCostRatio;
  Table table({"row", "store", "runs", "CPU us/msg (min-max)", "ratio", "check"});
  const std::string storeText = std::to_string(store.messages) + " msgs, " +
                                formatFixed(static_cast<double>(store.bytes) / 1048576.0, 1) +
                                " MB";
  table.addRow({"-jobs 4", storeText, std::to_string(runs),
                formatFixed(without.median, 1) + " (" + formatFixed(without.min, 1) + "-" +
                    formatFixed(without.max, 1) + ")",
                "-", whole ? "ok" : "FAILED: a run did not arrive whole"});
  table.addRow({events ? "-jobs 4 -events -metricsFile" : "-jobs 4 -metricsFile", storeText,
                std::to_string(runs),
                formatFixed(with.median, 1) + " (" + formatFixed(with.min, 1) + "-" +
                    formatFixed(with.max, 1) + ")",
                formatFixed(ratio, 3), targetCell(ratio, kMostCostRatio, 2)});
  out << table.markdown();
  return held ? 0 : 1;
}

}  // namespace lodemig::bench
