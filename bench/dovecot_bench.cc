// lodemig-bench-dovecot: the same messages pushed into a private dovecot
// instance (mail on tmpfs) by lodemig, from the store, and by mbsync, from a
// Maildir of the same messages; each run into a fresh instance and verified
// there. Prints one table of messages per second and client CPU, side by side.
//
// lodemig-bench-dovecot --lodemig PATH --launcher PATH --work DIR [--runs N]
//                       [--messages N] [--results FILE] [--commit TEXT]
// With BENCH_DOVECOT_ONLY=compress in the environment, only the rows of
// -compress (bench/dovecot_compress.h).

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/dovecot_accounts.h"
#include "bench/dovecot_compress.h"
#include "bench/dovecot_relay.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/window_dovecot.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kAccount[] = "user00000@bench.example";
constexpr char kPassword[] = "secret";
constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kMbsync[] = "/usr/bin/mbsync";
constexpr int kTimeoutSeconds = 300;

struct Options {
  std::string lodemig;
  std::string launcher;
  std::string work;
  std::string results;
  std::string commit = "unknown";
  int runs = 3;
  int messages = 4000;
};

// How one row's client is started.
struct Variant {
  std::string name;
  bool mbsync = false;
  int depth = 1;  // -window for lodemig, PipelineDepth for mbsync; 0: unlimited
};

struct Row {
  Variant variant;
  std::vector<double> wall, cpu;
  std::string check = "ok";
};

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One Maildir file per message of the generated mailbox file.
void writeMaildir(const StoreManifest& manifest, const std::string& maildir) {
  for (const char* sub : {"cur", "new", "tmp"}) {
    fs::create_directories(maildir + "/INBOX/" + sub);
  }
  const GeneratedAccount& account = manifest.accounts.front();
  const std::string content = readWhole(account.inboxPath);
  int number = 0;
  for (const MessageSpan& span : account.spans) {
    std::ofstream out(maildir + "/INBOX/cur/" + std::to_string(++number) + ".bench:2,S",
                      std::ios::binary);
    out.write(content.data() + span.offset, static_cast<std::streamsize>(span.length));
  }
}

std::string mbsyncConfig(int port, int depth, const std::string& maildir) {
  std::string config = "IMAPAccount target\nHost 127.0.0.1\nPort " + std::to_string(port) +
                       "\nUser " + kAccount + "\nPass " + kPassword +
                       "\nSSLType None\nAuthMechs LOGIN\n";
  if (depth > 0) {
    config += "PipelineDepth " + std::to_string(depth) + "\n";
  }
  config += "\nIMAPStore far\nAccount target\n\nMaildirStore near\nPath " + maildir + "/\nInbox " +
            maildir +
            "/INBOX\nSubFolders Verbatim\n\nChannel push\nFar :far:\n"
            "Near :near:\nPatterns INBOX\nSync Push\nCreate None\nExpunge None\n"
            "CopyArrivalDate yes\nSyncState *\n";
  return config;
}

// What dovecot holds in the account's INBOX: "messages=N vsize=B".
std::string inboxStatus(const testing::Dovecot& dovecot) {
  int status = 0;
  std::string out = dovecot.doveadm(
      {"-f", "flow", "mailbox", "status", "-u", kAccount, "messages vsize", "INBOX"}, &status);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  return status == 0 ? out : "doveadm failed";
}

// One run into a fresh dovecot; the client's usage, and *status what dovecot
// holds afterwards.
ChildUsage runOnce(const Options& options, const Variant& variant, const StoreManifest& manifest,
                   const std::string& maildirSource, std::string* status) {
  testing::ScopedTempDir home;
  testing::DovecotOptions setup;
  setup.users = {{kAccount, kPassword}};
  setup.masterUser = kAdmin;
  setup.masterPassword = kMasterPassword;
  const testing::Dovecot dovecot(home, setup);
  if (!dovecot.problem().empty()) {
    throw std::runtime_error(dovecot.problem());
  }
  const std::string scratch = home / "client";
  fs::create_directories(scratch);
  std::vector<std::string> argv;
  if (variant.mbsync) {
    const std::string maildir = home / "maildir";
    fs::copy(maildirSource, maildir, fs::copy_options::recursive);
    testing::writeFile(home / "mbsyncrc", mbsyncConfig(dovecot.port(), variant.depth, maildir));
    argv = {kMbsync, "-q", "-c", home / "mbsyncrc", "push"};
  } else {
    argv = {options.lodemig, "-path",         manifest.root,    "-migrate",
            "-server",       "127.0.0.1",     "-port",          std::to_string(dovecot.port()),
            "-password",     kMasterPassword, "-targetType",    "imap",
            "-admin",        kAdmin,          "-primaryDomain", "bench.example",
            "-quiet"};
    if (variant.depth >= 1) {
      argv.insert(argv.end(), {"-window", std::to_string(variant.depth)});
    }
  }
  const MeasuredRun run =
      runMeasured(options.launcher, argv, scratch, home / "client.stderr", kTimeoutSeconds);
  *status = inboxStatus(dovecot);
  if (!run.usage.succeeded()) {
    *status += " (client failed: " + readWhole(home / "client.stderr").substr(0, 200) + ")";
  }
  return run.usage;
}

double median(const std::vector<double>& values) {
  return summarize(values).median;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--lodemig") {
      options.lodemig = value;
    } else if (name == "--launcher") {
      options.launcher = value;
    } else if (name == "--work") {
      options.work = value;
    } else if (name == "--results") {
      options.results = value;
    } else if (name == "--commit") {
      options.commit = value;
    } else if (name == "--runs") {
      options.runs = std::max(1, std::atoi(value.c_str()));
    } else if (name == "--messages") {
      options.messages = std::max(10, std::atoi(value.c_str()));
    } else {
      throw std::runtime_error("unknown option " + name);
    }
  }
  // The clients run in directories of their own.
  for (std::string* path : {&options.lodemig, &options.launcher, &options.work}) {
    if (!path->empty()) {
      *path = fs::absolute(*path).string();
    }
  }
  if (options.lodemig.empty() || options.launcher.empty() || options.work.empty()) {
    throw std::runtime_error(
        "usage: lodemig-bench-dovecot --lodemig PATH --launcher PATH --work DIR [--runs N] "
        "[--messages N] [--results FILE] [--commit TEXT]");
  }
  return options;
}

int run(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!testing::Dovecot::installed() || ::access(kMbsync, X_OK) != 0) {
    std::cerr << "lodemig-bench-dovecot: needs dovecot-imapd and isync installed\n";
    return 2;
  }
  // The instances' mail lives in memory, so that the disk does not decide.
  if (::access("/dev/shm", W_OK) == 0) {
    ::setenv("TMPDIR", "/dev/shm", 1);
  }
  // BENCH_DOVECOT_ONLY=accounts, compress or multi: those rows alone.
  const std::string only =
      std::getenv("BENCH_DOVECOT_ONLY") ? std::getenv("BENCH_DOVECOT_ONLY") : "";
  if (only == "accounts") {
    return runAccountRows({options.lodemig, options.launcher, options.work, options.results,
                           options.commit, options.runs});
  }
  if (only == "compress") {
    return runCompressRows({options.lodemig, options.launcher, options.work, options.results,
                            options.commit, options.runs, options.messages});
  }
  if (std::getenv("BENCH_WINDOW") != nullptr) {
    return runDovecotWindows(
        {options.lodemig, options.launcher, options.work, options.runs, options.messages});
  }
  const std::string directory = options.work + "/dovecot";
  fs::remove_all(directory);
  fs::create_directories(directory);
  StorePlan plan;
  plan.messagesPerAccount = options.messages;
  const StoreManifest manifest = generateStore(plan, directory + "/store");
  writeMaildir(manifest, directory + "/maildir");
  if (only == "multi") {
    bool verified = true;
    const std::string text = multiAppendRelayRows(
        {options.lodemig, options.launcher, options.runs, &manifest, directory + "/maildir",
         kAccount, kPassword, kAdmin, kMasterPassword, mbsyncConfig},
        &verified);
    std::cout << text;
    return verified ? 0 : 1;
  }

  std::vector<Row> rows;
  for (const Variant& variant : std::vector<Variant>{{"lodemig, window 1", false, 1},
                                                     {"mbsync, pipeline depth 1", true, 1},
                                                     {"lodemig, window 32", false, 32},
                                                     {"mbsync, unlimited pipelining", true, 0}}) {
    Row& row = rows.emplace_back();
    row.variant = variant;
    for (int i = 0; i < options.runs; ++i) {
      std::string status;
      std::cerr << "dovecot: " << variant.name << ", run " << i + 1 << "\n";
      const ChildUsage usage = runOnce(options, variant, manifest, directory + "/maildir", &status);
      row.wall.push_back(usage.wallSeconds);
      row.cpu.push_back(usage.cpuSeconds());
      const std::string expected = "messages=" + std::to_string(manifest.accounts[0].messages);
      if (status.find(" " + expected + " ") == std::string::npos || !usage.succeeded()) {
        row.check = "FAILED: " + status;
      } else if (row.check == "ok") {
        row.check = "ok: " + status;
      }
    }
  }

  // lodemig against mbsync at the same depth: rate at least the same, CPU
  // per message at most a third.
  Table table{{"variant", "runs", "wall s median", "msg/s", "client CPU s", "CPU us/msg",
               "vs mbsync", "check"}};
  const double count = static_cast<double>(manifest.accounts[0].messages);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const double wall = median(row.wall);
    const double cpu = median(row.cpu);
    std::string versus = "-";
    if (!row.variant.mbsync && i + 1 < rows.size()) {
      const double theirWall = median(rows[i + 1].wall);
      const double theirCpu = median(rows[i + 1].cpu);
      const bool faster = wall <= theirWall;
      const bool frugal = cpu * 3 <= theirCpu;
      versus = formatFixed(theirWall / wall, 2) + "x msg/s (>= 1 " + (faster ? "ok" : "MISS") +
               "), " + formatFixed(cpu / theirCpu, 2) + "x CPU (<= 0.33 " +
               (frugal ? "ok" : "MISS") + ")";
    }
    table.addRow({row.variant.name, std::to_string(row.wall.size()), formatFixed(wall, 3),
                  formatFixed(count / wall, 0), formatFixed(cpu, 3),
                  formatFixed(cpu / count * 1e6, 1), versus, row.check});
  }
  std::ostringstream text;
  text << "## Into dovecot, next to mbsync\n\n"
       << "Commit " << options.commit << ". One account of " << manifest.accounts[0].messages
       << " messages (" << formatFixed(static_cast<double>(manifest.bytes) / 1048576.0, 1)
       << " MB), pushed into a fresh private dovecot (mail on tmpfs) per run: by lodemig "
          "(-targetType imap, master user) from the store, by mbsync (isync 1.4) from a Maildir "
          "of the same messages. Client CPU is the client process's own; the server's is not "
          "counted.\n\n"
       << table.markdown() << "\n";
  std::cout << text.str();
  if (!options.results.empty()) {
    std::ofstream out(options.results, std::ios::app);
    out << "\n" << text.str();
  }
  bool verified = true;
  for (const Row& row : rows) {
    verified = verified && row.check.rfind("ok", 0) == 0;
  }
  const int accounts = runAccountRows({options.lodemig, options.launcher, options.work,
                                       options.results, options.commit, options.runs});
  return accounts == 0 && verified ? 0 : 1;
}

}  // namespace
}  // namespace lodemig::bench

int main(int argc, char** argv) {
  try {
    return lodemig::bench::run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "lodemig-bench-dovecot: " << error.what() << "\n";
    return 2;
  }
}
