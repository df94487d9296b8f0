#ifndef LODEMIG_BENCH_WORKLOAD_H_
#define LODEMIG_BENCH_WORKLOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bench/measured_run.h"
#include "bench/store_changes.h"
#include "bench/store_generator.h"
#include "bench/target_process.h"

namespace lodemig::bench {

inline constexpr double kBytesPerMebibyte = 1048576.0;

// What the client CPU of a workload is counted per.
enum class Unit { kMessage, kMebibyte, kAccount };

// One benchmark workload: its store, whether it migrates or only prints, and
// the figures it must reach.
struct Workload {
  int number = 0;
  std::string name;
  StorePlan plan;
  bool migrate = true;
  Unit cpuUnit = Unit::kMessage;
  double cpuTarget = 0;  // client CPU per unit (us, or ms per MB); 0 for none
  bool cpuTargetQuietOnly = false;
  bool cpuTargetFixOnly = false;
  double wallTarget = 0;           // wall / floor; 0 for none
  bool floorIsSocketRead = false;  // the floor is socket push + file read
  bool quietOnly = false;          // one variant: -quiet with CR/LF fixing
  // Every run goes through a DelayRelay of kRelayDelay each way; the
  // variants are the windows (and jobs) of the relayed list.
  bool relayed = false;
  // Rows for a journal's memory: with and without one, and over a finished
  // journal; peak RSS is compared, not only printed.
  bool rerun = false;
  // Rows of passes after a first one: a full pass with a journal, then -delta
  // passes over the store as it is and after a running server's changes.
  bool delta = false;
};

// The delay a relayed workload's relay adds in each direction.
inline constexpr int kRelayDelayMs = 5;

// What a variant's row is compared with: its base row (Variant::base).
enum class Versus {
  kNone,
  kCpu,        // client CPU per unit at most `limit` above the base row's, as a fraction
  kWall,       // wall time at most `limit` times the base row's
  kSpeed,      // msg/s at least `limit` times the base row's (and at least minRate)
  kCpuTimes,   // client CPU per unit at most `limit` times the base row's
  kWallShare,  // wall time at most `limit` of the base row's, shown in percent
};

// How lodemig is started for one row of the table.
struct Variant {
  std::string name;
  bool quiet = true;
  bool fixCrLf = true;
  bool journal = false;  // with -journal, a new one every run
  bool report = false;   // with -report, a new one every run
  int window = 1;        // -window, when above 1
  int jobs = 1;          // -jobs, when above 1
  bool tls = false;      // the target with a certificate, lodemig with -tls and its CA
  Versus versus = Versus::kNone;
  double limit = 0;
  double minRate = 0;  // msg/s a kSpeed row must reach too; 0 for none
  // The row `versus` (and the RSS difference) compares with, by name; the
  // empty name is the workload's first row.
  std::string base{};
  double rssLimitMb = 0;  // peak RSS at most this above the base row's; 0 for none
  // With `journal`: the measured run goes over a journal that a run before
  // it (not measured, against the same target) has finished.
  bool rerun = false;
  // With `journal`: the measured run adds -delta and goes over what a first
  // pass (not measured, against the same target) copied; with `changes`, a
  // copy of the store that changeStore() changed between the two by
  // changePlanOf(). Afterwards the target is audited with -verify.
  bool delta = false;
  bool changes = false;
};

// The ten workloads, each shrunk ten times when `quick` is set.
std::vector<Workload> standardWorkloads(bool quick);

// Quiet, quiet with a journal, console, each with CR/LF fixing on and off,
// quiet with a report, with a window of 32 (the first workload only) and
// over TLS (the third); a print run only has quiet and console (a journal
// is kept by migrations only), a quietOnly workload quiet and its journal
// row, a relayed workload quiet rows of growing windows and a journal row
// for the last of them, a rerun workload quiet, journal and the run over a
// finished journal, a delta workload the full pass with a journal and the
// delta passes over it unchanged and changed. Every other journal row names the row without it as
// its base and comes right after it.
std::vector<Variant> variantsOf(const Workload& workload);

// One run's floors, measured right before it so that both see the same load.
struct Floors {
  double roundTrip = 0;  // seconds per round trip
  double socket = 0;     // seconds to push the store's content bytes
  double read = 0;       // seconds to read the files the run reads
  double syncCpu = -1;   // CPU seconds of a journal's syncs; journal runs only
};

// Everything observed about one run.
struct RunResult {
  ChildUsage client;
  ChildUsage server;
  Floors floors;
  uint64_t consoleBytes = 0;
  bool haveLog = false;
  std::string logText;
  std::string reportText;     // the -report file of a report variant
  uint64_t journalBytes = 0;  // the journal's size on disk after the run
  bool haveSummary = false;
  TargetSummary summary;
  uint64_t units = 0;  // messages the target holds, or mailboxes of a print run
  // A delta run's audit: -verify's wait status and log (-1 and empty when
  // it did not run), and what its check cell says when all is well.
  int auditStatus = -1;
  std::string auditLog;
  std::string checkNote;
  // What the store's changes before a delta run were: its log must say that
  // it sent that many messages and set flags on that many.
  uint64_t newMessages = 0;
  uint64_t flagChanges = 0;
};

// What a delta workload's running server changes between the passes: 1% of
// every account's messages new and 1% with other flags, at least one each.
StoreChangePlan changePlanOf(const Workload& workload);

// What is wrong with `run`, or the empty text when it delivered exactly the
// store. `expectedDigest` is the store's digest, or for a variant of more
// than one job its accounts digest. A run killed at the time-out yields a text that begins with
// "TIMED OUT" and says how far it came; every other text is a failure.
std::string verifyRun(const Workload& workload, const Variant& variant,
                      const StoreManifest& manifest, const std::string& expectedDigest,
                      const RunResult& run, int timeoutSeconds);

// A run's rates, taken over what it delivered, so that a run cut off by the
// time-out still gives honest figures.
struct RunFigures {
  double messagesPerSecond = 0;
  double megabytesPerSecond = 0;
  double cpuPerUnit = 0;  // us per message or account, ms per MB
  double floor = 0;       // seconds, for the part of the store delivered
};

RunFigures figuresOf(const Workload& workload, const StoreManifest& manifest, const RunResult& run);

// The number of lines of `text` that begin with `prefix`.
size_t countLinesStartingWith(const std::string& text, const std::string& prefix);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_WORKLOAD_H_
