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
#include "bench/pace_rows.h"
#include "bench/report.h"
#include "bench/rows.h"
#include "bench/store_changes.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"
#include "bench/watch_rows.h"
#include "bench/window_rows.h"
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

// The journal's bytes on the disk: the file and whatever its keeper writes
// beside it under the same name.
uint64_t journalBytesIn(const std::string& scratch) {
  uint64_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(scratch)) {
    if (entry.is_regular_file() && entry.path().filename().string().rfind("journal", 0) == 0) {
      bytes += entry.file_size();
    }
  }
  return bytes;
}

// lodemig's arguments for one run of `variant` into the target on `port`
// (ignored by a print run); its files go to `scratch`.
std::vector<std::string> lodemigArguments(const Options& options, const Workload& workload,
                                          const Variant& variant, const StoreManifest& manifest,
                                          int port, const std::string& scratch) {
  std::vector<std::string> argv{options.lodemig, "-path", manifest.root, "-primaryDomain",
                                "bench.example"};
  if (variant.tls) {
    argv.insert(argv.end(), {"-tls", "-caFile", benchCertificates(options).caFile});
  }
  if (workload.migrate) {
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
  return argv;
}

// Runs `argv` once, unmeasured, in its own directory below `scratch`, so that
// the measured run after it finds the journal finished. Returns what went
// wrong, or the empty text.
std::string finishJournal(const Options& options, const std::vector<std::string>& argv,
                          const std::string& scratch, const std::string& directory) {
  const std::string first = scratch + "/first";
  fs::create_directories(first);
  const MeasuredRun run = runMeasured(options.launcher, argv, first, directory + "/lodemig.stderr",
                                      options.timeoutSeconds);
  if (run.usage.timedOut) {
    return "the run that finishes the journal timed out";
  }
  if (!run.usage.succeeded()) {
    return "the run that finishes the journal ended with wait status " +
           std::to_string(run.usage.status);
  }
  return "";
}

// Starts the target (and the relay in front of it) for one migration run;
// returns the port lodemig is to use.
int startTarget(const Options& options, const Workload& workload, const Variant& variant,
                const std::string& directory, std::unique_ptr<TargetProcess>* target,
                std::unique_ptr<DelayRelay>* relay) {
  std::vector<std::string> server{options.target, "--listen", "127.0.0.1",
                                  "--port",       "0",        "--accounts-digest"};
  if (variant.tls) {
    const testing::TestCertificates& certificates = benchCertificates(options);
    server.insert(server.end(),
                  {"--tls-cert", certificates.validCert, "--tls-key", certificates.validKey});
  }
  *target = std::make_unique<TargetProcess>(server, directory + "/target.stderr");
  int port = (*target)->port();
  if (workload.relayed) {
    *relay = std::make_unique<DelayRelay>(port, std::chrono::milliseconds(kRelayDelayMs));
    port = (*relay)->port();
  }
  return port;
}

// Stops the target and fills in what a run left: the summary, log, report
// and journal, and *problem (`firstProblem` when a run before the measured
// one failed, otherwise what verifyRun finds).
void collectRun(const Options& options, const Workload& workload, const Variant& variant,
                const StoreManifest& manifest, const std::string& expectedDigestText,
                const std::string& firstProblem, const std::string& directory,
                TargetProcess* target, RunResult* result, std::string* problem) {
  const std::string scratch = directory + "/run";
  if (target != nullptr) {
    std::string targetOutput;
    result->server = target->stop(&targetOutput);
    result->haveSummary = parseTargetSummary(targetOutput, &result->summary);
  }
  const std::string log = findLog(scratch);
  result->haveLog = !log.empty();
  if (result->haveLog) {
    result->logText = readWholeFile(log);
  }
  if (variant.report) {
    result->reportText = readWholeFile(scratch + "/report.csv");
  }
  result->journalBytes = variant.journal ? journalBytesIn(scratch) : 0;
  result->units = workload.migrate ? result->summary.messages
                                   : countLinesStartingWith(result->logText, " + mailbox <");
  *problem = !firstProblem.empty() ? firstProblem
                                   : verifyRun(workload, variant, manifest, expectedDigestText,
                                               *result, options.timeoutSeconds);
  if (!problem->empty()) {
    fs::copy_file(log.empty() ? directory + "/lodemig.stderr" : log, directory + "/failed.log",
                  fs::copy_options::overwrite_existing);
  }
  fs::remove_all(scratch);
}

// Runs lodemig once (with a fresh target for a migration) and fills *problem
// with what verifyRun finds. A rerun variant runs twice against the one
// target; only the second run is measured, and the target must then hold the
// store exactly once.
RunResult runOnce(const Options& options, const Workload& workload, const Variant& variant,
                  const StoreManifest& manifest, const std::string& expectedDigestText,
                  const std::string& directory, std::string* problem) {
  RunResult result;
  const std::string scratch = directory + "/run";
  fs::remove_all(scratch);
  fs::create_directories(scratch);

  std::unique_ptr<TargetProcess> target;
  std::unique_ptr<DelayRelay> relay;
  const int port =
      workload.migrate ? startTarget(options, workload, variant, directory, &target, &relay) : 0;
  const std::vector<std::string> argv =
      lodemigArguments(options, workload, variant, manifest, port, scratch);
  std::string firstProblem;
  if (variant.rerun) {
    firstProblem = finishJournal(options, argv, scratch, directory);
  }
  if (firstProblem.empty()) {
    result.floors = measureFloors(workload, variant, manifest, scratch);
    MeasuredRun run = runMeasured(options.launcher, argv, scratch, directory + "/lodemig.stderr",
                                  options.timeoutSeconds);
    result.client = run.usage;
    result.consoleBytes = run.consoleBytes;
  }
  relay.reset();
  collectRun(options, workload, variant, manifest, expectedDigestText, firstProblem, directory,
             target.get(), &result, problem);
  return result;
}

// -verify against the target a delta run has just brought up to date, in its
// own directory below `scratch`; not measured.
void auditTarget(const Options& options, const StoreManifest& manifest, int port,
                 const std::string& scratch, RunResult* result) {
  const std::string directory = scratch + "/audit";
  fs::create_directories(directory);
  const MeasuredRun run = runMeasured(
      options.launcher,
      {options.lodemig, "-path", manifest.root, "-primaryDomain", "bench.example", "-verify",
       "-server", "127.0.0.1", "-port", std::to_string(port), "-password", "master", "-quiet"},
      directory, directory + "/lodemig.stderr", options.timeoutSeconds);
  result->auditStatus = run.usage.timedOut ? -1 : run.usage.status;
  const std::string log = findLog(directory);
  result->auditLog = log.empty() ? "" : readWholeFile(log);
}

// A delta row's run: a fresh target, a first pass with the journal (not
// measured), for a changes row a changed copy of the store, then the
// measured -delta pass and the audit, all against the one target. The target
// must then hold the store as it is now, with the first pass's messages
// followed by only the new ones.
RunResult runDelta(const Options& options, const Workload& workload, const Variant& variant,
                   const StoreManifest& pristine, const target::StoreDigest& pristineDigest,
                   const std::string& directory, std::string* problem) {
  RunResult result;
  const std::string scratch = directory + "/run";
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  StoreManifest manifest = variant.changes ? copyStore(pristine, directory + "/changed") : pristine;
  std::unique_ptr<TargetProcess> target;
  std::unique_ptr<DelayRelay> relay;
  const int port = startTarget(options, workload, variant, directory, &target, &relay);
  std::vector<std::string> argv =
      lodemigArguments(options, workload, variant, manifest, port, scratch);
  const std::string firstProblem = finishJournal(options, argv, scratch, directory);
  std::string expected = pristineDigest.hex();
  StoreChanges changes;
  if (firstProblem.empty()) {
    if (variant.changes) {
      changes = changeStore(changePlanOf(workload), &manifest);
      expected = expectedDigestAfter(pristineDigest, manifest, changes);
      flushToDisk(manifest.root);
    }
    argv.push_back("-delta");
    result.floors = measureFloors(workload, variant, manifest, scratch);
    MeasuredRun run = runMeasured(options.launcher, argv, scratch, directory + "/lodemig.stderr",
                                  options.timeoutSeconds);
    result.client = run.usage;
    result.consoleBytes = run.consoleBytes;
    auditTarget(options, manifest, port, scratch, &result);
  }
  result.newMessages = changes.newMessages;
  result.flagChanges = changes.flags.size();
  result.checkNote = "ok: " + std::to_string(manifest.messages) + " msgs, bytes, digest; " +
                     std::to_string(changes.newMessages) + " new (" +
                     std::to_string(changes.newBytes) + " bytes), " +
                     std::to_string(changes.flags.size()) + " flags; -verify ok";
  collectRun(options, workload, variant, manifest, expected, firstProblem, directory, target.get(),
             &result, problem);
  return result;
}

struct Report {
  Table main{{"#", "workload", "variant", "runs", "wall s median (min-max)", "msg/s", "MB/s",
              "client CPU s", "CPU per unit", "target", "vs base row", "peak RSS MB", "target",
              "RSS vs base", "wall/floor", "target", "server CPU s", "check"}};
  Table floors{{"#", "round trip us", "msgs x round trip s", "socket push s", "file read s",
                "one-at-a-time floor s", "socket + read s", "journal syncs CPU s"}};
  Table stores{{"#", "workload", "accounts", "messages", "content MB", "median size", "max size",
                "files read"}};
  bool allVerified = true;
};

// The floors of every run of a workload, for its line in the floors table.
struct FloorRuns {
  std::vector<double> roundTrips, sockets, reads, syncCpus;

  void add(const Floors& floors) {
    roundTrips.push_back(floors.roundTrip);
    sockets.push_back(floors.socket);
    reads.push_back(floors.read);
    if (floors.syncCpu >= 0) {
      syncCpus.push_back(floors.syncCpu);
    }
  }
};

void addStoreRow(const Workload& workload, const StoreManifest& manifest, Report* report) {
  report->stores.addRow(
      {std::to_string(workload.number), workload.name, std::to_string(manifest.accounts.size()),
       std::to_string(manifest.messages),
       formatFixed(static_cast<double>(manifest.bytes) / kBytesPerMebibyte, 1),
       std::to_string(manifest.medianSize), std::to_string(manifest.maxSize),
       std::to_string((workload.migrate ? manifest.messageFiles : manifest.settingsFiles).size())});
}

void addFloorRow(const Workload& workload, const StoreManifest& manifest, const FloorRuns& runs,
                 Report* report) {
  const double roundTrip = summarize(runs.roundTrips).median;
  const double socket = summarize(runs.sockets).median;
  const double read = summarize(runs.reads).median;
  const double messagesTimesRoundTrip = static_cast<double>(manifest.messages) * roundTrip;
  report->floors.addRow(
      {std::to_string(workload.number), formatFixed(roundTrip * 1e6, 1),
       workload.migrate ? formatFixed(messagesTimesRoundTrip, 4) : "-",
       workload.migrate ? formatFixed(socket, 4) : "-", formatFixed(read, 4),
       workload.migrate ? formatFixed(messagesTimesRoundTrip + socket, 4) : "-",
       workload.migrate ? formatFixed(socket + read, 4) : "-",
       runs.syncCpus.empty() ? "-" : formatFixed(summarize(runs.syncCpus).median, 4)});
}

// One row of the main table, compared with its base row's figures.
void addMainRow(const Workload& workload, const StoreManifest& manifest, const Variant& variant,
                const RowRuns& runs, const RowFigures& base, Report* report) {
  const std::string n = std::to_string(workload.number);
  if (!runs.failure.empty()) {
    report->allVerified = false;
    report->main.addRow({n, workload.name, variant.name, std::to_string(runs.walls.size()), "-",
                         "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-",
                         "FAILED: " + runs.failure});
    return;
  }
  const RowFigures row = rowFiguresOf(workload, runs);
  // A run over a finished journal sends nothing, a delta run little, and the
  // target of either also served the run before it: no rates, no floor, no
  // server CPU.
  const bool sends = workload.migrate && !variant.rerun && !variant.delta;
  const Stats wall = summarize(runs.walls);
  const double ratio = summarize(runs.ratios).median;
  const bool cpuTargetApplies = workload.cpuTarget > 0 &&
                                (!workload.cpuTargetQuietOnly || variant.quiet) &&
                                (!workload.cpuTargetFixOnly || variant.fixCrLf);
  std::string check = runs.cutOff.empty() ? runs.note : runs.cutOff;
  if (check.empty()) {
    check = workload.migrate ? "ok: " + std::to_string(manifest.messages) + " msgs, bytes, digest"
                             : "ok: " + std::to_string(manifest.accounts.size()) + " mailboxes";
  }
  if (variant.journal) {
    check += ", journal " +
             formatFixed(static_cast<double>(runs.journalBytes) / kBytesPerMebibyte, 1) + " MB";
  }
  report->main.addRow(
      {n, workload.name, variant.name, std::to_string(runs.walls.size()),
       formatFixed(wall.median, 3) + " (" + formatFixed(wall.min, 3) + "-" +
           formatFixed(wall.max, 3) + ")",
       sends ? formatFixed(row.rate, 0) : "-",
       sends ? formatFixed(summarize(runs.megabytesPerSecond).median, 1) : "-",
       formatFixed(summarize(runs.cpus).median, 3),
       formatFixed(row.cpuPerUnit, row.cpuPerUnit < 10 ? 2 : 1) + " " + unitName(workload.cpuUnit),
       cpuTargetApplies ? targetCell(row.cpuPerUnit, workload.cpuTarget, 1) : "-",
       versusCell(variant, base, row), formatFixed(row.rssMb, 1), targetCell(row.rssMb, 8, 0),
       rssVersusCell(variant, base, row),
       variant.rerun || variant.delta ? "-" : formatFixed(ratio, 2),
       workload.wallTarget > 0 ? targetCell(ratio, workload.wallTarget, 1) : "-",
       sends ? formatFixed(summarize(runs.serverCpus).median, 3) : "-", check});
}

void runWorkload(const Options& options, const Workload& workload, Report* report) {
  const std::string directory = options.work + "/w" + std::to_string(workload.number);
  fs::remove_all(directory);
  fs::create_directories(directory);
  std::cerr << "workload " << workload.number << " (" << workload.name << "): generating\n";
  StoreManifest manifest = generateStore(workload.plan, directory + "/store");
  flushToDisk(directory);
  addStoreRow(workload, manifest, report);
  const std::vector<Variant> variants = variantsOf(workload);
  // Accounts migrated at the same time arrive in any order: their rows are
  // checked against a digest that keeps only each account's own order.
  bool jobs = false;
  for (const Variant& variant : variants) {
    jobs = jobs || variant.jobs > 1;
  }
  const std::string digest = workload.migrate ? expectedDigest(manifest) : "";
  const std::string accountsDigest = jobs ? expectedAccountsDigest(manifest) : "";
  // What the first pass of a delta run leaves on the target, to go on from.
  target::StoreDigest pristine;
  if (workload.delta) {
    foldMessages(
        manifest, [](const MessagePlace&) { return true; }, &pristine);
  }

  // Round by round, one run of every row each: on a machine shared with
  // other work, a row and its base then see the same spells of load.
  std::vector<RowRuns> rows(variants.size());
  FloorRuns floors;
  for (int r = 0; r < options.runs; ++r) {
    for (size_t i = 0; i < variants.size(); ++i) {
      const Variant& variant = variants[i];
      if (rows[i].closed()) {
        continue;
      }
      std::string problem;
      RunResult result =
          variant.delta
              ? runDelta(options, workload, variant, manifest, pristine, directory, &problem)
              : runOnce(options, workload, variant, manifest,
                        variant.jobs > 1 ? accountsDigest : digest, directory, &problem);
      std::cerr << "workload " << workload.number << " " << variant.name << " run " << (r + 1)
                << "/" << options.runs << ": " << formatFixed(result.client.wallSeconds, 3)
                << " s wall, " << formatFixed(result.client.cpuSeconds(), 3) << " s CPU"
                << (problem.empty() ? "" : ", " + problem) << "\n";
      floors.add(result.floors);
      rows[i].add(result, figuresOf(workload, manifest, result), problem);
    }
  }
  for (size_t i = 0; i < variants.size(); ++i) {
    // A first row that is no base but its own (workload 10's full pass with a
    // journal) has nothing to be compared with.
    const size_t baseRow = baseRowOf(variants, i);
    const RowFigures base = baseRow == i ? RowFigures{} : rowFiguresOf(workload, rows[baseRow]);
    addMainRow(workload, manifest, variants[i], rows[i], base, report);
  }
  addFloorRow(workload, manifest, floors, report);
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
  if (std::getenv("BENCH_WINDOW") != nullptr) {
    return runWindowRows({options.lodemig, options.target, options.launcher, options.work,
                          options.runs, options.timeoutSeconds});
  }

  if (std::getenv("BENCH_EVENTS") != nullptr) {
    return runWatchRows({options.lodemig, options.target, options.launcher, options.work,
                         options.runs, options.timeoutSeconds},
                        std::cout);
  }
  if (std::getenv("BENCH_PACE") != nullptr) {
    return runPaceRows(
        {options.lodemig, options.target, options.launcher, options.work, options.timeoutSeconds},
        std::cout);
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
