#include "migration/migrator.h"

#include <cstdlib>
#include <ctime>

#include "migration/account_migration.h"
#include "migration/shard.h"
#include "migration/target_result.h"
#include "utils/ql_exception.h"

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

}  // namespace

Migrator::Migrator(const MigrationSettings& settings, const ConnectionSettings& connection,
                   Reporter& reporter)
    : settings_(settings),
      connection_(connection),
      reporter_(reporter),
      passwords_(reporter),
      account_(settings, connection, gateway_, reporter, passwords_),
      audit_(settings, connection, gateway_, reporter, auditReport_) {}

void Migrator::migrateAll() {
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
}

void Migrator::migrateDomain(Domain& domain) {
  if (settings_.check && !checkStarted_) {
    audit_.startCheck();
    checkStarted_ = true;
  } else if (settings_.migrate || settings_.verify) {
    testConnection();
  }
  reporter_.print("\ndomain (");
  reporter_.print(domain.name());
  reporter_.print(")\n");

  Mailbox mailbox(&reporter_.logStream());
  walkEntries(
      [&](bool first) {
        return first ? domain.firstMailbox(mailbox, settings_.userMask)
                     : domain.nextMailbox(mailbox, settings_.userMask);
      },
      [&] {
        if (inShard(mailbox.name() + "@" + domain.name(), settings_.shard, settings_.shards)) {
          migrateMailbox(mailbox);
        }
      },
      [&] {
        // Another shard's run reports the accounts of its own.
        if (!inShard(mailbox.name() + "@" + domain.name(), settings_.shard, settings_.shards)) {
          return;
        }
        reporter_.print(settings_.migrate ? "Error: cannot migrate mailbox <"
                                          : "Error: cannot print mailbox <");
        reporter_.print(mailbox.name());
        reporter_.print(">\n");
        succeeded_ = false;
        if ((settings_.migrate || settings_.verify) && rows() != nullptr && !accountReported_) {
          ReportRow row;
          row.domain = domain.name();
          row.account = mailbox.name() + "@" + domain.name();
          row.verdict = Verdict::Failed;
          row.error = "the account cannot be read from the store";
          rows()->add(row);
          rows()->endAccount(true, true);
        }
        accountReported_ = false;
      });
}

void Migrator::testConnection() {
  GatewayResult result = kGatewayOk;
  for (int attempt = 0;; ++attempt) {
    result = gateway_.connectMaster(connection_);
    try {
      checkResult(reporter_, TargetStep::Connect, result);
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

void Migrator::migrateMailbox(Mailbox& mailbox) {
  const std::time_t start = std::time(nullptr);
  // Storage figures above 2 GiB are common: read them as 64-bit numbers.
  const std::int64_t used = std::strtoll(mailbox.storageUsed().c_str(), nullptr, 10);
  reporter_.print(" + mailbox <");
  reporter_.print(mailbox.name());
  reporter_.print(">, size: ");
  reporter_.print(formatSize(used));
  reporter_.log(", time: ");
  reporter_.log(ctimeText(start));
  reporter_.console("\n");
  if (settings_.check || settings_.verify) {
    auditMailbox(mailbox);
    return;
  }
  if (!settings_.migrate) {
    return;
  }
  stopIfAsked();
  try {
    if (account_.run(mailbox).failed()) {
      succeeded_ = false;
    }
    lostInARow_ = 0;
  } catch (const QLConnectionLostException& error) {
    account_.reportFailure(mailbox, error.what());
    accountReported_ = true;
    if (settings_.retries == 0) {
      throw;  // without retries a lost connection ends the run
    }
    if (++lostInARow_ >= kLostAccountsInARow) {
      throw QLNetworkException(std::string(error.what()) + ": " +
                               std::to_string(kLostAccountsInARow) +
                               " accounts in a row failed, Torvane seems down");
    }
    // The account fails; the walk reports it and goes on with the next.
    throw QLStoreException(error.what());
  } catch (const QLException& error) {
    account_.reportFailure(mailbox, error.what());
    accountReported_ = true;
    throw;
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
