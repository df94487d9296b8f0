#include "migration/account_job.h"

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

JobOutcome migrateAccountJob(AccountMigration& account, Reporter& reporter, Mailbox& mailbox,
                             int retries) {
  printMailboxLine(reporter, mailbox);
  stopIfAsked();
  JobOutcome outcome;
  outcome.user = mailbox.name();
  try {
    const AccountTally& tally = account.run(mailbox);
    outcome.ran = true;
    outcome.failed = tally.failed();
    outcome.declined = tally.declined;
    for (const FolderTally& folder : tally.folders) {
      outcome.messages += folder.sent;
      outcome.bytes += folder.bytesSent;
    }
  } catch (const QLConnectionLostException& error) {
    account.reportFailure(mailbox, error.what());
    if (retries == 0) {
      throw;  // without retries a lost connection ends the run
    }
    outcome.failed = outcome.broken = true;
    outcome.lost = true;
    outcome.lostWhat = error.what();
    outcome.lostCause = error.cause();
  } catch (const QLStoreException& error) {
    account.reportFailure(mailbox, error.what());
    outcome.failed = outcome.broken = true;
  } catch (const QLException& error) {
    account.reportFailure(mailbox, error.what());
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
  if (outcome.lost && ++lostInARow_ >= kLostAccountsInARow) {
    QLNetworkException down(outcome.lostWhat + ": " + std::to_string(kLostAccountsInARow) +
                            " accounts in a row failed, " + server_ + " seems down");
    down.setCause(outcome.lostCause);
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
