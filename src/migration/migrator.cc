#include "migration/migrator.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "migration/account_migration.h"
#include "migration/dav_audit.h"
#include "migration/shard.h"
#include "migration/target_names.h"
#include "migration/target_result.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"
#include "utils/terminal.h"

namespace lodemig {
namespace {

// Walks the entries `next(first)` finds until it finds none, visiting each.
// A store error skips the entry it came from: the reader has consumed the
// failing entry, so the walk goes on with the next one after `failed()`.
template <typename Next, typename Visit, typename Failed>
void walkEntries(Next next, Visit visit, Failed failed) {
  bool first = true;
  for (;;) {
    try {
      const bool found = next(first);
      first = false;
      if (!found) {
        return;
      }
      visit();
    } catch (const QLStoreException&) {
      first = false;
      failed();
    }
  }
}

// An account's messages and bytes as its info file gives them; -1 for a figure
// it cannot give.
struct AccountFigures {
  std::int64_t messages = -1;
  std::int64_t bytes = -1;
};

// A count from an info file: decimal digits alone.
bool infoCount(const std::string& text, std::int64_t& count) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  count = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

// The account's storage figure, else the sum of its folders' sizes; the
// messages its folders list. Nothing but the info file is read.
AccountFigures accountFigures(const Mailbox& mailbox) {
  std::vector<Folder> folders;
  try {
    mailbox.readFolders(folders);
  } catch (const QLStoreException&) {
    return AccountFigures();
  }
  AccountFigures figures;
  figures.messages = 0;
  std::int64_t sizes = 0;
  for (const Folder& folder : folders) {
    figures.messages += folder.messageCount() > 0 ? folder.messageCount() : 0;
    std::int64_t size = 0;
    if (sizes >= 0 && infoCount(folder.size(), size)) {
      sizes += size;
    } else {
      sizes = -1;
    }
  }
  std::int64_t used = 0;
  figures.bytes = infoCount(mailbox.storageUsed(), used) ? used : sizes;
  return figures;
}

}  // namespace

Migrator::Migrator(const MigrationSettings& settings, const ConnectionSettings& connection,
                   Reporter& reporter)
    : settings_(settings),
      connection_(connection),
      reporter_(reporter),
      policy_(targetServerWord(connection)),
      passwords_(reporter),
      audit_(settings, connection, gateway_, reporter, auditReport_) {}

void Migrator::migrateAll() {
  // The engine tells the progress line and the run's own watcher alike.
  RunWatchers watchers;
  std::unique_ptr<AccountPool> pool;
  struct HideProgress {
    Reporter& reporter;
    ~HideProgress() { reporter.hideProgress(); }
  } hide{reporter_};
  if (settings_.migrate) {
    // For whoever watches the terminal: never into a file or a pipe.
    const bool progress = !settings_.quiet && ostrel::utils::isTerminal(STDOUT_FILENO);
    if (progress) {
      watchers.add(progress_);
    }
    if (watcher_ != nullptr) {
      watchers.add(*watcher_);
    }
    if (!watchers.empty()) {
      watchers.runPlanned(planRun());
    }
    pool = std::make_unique<AccountPool>(
        settings_.jobs,
        AccountPool::Shared{settings_, connection_, passwords_, journal_, report_, policy_,
                            reporter_, gateway_, watchers.empty() ? nullptr : &watchers});
    if (progress) {
      reporter_.showProgress(progress_);
    }
  }
  pool_ = pool.get();
  // Forgotten before the pool goes, however the walk ends.
  struct Forget {
    Migrator& migrator;
    ~Forget() { migrator.pool_ = nullptr; }
  } forget{*this};
  Reader reader(&reporter_.logStream());
  reader.setStore(settings_.storePath, settings_.primaryDomain);
  Domain domain(&reporter_.logStream());
  walkEntries(
      [&](bool first) {
        return first ? reader.firstDomain(domain, settings_.domainMask)
                     : reader.nextDomain(domain, settings_.domainMask);
      },
      [&] { migrateDomain(domain); },
      [&] {
        reporter_.print("Error: default domain not found, wrong path or corrupted Quillon store\n");
        succeeded_ = false;
      });
  reportUnlisted();
  warnIfNothingDone();
}

void Migrator::warnIfNothingDone() {
  const char* what = settings_.check ? "checked" : settings_.verify ? "verified" : "migrated";
  if (!settings_.migrate && !settings_.check && !settings_.verify) {
    return;  // a print run shows what it found
  }
  if (accountsSeen_ == 0 && succeeded_) {
    const std::string shard = settings_.shards > 0
                                  ? " in shard " + std::to_string(settings_.shard) + " of " +
                                        std::to_string(settings_.shards)
                                  : std::string();
    reporter_.print("Warning: no account matches the domain mask \"" + settings_.domainMask +
                    "\" and the user mask \"" + settings_.userMask + "\"" + shard +
                    ": nothing was " + what + "\n");
  } else if (settings_.migrate && policy_.settled() > 0 &&
             policy_.declined() == policy_.settled()) {
    reporter_.print(
        "Warning: every account exists on Torvane already and was skipped: nothing was "
        "migrated, -force migrates into them\n");
  }
}

void Migrator::migrateDomain(Domain& domain) {
  if (settings_.check && !checkStarted_) {
    audit_.startCheck();
    checkStarted_ = true;
  } else if (settings_.migrate || settings_.verify) {
    testConnection();
  }
  testDavConnection();
  reporter_.print("\ndomain (");
  reporter_.print(domain.name());
  reporter_.print(")\n");
  // A check is where a tired admin sees the accounts land in the wrong domain.
  if (settings_.check && !settings_.primaryDomainGiven &&
      domain.path() == settings_.storePath + "/Accounts") {
    reporter_.print("Warning: the accounts of \"" + domain.path() + "\" go to the domain " +
                    domain.name() + ", this machine's name: -primaryDomain names their domain\n");
  }

  Mailbox mailbox(&reporter_.logStream());
  if (pool_ != nullptr) {
    walkPooled(domain, mailbox);
    return;
  }
  walkEntries(
      [&](bool first) {
        return first ? domain.firstMailbox(mailbox, settings_.userMask)
                     : domain.nextMailbox(mailbox, settings_.userMask);
      },
      [&] {
        if (meet(mailbox.name() + "@" + domain.name())) {
          ++accountsSeen_;
          migrateMailbox(mailbox);
        }
      },
      [&] {
        // Another shard's run reports the accounts of its own.
        if (!meet(mailbox.name() + "@" + domain.name())) {
          return;
        }
        ++accountsSeen_;
        reporter_.print(settings_.migrate ? "Error: cannot migrate mailbox <"
                                          : "Error: cannot print mailbox <");
        reporter_.print(mailbox.name());
        reporter_.print(">\n");
        succeeded_ = false;
        reportUnreadable(domain, mailbox);
      });
}

void Migrator::reportUnreadable(const Domain& domain, const Mailbox& mailbox) {
  if ((settings_.migrate || settings_.verify) && rows() != nullptr) {
    ReportRow row;
    row.domain = domain.name();
    row.account = mailbox.name() + "@" + domain.name();
    row.verdict = Verdict::Failed;
    row.error = "the account cannot be read from the store";
    rows()->add(row);
    rows()->endAccount(true, true);
  }
  if (settings_.migrate) {
    endFailedAccount(mailbox.name() + "@" + domain.name(),
                     "the account cannot be read from the store");
  }
}

void Migrator::walkPooled(Domain& domain, Mailbox& mailbox) {
  // While accounts run, the walk's own lines wait for the pool's lock.
  domain.setLog(&walkLog_);
  mailbox.setLog(&walkLog_);
  const auto flush = [&] {
    if (walkLog_.tellp() > 0) {
      pool_->output([&] { reporter_.log(walkLog_.str()); });
      walkLog_.str("");
    }
  };
  struct RestoreLog {
    Domain& domain;
    std::ostream& log;
    ~RestoreLog() { domain.setLog(&log); }
  } restore{domain, reporter_.logStream()};
  walkEntries(
      [&](bool first) {
        return first ? domain.firstMailbox(mailbox, settings_.userMask)
                     : domain.nextMailbox(mailbox, settings_.userMask);
      },
      [&] {
        flush();
        if (meet(mailbox.name() + "@" + domain.name())) {
          ++accountsSeen_;
          pool_->submit(mailbox);
        }
      },
      [&] {
        flush();
        if (!meet(mailbox.name() + "@" + domain.name())) {
          return;
        }
        ++accountsSeen_;
        pool_->output([&] {
          reporter_.print("Error: cannot migrate mailbox <" + mailbox.name() + ">\n");
          succeeded_ = false;
          reportUnreadable(domain, mailbox);
        });
      });
  // The next domain's line comes after this one's accounts.
  pool_->drain();
  flush();
}

bool Migrator::selected(const std::string& account) const {
  return inShard(account, settings_.shard, settings_.shards) &&
         (settings_.usersFilePath.empty() || settings_.users.contains(account));
}

bool Migrator::meet(const std::string& account) {
  if (!selected(account)) {
    return false;
  }
  if (!settings_.usersFilePath.empty()) {
    met_.insert(ostrel::utils::lowerAsciiCopy(account));
  }
  return true;
}

void Migrator::walkSelected(const std::function<void(const std::string&, Mailbox&)>& visit) const {
  std::ostream silent(nullptr);
  Reader reader(&silent);
  reader.setStore(settings_.storePath, settings_.primaryDomain);
  Domain domain(&silent);
  Mailbox mailbox(&silent);
  walkEntries(
      [&](bool first) {
        return first ? reader.firstDomain(domain, settings_.domainMask)
                     : reader.nextDomain(domain, settings_.domainMask);
      },
      [&] {
        walkEntries(
            [&](bool first) {
              return first ? domain.firstMailbox(mailbox, settings_.userMask)
                           : domain.nextMailbox(mailbox, settings_.userMask);
            },
            [&] {
              const std::string account = mailbox.name() + "@" + domain.name();
              if (selected(account)) {
                visit(account, mailbox);
              }
            },
            [] {});
      },
      [] {});
}

void Migrator::forEachSelected(const std::function<void(const std::string&)>& visit) const {
  if (!settings_.usersFilePath.empty()) {
    // The list is the selection, whatever the store holds.
    for (const std::string& account : settings_.users.accounts()) {
      if (inShard(account, settings_.shard, settings_.shards)) {
        visit(account);
      }
    }
    return;
  }
  walkSelected([&](const std::string& account, Mailbox&) { visit(account); });
}

RunPlan Migrator::planRun() {
  RunPlan plan;
  plan.messages = 0;
  plan.bytes = 0;
  const auto add = [](std::int64_t& total, std::int64_t figure) {
    total = total < 0 || figure < 0 ? -1 : total + figure;
  };
  walkSelected([&](const std::string& account, Mailbox& mailbox) {
    const AccountFigures figures = accountFigures(mailbox);
    ++plan.accounts;
    add(plan.messages, figures.messages);
    add(plan.bytes, figures.bytes);
    progress_.planAccount(account, figures.messages, figures.bytes);
  });
  return plan;
}

std::vector<std::string> Migrator::selectedAccounts() const {
  std::vector<std::string> accounts;
  forEachSelected([&](const std::string& account) { accounts.push_back(account); });
  return accounts;
}

void Migrator::reportUnlisted() {
  for (const std::string& account : settings_.users.accounts()) {
    if (!inShard(account, settings_.shard, settings_.shards) ||
        met_.count(ostrel::utils::lowerAsciiCopy(account)) > 0) {
      continue;
    }
    const auto write = [&] {
      reporter_.print("Error: account <" + account + "> of the users file is not in the store\n");
      succeeded_ = false;
      const std::string error = "the account of the users file is not in the store";
      if ((settings_.migrate || settings_.verify) && rows() != nullptr) {
        ReportRow row;
        row.domain = account.substr(account.find('@') + 1);
        row.account = account;
        row.verdict = Verdict::Failed;
        row.error = error;
        rows()->add(row);
        rows()->endAccount(true, true);
      }
      endFailedAccount(account, error);
    };
    if (pool_ != nullptr) {
      pool_->output(write);
    } else {
      write();
    }
  }
}

void Migrator::endFailedAccount(const std::string& account, const std::string& error) {
  if (watcher_ != nullptr) {
    AccountEndEvent event;
    event.account = account;
    event.outcome = "failed";
    event.error = error;
    watcher_->accountEnded(event);
  }
}

void Migrator::testConnection() {
  ConnectResult result;
  for (int attempt = 0;; ++attempt) {
    result = connectMaster(reporter_, gateway_, connection_);
    try {
      checkConnect(reporter_, result, connection_);
      break;
    } catch (const QLConnectionLostException& error) {
      if (attempt >= settings_.retries) {
        throw;
      }
      pauseBeforeRetry(reporter_, attempt, settings_.retries, error.what());
    }
  }
  // Already connected: the connection is someone else's to close.
  if (result == kGatewayOk) {
    gateway_.disconnect(true);
  }
}

void Migrator::testDavConnection() {
  if (davTested_ || settings_.dav.url.empty() || !settings_.standardTarget) {
    return;
  }
  davTested_ = true;
  testDavServer(settings_.dav);
}

void Migrator::migrateMailbox(Mailbox& mailbox) {
  printMailboxLine(reporter_, mailbox);
  if (settings_.check || settings_.verify) {
    auditMailbox(mailbox);
  }
}

void Migrator::auditMailbox(Mailbox& mailbox) {
  stopIfAsked();
  try {
    if (!(settings_.check ? audit_.check(mailbox) : audit_.verify(mailbox))) {
      succeeded_ = false;
    }
  } catch (const QLStoreException&) {
    reporter_.log("Error: cannot read folder list\n");
    throw;
  }
}

}  // namespace lodemig
