#include "bench/window_dovecot.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/delay_relay.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "bench/workload.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kAccount[] = "user00000@bench.example";
constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr int kTimeoutSeconds = 300;

// One run into a fresh dovecot, through a relay when `relayed`; its wall
// seconds, or -1 when dovecot does not hold every message afterwards.
double runOnce(const DovecotWindowSetup& setup, const StoreManifest& manifest, int window,
               bool relayed) {
  testing::ScopedTempDir home;
  testing::DovecotOptions options;
  options.users = {{kAccount, "secret"}};
  options.masterUser = kAdmin;
  options.masterPassword = kMasterPassword;
  const testing::Dovecot dovecot(home, options);
  if (!dovecot.problem().empty()) {
    throw std::runtime_error(dovecot.problem());
  }
  std::unique_ptr<DelayRelay> relay;
  int port = dovecot.port();
  if (relayed) {
    relay = std::make_unique<DelayRelay>(port, std::chrono::milliseconds(kRelayDelayMs));
    port = relay->port();
  }
  const std::string scratch = home / "client";
  fs::create_directories(scratch);
  const MeasuredRun run = runMeasured(
      setup.launcher,
      {setup.lodemig, "-path", manifest.root, "-migrate", "-server", "127.0.0.1", "-port",
       std::to_string(port), "-password", kMasterPassword, "-targetType", "imap", "-admin", kAdmin,
       "-primaryDomain", "bench.example", "-quiet", "-window", std::to_string(window)},
      scratch, home / "client.stderr", kTimeoutSeconds);
  relay.reset();
  int status = 0;
  const std::string held = dovecot.doveadm(
      {"-f", "flow", "mailbox", "status", "-u", kAccount, "messages", "INBOX"}, &status);
  const std::string expected = "messages=" + std::to_string(manifest.messages);
  if (!run.usage.succeeded() || status != 0 || held.find(expected) == std::string::npos) {
    return -1;
  }
  return run.usage.wallSeconds;
}

}  // namespace

int runDovecotWindows(const DovecotWindowSetup& setup) {
  const std::string directory = setup.work + "/dovecot-windows";
  fs::remove_all(directory);
  StorePlan plan;
  plan.messagesPerAccount = setup.messages;
  const StoreManifest manifest = generateStore(plan, directory + "/store");
  Table table{{"path", "window", "runs", "wall s median", "msg/s", "vs window 1", "check"}};
  bool verified = true;
  for (const bool relayed : {false, true}) {
    double base = 0;
    for (const int window : {1, 4, 8, 16, 32, 64}) {
      std::vector<double> walls;
      std::string check = "ok";
      for (int i = 0; i < setup.runs; ++i) {
        std::cerr << "dovecot windows: " << (relayed ? "relayed" : "loopback") << ", window "
                  << window << ", run " << i + 1 << "\n";
        const double wall = runOnce(setup, manifest, window, relayed);
        if (wall < 0) {
          check = "FAILED: dovecot does not hold every message";
        } else {
          walls.push_back(wall);
        }
      }
      verified = verified && check == "ok";
      const double median = summarize(walls).median;
      base = window == 1 ? median : base;
      table.addRow({relayed ? "relay 5 ms each way" : "loopback", std::to_string(window),
                    std::to_string(walls.size()), formatFixed(median, 3),
                    formatFixed(static_cast<double>(manifest.messages) / median, 0),
                    window == 1 ? "-" : formatFixed(base / median, 2) + "x msg/s", check});
    }
  }
  std::cout << "## Windows into dovecot (-targetType imap), " << manifest.messages
            << " messages\n\n"
            << table.markdown() << "\n";
  fs::remove_all(directory);
  return verified ? 0 : 1;
}

}  // namespace lodemig::bench
