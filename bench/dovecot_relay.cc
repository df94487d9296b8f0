#include "bench/dovecot_relay.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench/delay_relay.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutSeconds = 300;
constexpr std::chrono::milliseconds kOneWayDelay{5};

// One row's client: mbsync, or lodemig with these extra arguments.
struct RelayVariant {
  std::string name;
  bool mbsync = false;
  std::vector<std::string> arguments;
};

// One run into a fresh dovecot through the relay; its wall seconds, or a
// negative number when it failed or dovecot holds another count.
double runThroughRelay(const RelayBenchSetup& setup, const RelayVariant& variant,
                       std::string* failure) {
  testing::ScopedTempDir home;
  testing::DovecotOptions options;
  options.users = {{setup.account, setup.password}};
  options.masterUser = setup.admin;
  options.masterPassword = setup.masterPassword;
  const testing::Dovecot dovecot(home, options);
  if (!dovecot.problem().empty()) {
    throw std::runtime_error(dovecot.problem());
  }
  DelayRelay relay(dovecot.port(), kOneWayDelay);
  const std::string scratch = home / "client";
  fs::create_directories(scratch);
  std::vector<std::string> argv;
  if (variant.mbsync) {
    const std::string maildir = home / "maildir";
    fs::copy(setup.maildir, maildir, fs::copy_options::recursive);
    testing::writeFile(home / "mbsyncrc", setup.mbsyncConfig(relay.port(), 0, maildir));
    argv = {"/usr/bin/mbsync", "-q", "-c", home / "mbsyncrc", "push"};
  } else {
    argv = {setup.lodemig,
            "-path",
            setup.manifest->root,
            "-migrate",
            "-server",
            "127.0.0.1",
            "-port",
            std::to_string(relay.port()),
            "-password",
            setup.masterPassword,
            "-targetType",
            "imap",
            "-admin",
            setup.admin,
            "-primaryDomain",
            "bench.example",
            "-quiet"};
    argv.insert(argv.end(), variant.arguments.begin(), variant.arguments.end());
  }
  const MeasuredRun run =
      runMeasured(setup.launcher, argv, scratch, home / "client.stderr", kTimeoutSeconds);
  int status = 0;
  const std::string held = dovecot.doveadm(
      {"-f", "flow", "mailbox", "status", "-u", setup.account, "messages", "INBOX"}, &status);
  const std::string expected = "messages=" + std::to_string(setup.manifest->accounts[0].messages);
  if (!run.usage.succeeded() || status != 0 || held.find(expected) == std::string::npos) {
    *failure = variant.name + ": " + held;
    return -1;
  }
  return run.usage.wallSeconds;
}

}  // namespace

std::string multiAppendRelayRows(const RelayBenchSetup& setup, bool* verified) {
  const std::vector<RelayVariant> variants = {
      {"lodemig, -targetType imap defaults", false, {}},
      {"lodemig, -window 32 -multiAppend 1", false, {"-window", "32", "-multiAppend", "1"}},
      {"lodemig, -window 4 -multiAppend 32", false, {"-window", "4", "-multiAppend", "32"}},
      {"lodemig, -window 8 -multiAppend 16", false, {"-window", "8", "-multiAppend", "16"}},
      {"lodemig, -window 32 -multiAppend 32", false, {"-window", "32", "-multiAppend", "32"}},
      {"lodemig, -window 8 -multiAppend 64", false, {"-window", "8", "-multiAppend", "64"}},
      {"mbsync, unlimited pipelining", true, {}},
  };
  std::vector<std::vector<double>> walls(variants.size());
  std::string failures;
  for (int i = 0; i < setup.runs; ++i) {
    for (std::size_t v = 0; v < variants.size(); ++v) {
      std::cerr << "dovecot relay: " << variants[v].name << ", run " << i + 1 << "\n";
      std::string failure;
      const double wall = runThroughRelay(setup, variants[v], &failure);
      if (wall < 0) {
        failures += failure + "; ";
        *verified = false;
      } else {
        walls[v].push_back(wall);
      }
    }
  }
  const double count = static_cast<double>(setup.manifest->accounts[0].messages);
  const double theirs = walls.back().empty() ? 0 : summarize(walls.back()).median;
  Table table{{"variant", "runs", "wall s median", "msg/s", "vs mbsync msg/s"}};
  for (std::size_t v = 0; v < variants.size(); ++v) {
    if (walls[v].empty()) {
      table.addRow({variants[v].name, "0", "-", "-", "FAILED"});
      continue;
    }
    const double wall = summarize(walls[v]).median;
    const std::string versus =
        variants[v].mbsync || theirs <= 0 ? "-" : formatFixed(theirs / wall, 2) + "x";
    table.addRow({variants[v].name, std::to_string(walls[v].size()), formatFixed(wall, 3),
                  formatFixed(count / wall, 0), versus});
  }
  std::ostringstream text;
  text << "## Into dovecot through a relay of 5 ms each way, several messages per APPEND\n\n"
       << "One account of " << setup.manifest->accounts[0].messages << " messages ("
       << formatFixed(static_cast<double>(setup.manifest->bytes) / 1048576.0, 1)
       << " MB) into a fresh private dovecot (mail on tmpfs) per run, every byte through a "
          "relay that holds it 5 ms in each direction. Each lodemig row beside mbsync with "
          "unlimited pipelining of the same invocation.\n\n"
       << table.markdown() << "\n";
  if (!failures.empty()) {
    text << "Failed runs: " << failures << "\n";
  }
  return text.str();
}

}  // namespace lodemig::bench
