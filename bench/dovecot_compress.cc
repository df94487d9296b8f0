// The -compress rows of lodemig-bench-dovecot: a narrow link (20 Mbit/s,
// 5 ms each way) between lodemig and a private dovecot with its zlib
// plugins, each workload with and without compression.

#include "bench/dovecot_compress.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench/delay_relay.h"
#include "bench/measured_run.h"
#include "bench/prng.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kAccount[] = "user00000@bench.example";
constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr std::uint64_t kLinkBitsPerSecond = 20000000;
constexpr int kLinkDelayMs = 5;
constexpr int kTimeoutSeconds = 600;
constexpr int kAttachmentMessages = 40;
// -window for every row (BENCH_COMPRESS_WINDOW overrides it).
constexpr char kWindow[] = "32";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Workload {
  std::string name;
  StorePlan plan;
  double target;  // the least msgs/s ratio with compression
};

std::string window() {
  const char* given = std::getenv("BENCH_COMPRESS_WINDOW");
  return given != nullptr ? given : kWindow;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool isBase64Line(const std::string& text, std::size_t start, std::size_t end) {
  if (end - start != 76) {
    return false;
  }
  for (std::size_t i = start; i < end; ++i) {
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') {
      return false;
    }
  }
  return true;
}

// The generator draws attachment lines from a small pool, which deflate
// would find again and again; a real attachment's base64 is as random as
// its bytes. Every such line gets fresh characters, its length kept, so the
// manifest's offsets still hold.
void freshenAttachments(const std::string& mailboxFile) {
  std::string text = readWhole(mailboxFile);
  Prng prng(7);
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      break;
    }
    if (isBase64Line(text, start, end)) {
      for (std::size_t i = start; i < end; ++i) {
        text[i] = kBase64[prng.below(64)];
      }
    }
    start = end + 2;
  }
  std::ofstream(mailboxFile, std::ios::binary | std::ios::trunc) << text;
}

// doveadm's pager form of every message's text, in UID order, as dovecot
// must print it for the store's messages: "text:" and a line end, then the
// text as it is, each message right after the one before.
std::string expectedTexts(const GeneratedAccount& account) {
  const std::string content = readWhole(account.inboxPath);
  std::string all;
  for (const MessageSpan& span : account.spans) {
    all += "text:\n" + content.substr(span.offset, span.length);
  }
  return all;
}

// `text` around `at`, control characters as \xNN, for a difference's report.
std::string around(const std::string& text, std::size_t at) {
  std::string shown;
  for (std::size_t i = at > 8 ? at - 8 : 0; i < text.size() && i < at + 8; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    shown += byte < 0x20 ? std::string(hex) : std::string(1, text[i]);
  }
  return shown;
}

// "ok" when dovecot holds exactly the store's messages, else what differs.
std::string verify(const testing::Dovecot& dovecot, const std::string& expected) {
  int status = 0;
  const std::string held =
      dovecot.doveadm({"-f", "pager", "fetch", "-u", kAccount, "text", "all"}, &status);
  if (status != 0) {
    return "doveadm failed";
  }
  if (held == expected) {
    return "ok";
  }
  std::size_t at = 0;
  while (at < held.size() && at < expected.size() && held[at] == expected[at]) {
    ++at;
  }
  return "differs at byte " + std::to_string(at) + " of " + std::to_string(expected.size()) +
         ": \"" + around(held, at) + "\" for \"" + around(expected, at) + "\"";
}

// One run into a fresh dovecot through the link; wall seconds, or a
// negative count when the run or its check failed (*check says why).
double runOnce(const CompressRowsSetup& setup, const std::string& root, bool compress,
               const std::string& expected, std::string* check) {
  testing::ScopedTempDir home;
  testing::DovecotOptions options;
  options.users = {{kAccount, "secret"}};
  options.masterUser = kAdmin;
  options.masterPassword = kMasterPassword;
  options.compress = true;
  const testing::Dovecot dovecot(home, options);
  if (!dovecot.problem().empty()) {
    throw std::runtime_error(dovecot.problem());
  }
  const DelayRelay relay(dovecot.port(), std::chrono::milliseconds(kLinkDelayMs),
                         kLinkBitsPerSecond);
  std::vector<std::string> argv = {setup.lodemig,
                                   "-path",
                                   root,
                                   "-migrate",
                                   "-server",
                                   "127.0.0.1",
                                   "-port",
                                   std::to_string(relay.port()),
                                   "-password",
                                   kMasterPassword,
                                   "-targetType",
                                   "imap",
                                   "-admin",
                                   kAdmin,
                                   "-primaryDomain",
                                   "bench.example",
                                   "-quiet",
                                   "-window",
                                   window()};
  if (compress) {
    argv.push_back("-compress");
  }
  const std::string scratch = home / "client";
  fs::create_directories(scratch);
  const MeasuredRun run =
      runMeasured(setup.launcher, argv, scratch, home / "client.stderr", kTimeoutSeconds);
  if (!run.usage.succeeded()) {
    *check = "client failed: " + readWhole(home / "client.stderr").substr(0, 200);
    return -1;
  }
  // Asked for and not used would leave this line in the log.
  for (const auto& entry : fs::directory_iterator(scratch)) {
    if (compress &&
        readWhole(entry.path().string()).find("does not offer COMPRESS") != std::string::npos) {
      *check = "not compressed";
      return -1;
    }
  }
  *check = verify(dovecot, expected);
  return *check == "ok" ? run.usage.wallSeconds : -1;
}

std::vector<Workload> workloads(int messages) {
  Workload text{"text, ~2 KB each", {}, 2.0};
  text.plan.messagesPerAccount = messages;
  text.plan.sizes = SizeProfile::kSmall;
  Workload attachments{"1 MB base64 attachment each", {}, 1.2};
  attachments.plan.messagesPerAccount = kAttachmentMessages;
  attachments.plan.sizes = SizeProfile::kOneMebibyte;
  return {text, attachments};
}

}  // namespace

int runCompressRows(const CompressRowsSetup& setup) {
  const std::string directory = setup.work + "/compress";
  fs::remove_all(directory);
  Table table{{"workload", "messages", "MB", "plain msg/s", "-compress msg/s", "ratio", "check"}};
  bool verified = true;
  int index = 0;
  for (const Workload& workload : workloads(setup.messages)) {
    const std::string root = directory + "/store" + std::to_string(++index);
    const StoreManifest manifest = generateStore(workload.plan, root);
    const GeneratedAccount& account = manifest.accounts.front();
    freshenAttachments(account.inboxPath);
    const std::string expected = expectedTexts(account);
    std::vector<double> walls[2];
    std::string check = "ok";
    for (int run = 0; run < setup.runs; ++run) {
      for (int compress = 0; compress < 2; ++compress) {
        std::cerr << "dovecot compress: " << workload.name << (compress ? ", -compress" : "")
                  << ", run " << run + 1 << "\n";
        std::string outcome;
        const double wall = runOnce(setup, root, compress == 1, expected, &outcome);
        if (wall < 0) {
          check = "FAILED: " + outcome;
          verified = false;
        } else {
          walls[compress].push_back(wall);
        }
      }
    }
    const double count = static_cast<double>(account.messages);
    const auto rate = [count](const std::vector<double>& wall) {
      return wall.empty() ? 0.0 : count / summarize(wall).median;
    };
    const double plain = rate(walls[0]);
    const double compressed = rate(walls[1]);
    const double ratio = plain > 0 ? compressed / plain : 0;
    table.addRow({workload.name, std::to_string(account.messages),
                  formatFixed(static_cast<double>(manifest.bytes) / 1048576.0, 1),
                  formatFixed(plain, 0), formatFixed(compressed, 0),
                  formatFixed(ratio, 2) + "x (>= " + formatFixed(workload.target, 1) + " " +
                      (ratio >= workload.target ? "ok" : "MISS") + ")",
                  check});
  }
  std::ostringstream text;
  text << "## -compress into dovecot over a narrow link\n\n"
       << "Commit " << setup.commit << ". lodemig -window " << window()
       << " into a fresh private dovecot "
       << "(imap_zlib, mail on tmpfs) per run, through a relay of " << kLinkBitsPerSecond / 1000000
       << " Mbit/s and " << kLinkDelayMs << " ms each way; medians of " << setup.runs
       << " runs. Every message compared byte for byte with doveadm afterwards.\n\n"
       << table.markdown() << "\n";
  std::cout << text.str();
  if (!setup.results.empty()) {
    std::ofstream(setup.results, std::ios::app) << "\n" << text.str();
  }
  return verified ? 0 : 1;
}

}  // namespace lodemig::bench
