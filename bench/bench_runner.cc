// lodemig-bench: generates the benchmark stores, measures the floors, runs
// lodemig against lodemig-target on loopback for every workload and variant,
// checks that every message arrived, and prints (and writes) one table.
//
//   lodemig-bench --lodemig PATH --target PATH --launcher PATH --work DIR
//                 [--runs N] [--quick] [--only 1,3,5] [--results FILE]
//                 [--commit TEXT] [--keep] [--timeout SECONDS]
//   lodemig-bench --generate-only --work DIR [--quick] [--only 1,3]
//
// --generate-only writes the stores (to DIR/wN/store) and stops, for profiling
// one workload by hand.
// The exit status is 1 when a run could not be verified (a message lost, a
// failed result line), never because of a timing.

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/delay_relay.h"
#include "bench/floors.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"
#include "bench/workload.h"
#include "tests/test_certificates.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string lodemig;
  std::string target;
  std::string launcher;
  std::string work;
  std::string results;
  std::string commit = "unknown";
  int runs = 3;
  bool quick = false;
  bool keep = false;
  bool generateOnly = false;
  int timeoutSeconds = 120;
  std::set<int> only;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "lodemig-bench: " << problem << "\n"
            << "usage: lodemig-bench --lodemig PATH --target PATH --launcher PATH --work DIR\n"
               "                     [--runs N] [--quick] [--only 1,3,5] [--results FILE]\n"
               "                     [--commit TEXT] [--keep] [--timeout SECONDS]\n"
               "       lodemig-bench --generate-only --work DIR [--quick] [--only 1,3,5]\n";
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage(arg + " needs a value");
      }
      return argv[++i];
    };
    if (arg == "--lodemig") {
      options.lodemig = value();
    } else if (arg == "--target") {
      options.target = value();
    } else if (arg == "--launcher") {
      options.launcher = value();
    } else if (arg == "--work") {
      options.work = value();
    } else if (arg == "--results") {
      options.results = value();
    } else if (arg == "--commit") {
      options.commit = value();
    } else if (arg == "--runs") {
      options.runs = std::atoi(value().c_str());
    } else if (arg == "--timeout") {
      options.timeoutSeconds = std::atoi(value().c_str());
    } else if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg == "--generate-only") {
      options.generateOnly = true;
    } else if (arg == "--only") {
      std::istringstream list(value());
      std::string item;
      while (std::getline(list, item, ',')) {
        options.only.insert(std::atoi(item.c_str()));
      }
    } else {
      usage("unknown option " + arg);
    }
  }
  if (options.work.empty() ||
      (!options.generateOnly &&
       (options.lodemig.empty() || options.target.empty() || options.launcher.empty()))) {
    usage("--lodemig, --target, --launcher and --work are required");
  }
  if (options.runs < 1 || options.timeoutSeconds < 1) {
    usage("--runs and --timeout must be at least 1");
  }
  return options;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes back the generated files before any timing, so that no write-back
// runs underneath the measured runs.
void flushToDisk(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

// The push and the read are taken at their fastest of three: a floor is what
// the machine can do, and one measurement slowed by a neighbour would raise
// it and flatter the ratio.
Floors measureFloors(const Workload& workload, const Variant& variant,
                     const StoreManifest& manifest, const std::string& scratch) {
  constexpr int kTries = 3;
  Floors floors;
  floors.roundTrip = workload.relayed
                         ? measureRelayRoundTrip(std::chrono::milliseconds(kRelayDelayMs), 50)
                         : measureRoundTrip(5000);
  const std::vector<std::string>& files =
      workload.migrate ? manifest.messageFiles : manifest.settingsFiles;
  for (int i = 0; i < kTries; ++i) {
    if (workload.migrate) {
      const double socket = measureSocketPush(manifest.bytes);
      floors.socket = i == 0 ? socket : std::min(floors.socket, socket);
    }
    const double read = measureFileRead(files, nullptr);
    floors.read = i == 0 ? read : std::min(floors.read, read);
  }
  if (variant.journal) {
    // A journal syncs its first line, each folder's count before the
    // folder's first append (the generated accounts have one folder each),
    // and its end.
    floors.syncCpu = measureSyncCpu(scratch, static_cast<int>(manifest.accounts.size()) + 2);
  }
  return floors;
}

// A CA and a server certificate for 127.0.0.1, made once per benchmark run.
const testing::TestCertificates& benchCertificates(const Options& options) {
  static const testing::TestCertificates certificates = [&options] {
    const std::string directory = options.work + "/certificates";
    fs::create_directories(directory);
    return testing::makeTestCertificates(directory);
  }();
  return certificates;
}

std::string findLog(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("lodemig_", 0) == 0 && entry.path().extension() == ".log") {
      return entry.path().string();
    }
  }
  return "";
}

// Runs lodemig once (with a fresh target for a migration) and fills *problem
// with what verifyRun finds.
RunResult runOnce(const Options& options, const Workload& workload, const Variant& variant,
                  const StoreManifest& manifest, const std::string& expectedDigestText,
                  const std::string& directory, std::string* problem) {
  RunResult result;
  const std::string scratch = directory + "/run";
  fs::remove_all(scratch);
  fs::create_directories(scratch);

  std::vector<std::string> argv{options.lodemig, "-path", manifest.root, "-primaryDomain",
                                "bench.example"};
  std::unique_ptr<TargetProcess> target;
  std::unique_ptr<DelayRelay> relay;
  if (workload.migrate) {
    std::vector<std::string> server{options.target, "--listen", "127.0.0.1",
                                    "--port",       "0",        "--accounts-digest"};
    if (variant.tls) {
      const testing::TestCertificates& certificates = benchCertificates(options);
      server.insert(server.end(),
                    {"--tls-cert", certificates.validCert, "--tls-key", certificates.validKey});
      argv.insert(argv.end(), {"-tls", "-caFile", certificates.caFile});
    }
    target = std::make_unique<TargetProcess>(server, directory + "/target.stderr");
    int port = target->port();
    if (workload.relayed) {
      relay = std::make_unique<DelayRelay>(port, std::chrono::milliseconds(kRelayDelayMs));
      port = relay->port();
    }
    argv.insert(argv.end(), {"-migrate", "-server", "127.0.0.1", "-port", std::to_string(port),
                             "-password", "master"});
  }
  if (variant.window > 1) {
    argv.insert(argv.end(), {"-window", std::to_string(variant.window)});
  }
  if (variant.jobs > 1) {
    argv.insert(argv.end(), {"-jobs", std::to_string(variant.jobs)});
  }
  if (variant.quiet) {
    argv.push_back("-quiet");
  }
  if (!variant.fixCrLf) {
    argv.push_back("-disableCrLfFixing");
  }
  if (variant.journal) {
    argv.insert(argv.end(), {"-journal", scratch + "/journal"});
  }
  if (variant.report) {
    argv.insert(argv.end(), {"-report", scratch + "/report.csv"});
  }

  result.floors = measureFloors(workload, variant, manifest, scratch);
  MeasuredRun run = runMeasured(options.launcher, argv, scratch, directory + "/lodemig.stderr",
                                options.timeoutSeconds);
  result.client = run.usage;

  result.consoleBytes = run.consoleBytes;
  relay.reset();
  if (target) {
    std::string targetOutput;
    result.server = target->stop(&targetOutput);
    result.haveSummary = parseTargetSummary(targetOutput, &result.summary);
  }
  const std::string log = findLog(scratch);
  result.haveLog = !log.empty();
  if (result.haveLog) {
    result.logText = readWholeFile(log);
  }
  if (variant.report) {
    result.reportText = readWholeFile(scratch + "/report.csv");
  }
  result.units = workload.migrate ? result.summary.messages
                                  : countLinesStartingWith(result.logText, " + mailbox <");
  *problem =
      verifyRun(workload, variant, manifest, expectedDigestText, result, options.timeoutSeconds);
  if (!problem->empty()) {
    fs::copy_file(log.empty() ? directory + "/lodemig.stderr" : log, directory + "/failed.log",
                  fs::copy_options::overwrite_existing);
  }
  fs::remove_all(scratch);
  return result;
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

// The "vs first" cell of a row whose figures are `row` (CPU per unit, wall
// s, msg/s) against the workload's first row's `first`.
std::string versusCell(const Variant& variant, const std::vector<double>& first,
                       const std::vector<double>& row) {
  const auto verdict = [](bool met) { return std::string(met ? "ok)" : "MISS)"); };
  switch (variant.versus) {
    case Versus::kNone:
      return "-";
    case Versus::kCpu: {
      if (first[0] <= 0) {
        return "-";
      }
      const double percent = (row[0] / first[0] - 1) * 100;
      return (percent >= 0 ? "+" : "") + formatFixed(percent, 1) +
             "% CPU (<= " + formatFixed(variant.limit * 100, 0) + "% " +
             verdict(percent <= variant.limit * 100);
    }
    case Versus::kCpuTimes: {
      if (first[0] <= 0) {
        return "-";
      }
      const double ratio = row[0] / first[0];
      return formatFixed(ratio, 2) + "x CPU (<= " + formatFixed(variant.limit, 0) + "x " +
             verdict(ratio <= variant.limit);
    }
    case Versus::kWall: {
      if (first[1] <= 0) {
        return "-";
      }
      const double ratio = row[1] / first[1];
      return formatFixed(ratio, 2) + "x wall (<= " + formatFixed(variant.limit, 1) + "x " +
             verdict(ratio <= variant.limit);
    }
    case Versus::kSpeed: {
      if (first[2] <= 0) {
        return "-";
      }
      const double ratio = row[2] / first[2];
      std::string cell = formatFixed(ratio, 1) + "x msg/s (>= " + formatFixed(variant.limit, 0) +
                         "x " + verdict(ratio >= variant.limit);
      if (variant.minRate > 0) {
        cell += ", >= " + formatFixed(variant.minRate, 0) + " msg/s " +
                (row[2] >= variant.minRate ? "ok" : "MISS");
      }
      return cell;
    }
  }
  return "-";
}

struct Report {
  Table main{{"#", "workload", "variant", "runs", "wall s median (min-max)", "msg/s", "MB/s",
              "client CPU s", "CPU per unit", "target", "vs first row", "peak RSS MB", "target",
              "wall/floor", "target", "server CPU s", "check"}};
  Table floors{{"#", "round trip us", "msgs x round trip s", "socket push s", "file read s",
                "one-at-a-time floor s", "socket + read s", "journal syncs CPU s"}};
  Table stores{{"#", "workload", "accounts", "messages", "content MB", "median size", "max size",
                "files read"}};
  bool allVerified = true;
};

void runWorkload(const Options& options, const Workload& workload, Report* report) {
  const std::string directory = options.work + "/w" + std::to_string(workload.number);
  fs::remove_all(directory);
  fs::create_directories(directory);
  std::cerr << "workload " << workload.number << " (" << workload.name << "): generating\n";
  StoreManifest manifest = generateStore(workload.plan, directory + "/store");
  flushToDisk(directory);
  // Accounts migrated at the same time arrive in any order: their rows are
  // checked against a digest that keeps only each account's own order.
  bool jobs = false;
  for (const Variant& variant : variantsOf(workload)) {
    jobs = jobs || variant.jobs > 1;
  }
  const std::string digest = workload.migrate ? expectedDigest(manifest) : "";
  const std::string accountsDigest = jobs ? expectedAccountsDigest(manifest) : "";
  const std::string n = std::to_string(workload.number);
  report->stores.addRow(
      {n, workload.name, std::to_string(manifest.accounts.size()),
       std::to_string(manifest.messages),
       formatFixed(static_cast<double>(manifest.bytes) / kBytesPerMebibyte, 1),
       std::to_string(manifest.medianSize), std::to_string(manifest.maxSize),
       std::to_string((workload.migrate ? manifest.messageFiles : manifest.settingsFiles).size())});

  std::vector<double> roundTrips, sockets, reads, syncCpus;
  // The first row's figures, which the others are compared with.
  std::vector<double> first;
  for (const Variant& variant : variantsOf(workload)) {
    std::vector<double> walls, cpus, serverCpus, perSecond, megabytesPerSecond, perUnit, ratios;
    long peakRss = 0;
    std::string failure, cutOff;
    for (int r = 0; r < options.runs; ++r) {
      std::string problem;
      RunResult result = runOnce(options, workload, variant, manifest,
                                 variant.jobs > 1 ? accountsDigest : digest, directory, &problem);
      std::cerr << "workload " << workload.number << " " << variant.name << " run " << (r + 1)
                << "/" << options.runs << ": " << formatFixed(result.client.wallSeconds, 3)
                << " s wall, " << formatFixed(result.client.cpuSeconds(), 3) << " s CPU"
                << (problem.empty() ? "" : ", " + problem) << "\n";
      roundTrips.push_back(result.floors.roundTrip);
      sockets.push_back(result.floors.socket);
      reads.push_back(result.floors.read);
      if (result.floors.syncCpu >= 0) {
        syncCpus.push_back(result.floors.syncCpu);
      }
      if (!problem.empty() && !result.client.timedOut) {
        failure = problem;
        break;
      }
      RunFigures figures = figuresOf(workload, manifest, result);
      walls.push_back(result.client.wallSeconds);
      cpus.push_back(result.client.cpuSeconds());
      serverCpus.push_back(result.server.cpuSeconds());
      perSecond.push_back(figures.messagesPerSecond);
      megabytesPerSecond.push_back(figures.megabytesPerSecond);
      perUnit.push_back(figures.cpuPerUnit);
      ratios.push_back(figures.floor > 0 ? result.client.wallSeconds / figures.floor : 0);
      peakRss = std::max(peakRss, result.client.maxRssKb);
      if (result.client.timedOut) {
        // One run that hit the time-out says enough; more would only take longer.
        cutOff = problem;
        break;
      }
    }
    if (!failure.empty()) {
      report->allVerified = false;
      report->main.addRow({n, workload.name, variant.name, std::to_string(walls.size()), "-", "-",
                           "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "FAILED: " + failure});
      continue;
    }
    Stats wall = summarize(walls);
    const double cpuPerUnit = summarize(perUnit).median;
    const double ratio = summarize(ratios).median;
    const double rssMb = static_cast<double>(peakRss) / 1024.0;
    const bool cpuTargetApplies = workload.cpuTarget > 0 &&
                                  (!workload.cpuTargetQuietOnly || variant.quiet) &&
                                  (!workload.cpuTargetFixOnly || variant.fixCrLf);
    const double rate = workload.migrate ? summarize(perSecond).median : 0;
    if (first.empty()) {
      first = {cpuPerUnit, wall.median, rate};
    }
    const std::string versusFirst = versusCell(variant, first, {cpuPerUnit, wall.median, rate});
    std::string check = cutOff;
    if (check.empty()) {
      check = workload.migrate ? "ok: " + std::to_string(manifest.messages) + " msgs, bytes, digest"
                               : "ok: " + std::to_string(manifest.accounts.size()) + " mailboxes";
    }
    report->main.addRow(
        {n, workload.name, variant.name, std::to_string(walls.size()),
         formatFixed(wall.median, 3) + " (" + formatFixed(wall.min, 3) + "-" +
             formatFixed(wall.max, 3) + ")",
         workload.migrate ? formatFixed(summarize(perSecond).median, 0) : "-",
         workload.migrate ? formatFixed(summarize(megabytesPerSecond).median, 1) : "-",
         formatFixed(summarize(cpus).median, 3),
         formatFixed(cpuPerUnit, cpuPerUnit < 10 ? 2 : 1) + " " + unitName(workload.cpuUnit),
         cpuTargetApplies ? targetCell(cpuPerUnit, workload.cpuTarget, 1) : "-", versusFirst,
         formatFixed(rssMb, 1), targetCell(rssMb, 8, 0), formatFixed(ratio, 2),
         workload.wallTarget > 0 ? targetCell(ratio, workload.wallTarget, 1) : "-",
         workload.migrate ? formatFixed(summarize(serverCpus).median, 3) : "-", check});
  }

  const double roundTrip = summarize(roundTrips).median;
  const double socket = summarize(sockets).median;
  const double read = summarize(reads).median;
  const double messagesTimesRoundTrip = static_cast<double>(manifest.messages) * roundTrip;
  report->floors.addRow({n, formatFixed(roundTrip * 1e6, 1),
                         workload.migrate ? formatFixed(messagesTimesRoundTrip, 4) : "-",
                         workload.migrate ? formatFixed(socket, 4) : "-", formatFixed(read, 4),
                         workload.migrate ? formatFixed(messagesTimesRoundTrip + socket, 4) : "-",
                         workload.migrate ? formatFixed(socket + read, 4) : "-",
                         syncCpus.empty() ? "-" : formatFixed(summarize(syncCpus).median, 4)});
  if (!options.keep) {
    fs::remove_all(directory);
  }
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

std::string nowUtc() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

// Peak RSS of a child that does nothing, through the same launcher: the part
// of every RSS figure that is the measurement, not lodemig.
long baselineRssKb(const Options& options) {
  try {
    MeasuredRun run = runMeasured(options.launcher, {"/bin/true"}, "/", "/dev/null", 10);
    return run.usage.maxRssKb;
  } catch (const std::runtime_error&) {
    return -1;
  }
}

int benchMain(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  fs::create_directories(options.work);
  options.work = fs::canonical(options.work).string();
  // lodemig runs in a scratch directory, so every program path must be absolute.
  for (std::string* program : {&options.lodemig, &options.target, &options.launcher}) {
    if (!program->empty()) {
      *program = fs::absolute(*program).string();
    }
  }

  Report report;
  for (const Workload& workload : standardWorkloads(options.quick)) {
    if (!options.only.empty() && options.only.count(workload.number) == 0) {
      continue;
    }
    if (options.generateOnly) {
      const std::string store = options.work + "/w" + std::to_string(workload.number) + "/store";
      fs::remove_all(store);
      StoreManifest manifest = generateStore(workload.plan, store);
      std::cout << store << ": " << manifest.accounts.size() << " accounts, " << manifest.messages
                << " messages, " << manifest.bytes << " bytes\n";
      continue;
    }
    runWorkload(options, workload, &report);
  }
  if (options.generateOnly) {
    return 0;
  }

  utsname system{};
  ::uname(&system);
  std::ostringstream text;
  text << "# Benchmark results\n\n"
       << "Last run: " << nowUtc() << ", commit " << options.commit << ", "
       << sysconf(_SC_NPROCESSORS_ONLN) << " cores (" << cpuModel() << "), Linux " << system.release
       << ", " << options.runs << " run(s) per row"
       << (options.quick ? ", QUICK mode (workloads shrunk ten times)" : "") << ".\n\n"
       << report.main.markdown() << "\n"
       << "Floors, measured right before each run (medians over all runs of the workload):\n\n"
       << report.floors.markdown() << "\n"
       << "Stores (MB is 2^20 bytes; sizes in bytes):\n\n"
       << report.stores.markdown() << "\n"
       << "Peak RSS of a do-nothing child through the same launcher: "
       << formatFixed(static_cast<double>(baselineRssKb(options)) / 1024.0, 1) << " MB.\n"
       << "See bench/README.md for what each column means.\n";
  std::cout << "\n" << text.str();
  if (!options.results.empty()) {
    std::ofstream out(options.results, std::ios::binary | std::ios::trunc);
    out << text.str();
    if (!out) {
      std::cerr << "lodemig-bench: cannot write " << options.results << "\n";
    }
  }
  return report.allVerified ? 0 : 1;
}

}  // namespace
}  // namespace lodemig::bench

int main(int argc, char** argv) {
  try {
    return lodemig::bench::benchMain(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "lodemig-bench: " << error.what() << "\n";
    return 1;
  }
}
