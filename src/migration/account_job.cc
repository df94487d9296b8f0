#include "migration/account_job.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "utils/ql_exception.h"

namespace lodemig {

void printMailboxLine(Reporter& reporter, const Mailbox& mailbox) {
  const std::time_t start = std::time(nullptr);
  // Storage figures above 2 GiB are common: read them as 64-bit numbers.
  const std::int64_t used = std::strtoll(mailbox.storageUsed().c_str(), nullptr, 10);
  reporter.print(" + mailbox <");
  reporter.print(mailbox.name());
  reporter.print(">, size: ");
  reporter.print(formatSize(used));
  reporter.log(", time: ");
  reporter.log(ctimeText(start));
  reporter.console("\n");
}

namespace {

// The end of an account for those who follow the run.
AccountEndEvent accountEnd(const Mailbox& mailbox, const AccountTally* tally,
                           std::chrono::steady_clock::time_point started) {
  AccountEndEvent event;
  event.account = mailbox.name() + "@" + mailbox.domainName();
  event.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  event.outcome = "failed";
  if (tally == nullptr) {
    return event;
  }
  for (const FolderTally& folder : tally->folders) {
    ++event.folders;
    event.sent += folder.sent;
    event.refused += folder.refused;
    event.matched += folder.matched;
    event.skipped += folder.skipped;
    event.bytes += folder.bytesSent;
  }
  if (tally->skipped || tally->declined) {
    event.outcome = "skipped";
    event.error = tally->skipped ? "already migrated, as the journal records"
                                 : "the account exists on the target; -force migrates it";
  } else if (!tally->failed()) {
    event.outcome = "migrated";
  }
  return event;
}

}  // namespace

JobOutcome migrateAccountJob(AccountMigration& account, Reporter& reporter, Mailbox& mailbox,
                             int retries) {
  printMailboxLine(reporter, mailbox);
  stopIfAsked();
  RunWatcher& watcher = account.watcher();
  const auto started = std::chrono::steady_clock::now();
  watcher.accountStarted(mailbox.name() + "@" + mailbox.domainName());
  JobOutcome outcome;
  outcome.user = mailbox.name();
  // An account that throws ends failed, with what was thrown as its error.
  const auto endFailed = [&](const QLException& error) {
    AccountEndEvent event = accountEnd(mailbox, nullptr, started);
    event.error =
        error.cause().empty() ? error.what() : error.what() + std::string(": ") + error.cause();
    watcher.accountEnded(event);
  };
  try {
    const AccountTally& tally = account.run(mailbox);
    outcome.ran = true;
    outcome.failed = tally.failed();
    outcome.declined = tally.declined;
    for (const FolderTally& folder : tally.folders) {
      outcome.messages += folder.sent;
      outcome.bytes += folder.bytesSent;
    }
    watcher.accountEnded(accountEnd(mailbox, &tally, started));
  } catch (const QLConnectionLostException& error) {
    account.reportFailure(mailbox, error.what());
    endFailed(error);
    if (retries == 0) {
      throw;  // without retries a lost connection ends the run
    }
    outcome.failed = outcome.broken = true;
    outcome.lost = true;
    outcome.lostMayPass = error.mayPass();
    outcome.lostWhat = error.what();
    outcome.lostCause = error.cause();
  } catch (const QLStoreException& error) {
    account.reportFailure(mailbox, error.what());
    endFailed(error);
    outcome.failed = outcome.broken = true;
  } catch (const QLException& error) {
    account.reportFailure(mailbox, error.what());
    endFailed(error);
    throw;
  }
  return outcome;
}

void SkipPolicy::settle(const JobOutcome& outcome, Reporter& reporter) {
  ++settled_;
  declined_ += outcome.declined ? 1 : 0;
  if (outcome.ran) {
    lostInARow_ = 0;
  }
  if (!outcome.failed) {
    return;
  }
  anyFailed_ = true;
  fixNeeded_ = fixNeeded_ || !(outcome.lost && outcome.lostMayPass);
  if (outcome.lost && ++lostInARow_ >= kLostAccountsInARow) {
    QLNetworkException down(outcome.lostWhat + ": " + std::to_string(kLostAccountsInARow) +
                            " accounts in a row failed, " + server_ + " seems down");
    down.setCause(outcome.lostCause);
    down.setMayPass(outcome.lostMayPass);
    throw down;
  }
  if (outcome.broken) {
    reporter.print("Error: cannot migrate mailbox <" + outcome.user + ">\n");
    if (!outcome.lostCause.empty()) {
      reporter.print(causeLine(outcome.lostCause) + "\n");
    }
  }
}

}  // namespace lodemig
