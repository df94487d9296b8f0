#include "bench/window_rows.h"

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"
#include "bench/workload.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

// One store and the two windows compared on it.
struct WindowCase {
  std::string name;
  StorePlan plan;
  int window = 1;
  bool perMebibyte = false;  // the figure is client CPU per MB, else wall
};

struct Measured {
  std::vector<double> wall, cpu;
  std::string check = "ok";
};

// One run into a fresh target; what is wrong with it, or "".
std::string runOnce(const WindowRowsSetup& setup, const StoreManifest& manifest,
                    const std::string& digest, int window, const std::string& directory,
                    Measured* measured) {
  const std::string scratch = directory + "/run";
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  TargetProcess target({setup.target, "--listen", "127.0.0.1", "--port", "0"},
                       directory + "/target.stderr");
  std::vector<std::string> argv{
      setup.lodemig, "-path",     manifest.root,    "-migrate",
      "-server",     "127.0.0.1", "-port",          std::to_string(target.port()),
      "-password",   "master",    "-primaryDomain", "bench.example",
      "-quiet"};
  if (window > 1) {
    argv.insert(argv.end(), {"-window", std::to_string(window)});
  }
  const MeasuredRun run = runMeasured(setup.launcher, argv, scratch, directory + "/lodemig.stderr",
                                      setup.timeoutSeconds);
  std::string output;
  target.stop(&output);
  TargetSummary summary;
  if (!run.usage.succeeded()) {
    return "lodemig failed";
  }
  if (!parseTargetSummary(output, &summary) || summary.messages != manifest.messages ||
      summary.digest != digest) {
    return "the target does not hold the store";
  }
  measured->wall.push_back(run.usage.wallSeconds);
  measured->cpu.push_back(run.usage.cpuSeconds());
  return "";
}

// The two windows' runs alternate, so that a neighbour's load on a shared
// machine falls on both alike.
void measure(const WindowRowsSetup& setup, const StoreManifest& manifest, const std::string& digest,
             const WindowCase& windowCase, const std::string& directory, Measured* one,
             Measured* wide) {
  for (int i = 0; i < setup.runs; ++i) {
    for (Measured* measured : {one, wide}) {
      const int window = measured == one ? 1 : windowCase.window;
      std::cerr << "window rows: " << windowCase.name << ", window " << window << ", run " << i + 1
                << "\n";
      const std::string problem = runOnce(setup, manifest, digest, window, directory, measured);
      if (!problem.empty()) {
        measured->check = "FAILED: " + problem;
      }
    }
  }
}

std::vector<WindowCase> windowCases() {
  std::vector<WindowCase> cases;
  for (const int messages : {5, 10, 15}) {
    StorePlan plan;
    plan.accounts = 100;
    plan.messagesPerAccount = messages;
    plan.sizes = SizeProfile::kSmall;
    plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMessageDirectory};
    cases.push_back({"100 folders of " + std::to_string(messages) + " messages", plan, 32, false});
  }
  StorePlan large;
  large.messagesPerAccount = 200;
  large.sizes = SizeProfile::kOneMebibyte;
  cases.push_back({"200 messages of 1 MB", large, 8, true});
  return cases;
}

// The figure compared: median wall seconds, or median client CPU ms per MB.
double figure(const WindowCase& windowCase, const StoreManifest& manifest, const Measured& run) {
  if (!windowCase.perMebibyte) {
    return summarize(run.wall).median;
  }
  return summarize(run.cpu).median * 1000.0 /
         (static_cast<double>(manifest.bytes) / kBytesPerMebibyte);
}

}  // namespace

int runWindowRows(const WindowRowsSetup& setup) {
  Table table{
      {"store", "window", "runs", "wall s median", "msg/s", "CPU ms/MB", "vs window 1", "check"}};
  bool verified = true;
  int number = 0;
  for (const WindowCase& windowCase : windowCases()) {
    const std::string directory = setup.work + "/window" + std::to_string(++number);
    fs::remove_all(directory);
    const StoreManifest manifest = generateStore(windowCase.plan, directory + "/store");
    const std::string digest = expectedDigest(manifest);
    Measured one, wide;
    measure(setup, manifest, digest, windowCase, directory, &one, &wide);
    const double mebibytes = static_cast<double>(manifest.bytes) / kBytesPerMebibyte;
    const double base = figure(windowCase, manifest, one);
    const double ours = figure(windowCase, manifest, wide);
    for (const Measured* run : {&one, &wide}) {
      const bool isWide = run == &wide;
      const double wall = summarize(run->wall).median;
      std::string versus = "-";
      if (isWide) {
        versus = windowCase.perMebibyte
                     ? formatFixed(ours, 3) + " ms/MB " + targetCell(ours, 0.3, 1)
                     : formatFixed(ours / base, 3) + "x wall " + targetCell(ours / base, 1.05, 2);
      }
      table.addRow({windowCase.name, std::to_string(isWide ? windowCase.window : 1),
                    std::to_string(run->wall.size()), formatFixed(wall, 3),
                    formatFixed(static_cast<double>(manifest.messages) / wall, 0),
                    formatFixed(summarize(run->cpu).median * 1000.0 / mebibytes, 3), versus,
                    run->check});
      verified = verified && run->check == "ok";
    }
    fs::remove_all(directory);
  }
  std::cout << "## Appends in flight, loopback, against window 1\n\n" << table.markdown() << "\n";
  return verified ? 0 : 1;
}

}  // namespace lodemig::bench
