#include "bench/dovecot_accounts.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench/delay_relay.h"
#include "bench/measured_run.h"
#include "bench/report.h"
#include "bench/store_generator.h"
#include "tests/dovecot.h"
#include "tests/temp_dir.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kDomain[] = "bench.example";
constexpr char kPassword[] = "secret";
constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kMbsync[] = "/usr/bin/mbsync";
constexpr int kTimeoutSeconds = 900;
constexpr auto kDelay = std::chrono::milliseconds(5);

struct Variant {
  std::string name;
  bool mbsync = false;
  int window = 0;  // lodemig's -window; 0 leaves the option out
};

struct Row {
  Variant variant;
  std::vector<double> wall;
  double turns = 0;         // per account, of the last run
  double beforeAppend = 0;  // per account, of the last run
  std::string check = "ok";
};

std::string accountName(const GeneratedAccount& account) {
  return account.entryName.substr(0, account.entryName.find('.')) + "@" + kDomain;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One Maildir per account, one file per message of its mailbox file, named
// as mbsync's Maildir store expects ("<name>:2,S").
void writeMaildirs(const StoreManifest& manifest, const std::string& root) {
  for (const GeneratedAccount& account : manifest.accounts) {
    const std::string inbox = root + "/" + accountName(account) + "/INBOX";
    for (const char* sub : {"cur", "new", "tmp"}) {
      fs::create_directories(inbox + "/" + sub);
    }
    const std::string content = readWhole(account.inboxPath);
    int number = 0;
    for (const MessageSpan& span : account.spans) {
      std::ofstream out(inbox + "/cur/" + std::to_string(++number) + ".bench:2,S",
                        std::ios::binary);
      out.write(content.data() + span.offset, static_cast<std::streamsize>(span.length));
    }
  }
}

// The configuration an administrator would write per account: LOGIN as the
// master user on the account's behalf, mbsync's own pipelining.
std::string mbsyncConfig(int port, const std::string& account, const std::string& maildir) {
  return "IMAPAccount target\nHost 127.0.0.1\nPort " + std::to_string(port) + "\nUser " + account +
         "*" + kAdmin + "\nPass " + kMasterPassword +
         "\nSSLType None\nAuthMechs LOGIN\n\nIMAPStore far\nAccount target\n\n"
         "MaildirStore near\nPath " +
         maildir + "/\nInbox " + maildir +
         "/INBOX\nSubFolders Verbatim\n\nChannel push\nFar :far:\nNear :near:\n"
         "Patterns INBOX\nSync Push\nCreate None\nExpunge None\nCopyArrivalDate yes\n"
         "SyncState *\n";
}

// The accounts whose INBOX holds `expected` messages, as doveadm counts them.
int accountsHolding(const testing::Dovecot& dovecot, int expected) {
  int status = 0;
  const std::string out =
      dovecot.doveadm({"-f", "flow", "mailbox", "status", "-A", "messages", "INBOX"}, &status);
  const std::string wanted = "messages=" + std::to_string(expected);
  int count = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(wanted);
    count += at != std::string::npos && at + wanted.size() == line.size() ? 1 : 0;
  }
  return status == 0 ? count : -1;
}

// The client's command line for `variant` against `port`; for mbsync, a
// shell loop over one configuration per account written into `home`.
std::vector<std::string> clientArgv(const AccountRowsOptions& options, const Variant& variant,
                                    const StoreManifest& manifest, const std::string& maildirs,
                                    const std::string& home, int port) {
  if (!variant.mbsync) {
    std::vector<std::string> argv = {
        options.lodemig, "-path",         manifest.root,    "-migrate",
        "-server",       "127.0.0.1",     "-port",          std::to_string(port),
        "-password",     kMasterPassword, "-targetType",    "imap",
        "-admin",        kAdmin,          "-primaryDomain", kDomain,
        "-quiet"};
    if (variant.window > 0) {
      argv.insert(argv.end(), {"-window", std::to_string(variant.window)});
    }
    return argv;
  }
  const fs::path configs = fs::path(home) / "mbsyncrc";
  fs::create_directories(configs);
  for (const GeneratedAccount& account : manifest.accounts) {
    const std::string name = accountName(account);
    testing::writeFile((configs / name).string(), mbsyncConfig(port, name, maildirs + "/" + name));
  }
  return {"/bin/sh", "-c",
          std::string("for c in '") + configs.string() + "'/*; do " + kMbsync +
              " -q -c \"$c\" push || exit 1; done"};
}

// One run into a fresh dovecot through a fresh relay: the wall time, and
// into `row` the relay's counts and what dovecot holds.
double runOnce(const AccountRowsOptions& options, const StoreManifest& manifest,
               const std::string& maildirSource, Row& row) {
  testing::ScopedTempDir home;
  testing::DovecotOptions setup;
  setup.users.clear();
  for (const GeneratedAccount& account : manifest.accounts) {
    setup.users.emplace_back(accountName(account), kPassword);
  }
  setup.masterUser = kAdmin;
  setup.masterPassword = kMasterPassword;
  const testing::Dovecot dovecot(home, setup);
  if (!dovecot.problem().empty()) {
    throw std::runtime_error(dovecot.problem());
  }
  const std::string maildirs = home / "maildirs";
  if (row.variant.mbsync) {
    fs::copy(maildirSource, maildirs, fs::copy_options::recursive);
  }
  const std::string scratch = home / "client";
  fs::create_directories(scratch);
  DelayRelay::Turns turns;
  MeasuredRun run;
  {
    DelayRelay relay(dovecot.port(), kDelay);
    run =
        runMeasured(options.launcher,
                    clientArgv(options, row.variant, manifest, maildirs, home.path(), relay.port()),
                    scratch, home / "client.stderr", kTimeoutSeconds);
    turns = relay.turns();
  }
  const double accounts = static_cast<double>(manifest.accounts.size());
  row.turns = static_cast<double>(turns.total) / accounts;
  row.beforeAppend = static_cast<double>(turns.beforeAppend) / accounts;
  const int holding = accountsHolding(dovecot, options.messages);
  if (!run.usage.succeeded() || holding != options.accounts) {
    row.check =
        "FAILED: " + std::to_string(holding) + " accounts hold their messages" +
        (run.usage.succeeded()
             ? std::string()
             : " (client failed: " + readWhole(home / "client.stderr").substr(0, 200) + ")");
  }
  return run.usage.wallSeconds;
}

std::string describe(const AccountRowsOptions& options, const StoreManifest& manifest,
                     const Table& table) {
  std::ostringstream text;
  text << "## Many small accounts into dovecot, next to a loop of mbsync\n\n"
       << "Commit " << options.commit << ". " << options.accounts << " accounts of "
       << options.messages << " messages ("
       << formatFixed(static_cast<double>(manifest.bytes) / 1048576.0, 1)
       << " MB in all), one account at a time, into a fresh private dovecot (mail on tmpfs) per "
          "run through a relay that holds every chunk 5 ms each way: lodemig (-targetType imap, "
          "master user) from the store, and a shell loop of one mbsync per account (LOGIN as the "
          "master user) from Maildirs of the same messages. Round trips are counted by the relay: "
          "the client's writes that follow the server's bytes, per account (the greeting "
          "included), in all and up to the first APPEND.\n\n"
       << table.markdown() << "\n";
  return text.str();
}

}  // namespace

int runAccountRows(const AccountRowsOptions& options) {
  const std::string directory = options.work + "/dovecot-accounts";
  fs::remove_all(directory);
  fs::create_directories(directory);
  StorePlan plan;
  plan.accounts = options.accounts;
  plan.messagesPerAccount = options.messages;
  const StoreManifest manifest = generateStore(plan, directory + "/store");
  writeMaildirs(manifest, directory + "/maildirs");

  std::vector<Row> rows;
  for (const Variant& variant : std::vector<Variant>{{"lodemig, defaults", false, 0},
                                                     {"lodemig, window 1", false, 1},
                                                     {"lodemig, window 16", false, 16},
                                                     {"mbsync, one per account", true, 1}}) {
    Row& row = rows.emplace_back();
    row.variant = variant;
    for (int i = 0; i < options.runs; ++i) {
      std::cerr << "dovecot accounts: " << variant.name << ", run " << i + 1 << "\n";
      row.wall.push_back(runOnce(options, manifest, directory + "/maildirs", row));
    }
  }
  // Each lodemig row against the loop: at least 1.2 times its accounts per second.
  Table table{{"variant", "runs", "wall s median", "accounts/s", "round trips/account",
               "before 1st APPEND", "vs mbsync loop", "check"}};
  const double accounts = static_cast<double>(options.accounts);
  const double theirs = summarize(rows.back().wall).median;
  bool verified = true;
  for (const Row& row : rows) {
    const double wall = summarize(row.wall).median;
    std::string versus = "-";
    if (!row.variant.mbsync) {
      versus = formatFixed(theirs / wall, 2) + "x accounts/s (>= 1.2 " +
               (theirs >= 1.2 * wall ? "ok" : "MISS") + ")";
    }
    table.addRow({row.variant.name, std::to_string(row.wall.size()), formatFixed(wall, 3),
                  formatFixed(accounts / wall, 1), formatFixed(row.turns, 2),
                  formatFixed(row.beforeAppend, 2), versus, row.check});
    verified = verified && row.check == "ok";
  }
  const std::string text = describe(options, manifest, table);
  std::cout << text;
  if (!options.results.empty()) {
    std::ofstream out(options.results, std::ios::app);
    out << "\n" << text;
  }
  return verified ? 0 : 1;
}

}  // namespace lodemig::bench
