// lodemig-fault-campaign: random trials of the faults a migration meets
// (kill -9 at any instant, a refusal among appends in flight and a cut, a
// stall past -timeout, mail others deliver, two runs on one journal, a long
// journal record, -force into a filled account), each against the
// stand-in target, each checked against a clean run of the same store.
// Prints per scenario: trials, messages lost and doubled, messages with
// other flags or dates, missing password lines, others' messages touched,
// and runs that ended with another exit status than they should.
//
//   lodemig-fault-campaign LODEMIG LODEMIG_TARGET [TRIALS [SEED]]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/holdings.h"
#include "tests/process.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

std::string lodemigBinary;
std::string targetBinary;

struct Totals {
  int trials = 0;
  int lost = 0;
  int doubled = 0;
  int wrongStamps = 0;
  int missingPasswords = 0;
  int foreignTouched = 0;
  int badExits = 0;
};

int pick(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

// One trial: its own store, target and working directory.
class Trial {
 public:
  Trial() : store_(dir_ / "store"), builder_(store_) {}

  // An account of example.com: INBOX and Archive; without `password` the
  // tool generates one.
  void account(const std::string& name, int inbox, int archive, const std::string& password) {
    builder_
        .account("", name, AccountDirectory)
        // An empty settings file: no password, so the tool generates one.
        .settings(password.empty() ? "{ }" : "{ Password = \"" + password + "\"; }")
        .info("{ INBOX = { Messages = #" + std::to_string(inbox) + "; }; Archive = { Messages = #" +
              std::to_string(archive) + "; }; }");
    builder_.mailboxFile("", name, "INBOX", StoreBuilder::variedMessages(name, inbox));
    builder_.mailboxFile("", name, "Archive", StoreBuilder::variedMessages(name + "-a", archive));
    accounts_.push_back(name + "@example.com");
  }

  void startServer(std::vector<std::string> arguments) {
    arrived_ = dir_ / ("arrived" + std::to_string(++servers_));
    arguments.insert(arguments.end(), {"--store", arrived_});
    server_.reset();
    server_ = std::make_unique<TargetServer>(targetBinary, arguments);
  }

  // Another server on the same store directory, as a restarted one.
  void restartServer(std::vector<std::string> arguments) {
    server_.reset();
    arguments.insert(arguments.end(), {"--store", arrived_, "--reopen"});
    server_ = std::make_unique<TargetServer>(targetBinary, arguments);
  }

  ProcessResult run(std::vector<std::string> arguments, ProcessOptions options = {}) {
    std::vector<std::string> all = {"-path",     store_,           "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com",       "-quiet"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    options.workingDirectory = options.workingDirectory.empty() ? work_ : options.workingDirectory;
    makeDirectories(options.workingDirectory);
    return runProcess(lodemigBinary, all, options);
  }

  // Runs again (at most five times) until a run succeeds; its exit status.
  int runUntilDone(const std::vector<std::string>& arguments) {
    int status = -1;
    for (int round = 0; round < 5 && status != 0; ++round) {
      status = run(arguments).exitStatus;
    }
    return status;
  }

  // A clean run of the store into a server of its own: what the trial's
  // target must hold in the end. False when it failed.
  bool takeReference() {
    startServer({});
    ProcessOptions options;
    options.workingDirectory = dir_ / "reference";
    const ProcessResult clean = run({}, options);
    if (clean.exitStatus != 0) {
      std::fprintf(stderr, "the clean run failed (%d): %s%s\n", clean.exitStatus, clean.out.c_str(),
                   clean.err.c_str());
      return false;
    }
    for (const std::string& address : accounts_) {
      reference_[address] = migrated(heldMessages(arrived_, address));
    }
    return true;
  }

  // Message `subject` of `address` is not to arrive (the target refused it).
  void exclude(const std::string& address, const std::string& subject) {
    std::vector<HeldMessage>& want = reference_[address];
    for (auto m = want.begin(); m != want.end(); ++m) {
      if (m->content.find("Subject: " + subject + "\r\n") != std::string::npos) {
        want.erase(m);
        return;
      }
    }
  }

  std::vector<HeldMessage> delivered(const std::string& address) const {
    return lodemig::testing::delivered(heldMessages(arrived_, address));
  }
  bool holds(const std::string& address) const {
    return std::filesystem::exists(arrived_ + "/accounts/" + address);
  }
  std::size_t migratedCount(const std::string& address) const {
    return migrated(heldMessages(arrived_, address)).size();
  }

  // Adds what the target holds against the reference to `totals`;
  // `foreign` is how many messages of others each account should hold.
  void count(Totals& totals, const std::map<std::string, std::size_t>& foreign = {}) const {
    std::string passwords;
    for (const std::string& file : lodemigFiles(work_, "pass")) {
      passwords += readFile(file);
    }
    for (const std::string& address : accounts_) {
      const std::vector<HeldMessage> held = heldMessages(arrived_, address);
      const Tally found = tally(reference_.at(address), migrated(held));
      totals.lost += found.lost;
      totals.doubled += found.doubled;
      totals.wrongStamps += found.wrongStamps;
      const auto expected = foreign.find(address);
      if (lodemig::testing::delivered(held).size() !=
          (expected == foreign.end() ? 0 : expected->second)) {
        ++totals.foreignTouched;
      }
      const std::string account = readFile(arrived_ + "/accounts/" + address + "/account");
      const std::size_t start = account.find("password: ");
      const std::string password =
          start == std::string::npos
              ? "<none>"
              : account.substr(start + 10, account.find('\n', start) - start - 10);
      // A generated password's line ends in " (generated)".
      if (passwords.find("<" + address + ">, password: \"" + password + "\"") ==
          std::string::npos) {
        ++totals.missingPasswords;
      }
    }
  }

  const std::string& journal() const { return journal_; }
  const std::string& work() const { return work_; }
  std::string path(const std::string& relative) const { return dir_ / relative; }

 private:
  ScopedTempDir dir_;
  const std::string store_;
  const std::string work_ = dir_ / "work";
  const std::string journal_ = dir_ / "run.journal";
  StoreBuilder builder_;
  std::vector<std::string> accounts_;
  std::map<std::string, std::vector<HeldMessage>> reference_;
  std::unique_ptr<TargetServer> server_;
  std::string arrived_;
  int servers_ = 0;
};

constexpr char kAnn[] = "ann@example.com";

// Four accounts, two of them with generated passwords.
void fourAccounts(Trial& trial) {
  trial.account("ann", 25, 8, "pwann");
  trial.account("bob", 25, 8, "");
  trial.account("cid", 25, 8, "pwcid");
  trial.account("dee", 25, 8, "");
}

// Killed at a random instant, then resumed with the journal or, without
// one, run again with -force (an admin's re-run) until it succeeds.
void killThenFinish(Trial& trial, std::mt19937& random, Totals& totals,
                    const std::vector<std::string>& speed, bool withJournal) {
  fourAccounts(trial);
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  trial.startServer({"--delay-ms", "1"});
  std::vector<std::string> arguments = speed;
  if (withJournal) {
    arguments.insert(arguments.end(), {"-journal", trial.journal()});
  }
  ProcessOptions killed;
  killed.signalAfterMilliseconds = pick(random, 5, 600);
  trial.run(arguments, killed);
  if (!withJournal) {
    arguments.push_back("-force");
  }
  totals.badExits += trial.runUntilDone(arguments) != 0 ? 1 : 0;
  trial.count(totals);
}

void refusalThenCut(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 30, 1, "pwann");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  const int refused = pick(random, 1, 30);
  trial.startServer({"--refuse-then-cut", std::to_string(refused)});
  // A refusal read before the cut stays refused (exit 1, the message not
  // there); one the cut kept from the client is sent again, and this server
  // takes it (exit 0, every message there). The target must say the same.
  const int status = trial.run({"-window", "8", "-retry", "3"}).exitStatus;
  if (status == 1) {
    trial.exclude(kAnn, "ann " + std::to_string(refused));
  }
  totals.badExits += status != 0 && status != 1 ? 1 : 0;
  trial.count(totals);
}

void foreignBetweenRuns(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 30, 6, "pwann");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  trial.startServer({"--drop-append", std::to_string(pick(random, 2, 35))});
  trial.run({"-journal", trial.journal()});
  const int foreign = pick(random, 1, 5);
  trial.restartServer({"--deliver", "ann@example.com:INBOX:" + std::to_string(foreign)});
  totals.badExits += trial.runUntilDone({"-journal", trial.journal(), "-retarget"}) != 0 ? 1 : 0;
  trial.count(totals, {{kAnn, foreign}});
}

void foreignDuringReconnection(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 30, 6, "pwann");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  const std::string at = std::to_string(pick(random, 2, 35));
  const int foreign = pick(random, 1, 5);
  trial.startServer({"--drop-append", at, "--deliver",
                     "ann@example.com:INBOX:" + std::to_string(foreign) + ":" + at});
  totals.badExits += trial.run({"-retry", "3", "-window", "4"}).exitStatus != 0 ? 1 : 0;
  trial.count(totals, {{kAnn, foreign}});
}

void stallPastTimeout(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 40, 4, "pwann");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  // Half the trials have the server take the dead connection's appends only
  // after the client has sent them again: their copies are to be removed.
  std::vector<std::string> server = {"--stall-at", std::to_string(pick(random, 1, 44))};
  if (pick(random, 0, 1) == 1) {
    server.push_back("--store-late");
  }
  trial.startServer(server);
  totals.badExits +=
      trial.run({"-window", "8", "-timeout", "1", "-retry", "3"}).exitStatus != 0 ? 1 : 0;
  trial.count(totals);
}

// The first run hangs on a stalled append holding the journal; a second
// run on it must be refused; the first is killed and the journal resumed.
void journalInUse(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 20, 4, "pwann");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  const int stall = pick(random, 2, 24);
  trial.startServer({"--stall-at", std::to_string(stall)});
  std::atomic<bool> release{false};
  std::thread holder([&] {
    ProcessOptions options;
    options.timeoutSeconds = 60;
    options.signalWhen = [&release] { return release.load(); };
    trial.run({"-journal", trial.journal(), "-timeout", "50"}, options);
  });
  // Bounded: 20 s at most.
  for (int i = 0; i < 2000 && trial.migratedCount(kAnn) + 1 < static_cast<std::size_t>(stall);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ProcessOptions elsewhere;
  elsewhere.workingDirectory = trial.path("second");
  const int second = trial.run({"-journal", trial.journal()}, elsewhere).exitStatus;
  release = true;
  holder.join();
  totals.badExits += second != 2 ? 1 : 0;
  totals.badExits += trial.runUntilDone({"-journal", trial.journal()}) != 0 ? 1 : 0;
  trial.count(totals);
}

void longPassword(Trial& trial, std::mt19937& random, Totals& totals) {
  std::string password;
  for (int i = 0; i < 70000; ++i) {
    password += static_cast<char>('a' + i * 7 % 26);
  }
  trial.account("al", 6, 2, password);
  trial.account("bo", 6, 2, "");
  trial.account("cy", 6, 2, "pwcy");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  // al first and alone, then the rest cut somewhere in their 16 appends.
  trial.startServer({"--drop-append", std::to_string(8 + pick(random, 1, 16))});
  totals.badExits +=
      trial.run({"-journal", trial.journal(), "-domain", "example.com", "-user", "al"})
                  .exitStatus != 0
          ? 1
          : 0;
  trial.run({"-journal", trial.journal()});
  totals.badExits += trial.runUntilDone({"-journal", trial.journal()}) != 0 ? 1 : 0;
  trial.count(totals);
}

// The account holds its mail already (all of it, or what an interrupted
// run left) and others' mail; -force goes into it.
void forceIntoFilled(Trial& trial, std::mt19937& random, Totals& totals) {
  trial.account("ann", 20, 6, "pwann");
  trial.account("bob", 20, 6, "pwbob");
  if (!trial.takeReference()) {
    ++totals.badExits;
    return;
  }
  const int cut = pick(random, 0, 60);
  trial.startServer(cut == 0 ? std::vector<std::string>{}
                             : std::vector<std::string>{"--drop-append", std::to_string(cut)});
  trial.run({});
  // Only into an account the cut run created.
  const int foreign = trial.holds(kAnn) ? pick(random, 1, 3) : 0;
  trial.restartServer(foreign == 0
                          ? std::vector<std::string>{}
                          : std::vector<std::string>{
                                "--deliver", "ann@example.com:INBOX:" + std::to_string(foreign)});
  totals.badExits += trial.runUntilDone({"-force", "-window", "8"}) != 0 ? 1 : 0;
  trial.count(totals, {{kAnn, foreign}});
}

struct Scenario {
  const char* name;
  std::function<void(Trial&, std::mt19937&, Totals&)> trial;
};

int campaign(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LODEMIG LODEMIG_TARGET [TRIALS [SEED]]\n", argv[0]);
    return 2;
  }
  // The runs change their working directory.
  lodemigBinary = std::filesystem::absolute(argv[1]).string();
  targetBinary = std::filesystem::absolute(argv[2]).string();
  const int trials = argc > 3 ? std::atoi(argv[3]) : 20;
  const unsigned seed =
      argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)) : std::random_device{}();
  std::printf("seed %u, %d trials per scenario\n", seed, trials);
  const std::vector<std::string> one = {"-window", "1"};
  const std::vector<std::string> many = {"-window", "32", "-jobs", "4", "-retry", "3"};
  const Scenario scenarios[] = {
      {"kill -9, -window 1, resume with the journal",
       [&](Trial& t, std::mt19937& r, Totals& s) { killThenFinish(t, r, s, one, true); }},
      {"kill -9, -window 32 -jobs 4 -retry 3, resume with the journal",
       [&](Trial& t, std::mt19937& r, Totals& s) { killThenFinish(t, r, s, many, true); }},
      {"kill -9, -window 1, re-run without a journal (-force)",
       [&](Trial& t, std::mt19937& r, Totals& s) { killThenFinish(t, r, s, one, false); }},
      {"kill -9, -window 32 -jobs 4 -retry 3, re-run without a journal (-force)",
       [&](Trial& t, std::mt19937& r, Totals& s) { killThenFinish(t, r, s, many, false); }},
      {"refusal among appends in flight, then a cut (-window 8 -retry 3)", refusalThenCut},
      {"others' mail between runs, resume with the journal", foreignBetweenRuns},
      {"others' mail during a reconnection (-retry 3)", foreignDuringReconnection},
      {"stall past -timeout, appends stored at once or late (-window 8 -retry 3)",
       stallPastTimeout},
      {"second run on a journal in use, then resume", journalInUse},
      {"70,000-character password through the journal", longPassword},
      {"-force into a filled account with others' mail", forceIntoFilled},
  };
  std::mt19937 random(seed);
  int failing = 0;
  std::printf("%-72s %6s %5s %7s %6s %9s %7s %5s\n", "scenario", "trials", "lost", "doubled",
              "stamps", "passwords", "foreign", "exits");
  for (const Scenario& scenario : scenarios) {
    Totals totals;
    for (int i = 0; i < trials; ++i) {
      Trial trial;
      scenario.trial(trial, random, totals);
      ++totals.trials;
    }
    std::printf("%-72s %6d %5d %7d %6d %9d %7d %5d\n", scenario.name, totals.trials, totals.lost,
                totals.doubled, totals.wrongStamps, totals.missingPasswords, totals.foreignTouched,
                totals.badExits);
    std::fflush(stdout);
    failing += totals.lost + totals.doubled + totals.wrongStamps + totals.missingPasswords +
                           totals.foreignTouched + totals.badExits >
                       0
                   ? 1
                   : 0;
  }
  std::printf("scenarios with faults: %d of %zu\n", failing, std::size(scenarios));
  return failing == 0 ? 0 : 1;
}

}  // namespace
}  // namespace lodemig::testing

int main(int argc, char** argv) {
  return lodemig::testing::campaign(argc, argv);
}
