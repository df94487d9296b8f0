#include "bench/pace_rows.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

struct PaceRun {
  ChildUsage usage;
  TargetSummary summary;
  std::string log;
};

std::string logOf(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".log") {
      std::ifstream in(entry.path(), std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  return std::string();
}

int countOf(const std::string& text, const std::string& piece) {
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

// One migration of `store` into a fresh stand-in started with `serverExtra`.
PaceRun paceRun(const PacePrograms& programs, const std::string& store, const std::string& name,
                const std::vector<std::string>& serverExtra,
                const std::vector<std::string>& lodemigExtra) {
  const std::string directory = programs.work + "/pace-" + name;
  fs::remove_all(directory);
  fs::create_directories(directory);
  std::vector<std::string> server{programs.target, "--listen", "127.0.0.1", "--port", "0"};
  server.insert(server.end(), serverExtra.begin(), serverExtra.end());
  TargetProcess target(server, directory + "/target.stderr");
  std::vector<std::string> argv{
      programs.lodemig, "-path",   store,       "-primaryDomain", "bench.example",
      "-migrate",       "-server", "127.0.0.1", "-port",          std::to_string(target.port()),
      "-password",      "master",  "-quiet"};
  argv.insert(argv.end(), lodemigExtra.begin(), lodemigExtra.end());
  PaceRun run;
  run.usage = runMeasured(programs.launcher, argv, directory, directory + "/lodemig.stderr",
                          programs.timeoutSeconds)
                  .usage;
  std::string output;
  target.stop(&output);
  parseTargetSummary(output, &run.summary);
  run.log = logOf(directory);
  return run;
}

StoreManifest paceStore(const PacePrograms& programs, const std::string& name, int perAccount) {
  StorePlan plan;
  plan.accounts = 4;
  plan.messagesPerAccount = perAccount;
  plan.seed = 28;
  const std::string root = programs.work + "/pace-store-" + name;
  fs::remove_all(root);
  return generateStore(plan, root);
}

double perSecond(double amount, const ChildUsage& usage) {
  return usage.wallSeconds > 0 ? amount / usage.wallSeconds : 0;
}

}  // namespace

int runPaceRows(const PacePrograms& programs, std::ostream& out) {
  // About 30 s at each limit: 62 MiB at 2 MiB/s, 6,000 messages at 200/s.
  const StoreManifest bytesStore = paceStore(programs, "bytes", 3200);
  const StoreManifest countStore = paceStore(programs, "count", 1500);
  // Each refusal pauses the run a second or more: 600 messages, 12 of them.
  const StoreManifest loadStore = paceStore(programs, "load", 150);
  Table table({"row", "store", "wall s", "achieved", "limit or peer", "ratio", "check"});
  bool held = true;
  auto check = [&](const PaceRun& run, const StoreManifest& store) {
    const bool whole = run.usage.succeeded() && run.summary.messages == store.messages &&
                       run.summary.bytes >= store.bytes;
    held = held && whole;
    return (whole ? std::string("ok: ") : std::string("FAILED: ")) +
           std::to_string(run.summary.messages) + " of " + std::to_string(store.messages) +
           " msgs, status " + std::to_string(run.usage.status);
  };
  const auto storeText = [](const StoreManifest& store) {
    return std::to_string(store.messages) + " msgs, " +
           formatFixed(static_cast<double>(store.bytes) / 1048576.0, 1) + " MB";
  };

  const PaceRun freeBytes = paceRun(programs, bytesStore.root, "free", {}, {"-jobs", "4"});
  const PaceRun rate =
      paceRun(programs, bytesStore.root, "max-rate", {}, {"-jobs", "4", "-maxRate", "2M"});
  const double limit = 2.0 * 1048576;
  const double achieved = perSecond(static_cast<double>(bytesStore.bytes), rate.usage);
  table.addRow(
      {"-jobs 4, no limit", storeText(bytesStore), formatFixed(freeBytes.usage.wallSeconds, 2),
       formatFixed(perSecond(static_cast<double>(bytesStore.bytes), freeBytes.usage) / 1048576.0,
                   2) +
           " MB/s",
       "-", "-", check(freeBytes, bytesStore)});
  table.addRow({"-jobs 4 -maxRate 2M", storeText(bytesStore),
                formatFixed(rate.usage.wallSeconds, 2),
                formatFixed(achieved / 1048576.0, 3) + " MB/s", "2 MB/s",
                formatFixed(achieved / limit, 3), check(rate, bytesStore)});
  held = held && achieved / limit > 0.9 && achieved / limit < 1.1;

  const PaceRun freeCount = paceRun(programs, countStore.root, "free-count", {}, {"-jobs", "4"});
  const PaceRun messages = paceRun(programs, countStore.root, "max-messages", {},
                                   {"-jobs", "4", "-maxMessagesPerSecond", "200"});
  const double perSecondAchieved =
      perSecond(static_cast<double>(countStore.messages), messages.usage);
  table.addRow(
      {"-jobs 4, no limit", storeText(countStore), formatFixed(freeCount.usage.wallSeconds, 2),
       formatFixed(perSecond(static_cast<double>(countStore.messages), freeCount.usage), 0) +
           " msgs/s",
       "-", "-", check(freeCount, countStore)});
  table.addRow({"-jobs 4 -maxMessagesPerSecond 200", storeText(countStore),
                formatFixed(messages.usage.wallSeconds, 2),
                formatFixed(perSecondAchieved, 1) + " msgs/s", "200 msgs/s",
                formatFixed(perSecondAchieved / 200.0, 3), check(messages, countStore)});
  held = held && perSecondAchieved / 200.0 > 0.9 && perSecondAchieved / 200.0 < 1.1;

  const PaceRun freeWindow =
      paceRun(programs, loadStore.root, "free-window", {}, {"-jobs", "4", "-window", "8"});
  const PaceRun loaded = paceRun(programs, loadStore.root, "unavailable",
                                 {"--unavailable-every", "50"}, {"-jobs", "4", "-window", "8"});
  const int slowDowns = countOf(loaded.log, "the server asks to slow down");
  const int resent = countOf(loaded.log, "the message is sent again");
  table.addRow({"-jobs 4 -window 8, no refusals", storeText(loadStore),
                formatFixed(freeWindow.usage.wallSeconds, 2), "-", "-", "-",
                check(freeWindow, loadStore)});
  table.addRow(
      {"-jobs 4 -window 8, every 50th append NO [UNAVAILABLE]", storeText(loadStore),
       formatFixed(loaded.usage.wallSeconds, 2),
       std::to_string(slowDowns) + " slow-downs, " + std::to_string(resent) + " sent again",
       formatFixed(freeWindow.usage.wallSeconds, 2) + " s without",
       formatFixed(loaded.usage.wallSeconds /
                       (freeWindow.usage.wallSeconds > 0 ? freeWindow.usage.wallSeconds : 1),
                   2),
       check(loaded, loadStore)});
  out << table.markdown();
  return held ? 0 : 1;
}

}  // namespace lodemig::bench
