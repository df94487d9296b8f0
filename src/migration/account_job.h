#ifndef LODEMIG_MIGRATION_ACCOUNT_JOB_H_
#define LODEMIG_MIGRATION_ACCOUNT_JOB_H_

#include <cstdint>
#include <string>
#include <utility>

#include "migration/account_migration.h"
#include "migration/reporter.h"
#include "store/mailbox.h"

namespace lodemig {

// What became of one account a job migrated.
struct JobOutcome {
  bool failed = false;       // reported failed; the run fails
  bool ran = false;          // the migration ran to its end, failed or not
  bool broken = false;       // it ended early, by a failure of its own
  bool lost = false;         // its connection was lost after every retry
  bool lostMayPass = false;  // ... for a reason that may pass by itself
  bool declined = false;     // it existed on the target and was not migrated
  std::string lostWhat;
  std::string lostCause;      // why, when known
  std::string user;           // the account's name in its domain
  std::int64_t messages = 0;  // messages the target accepted
  std::uint64_t bytes = 0;
};

// Migrates one account with `account`, its lines to `reporter`: the
// " + mailbox" line, then the whole account. A failure of the account alone
// (a store error, or with retries a connection lost after every one) has its
// report row written and comes back in the outcome; what ends the run is
// thrown: a stop signal before the account starts, a connection lost
// without retries, any other failure of the target.
JobOutcome migrateAccountJob(AccountMigration& account, Reporter& reporter, Mailbox& mailbox,
                             int retries);

// The " + mailbox" line that opens an account's report, its size and (in the
// log) the time it starts.
void printMailboxLine(Reporter& reporter, const Mailbox& mailbox);

// What an ended account means for the run: the one place where a migration
// decides whether a failed account is skipped or the run ends. Used by one
// thread at a time (the pool settles under its lock).
class SkipPolicy {
 public:
  // After this many accounts in a row whose connection was lost after every
  // retry, the target counts as down and the run stops.
  static constexpr int kLostAccountsInARow = 3;

  // `server` names the target in the line that says it seems down.
  explicit SkipPolicy(std::string server = "Torvane") : server_(std::move(server)) {}

  // Takes the outcome of an ended account. A failed account fails the run;
  // one that ended early is said on `reporter` ("Error: cannot migrate
  // mailbox <user>", followed by the cause line of a lost connection),
  // unless it is the last of kLostAccountsInARow lost in a row: then the run
  // ends with a QLNetworkException that says the target seems down and why.
  // The exception carries mayPass() when the lost accounts' causes may pass.
  void settle(const JobOutcome& outcome, Reporter& reporter);
  bool anyFailed() const { return anyFailed_; }
  // An account failed for a reason that needs fixing (anything but a
  // connection lost, after every retry, for a reason that may pass).
  bool fixNeeded() const { return fixNeeded_; }
  // The accounts settled so far, and those of them declined.
  std::int64_t settled() const { return settled_; }
  std::int64_t declined() const { return declined_; }

 private:
  std::string server_;
  bool anyFailed_ = false;
  bool fixNeeded_ = false;
  std::int64_t settled_ = 0;
  std::int64_t declined_ = 0;
  int lostInARow_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_JOB_H_
