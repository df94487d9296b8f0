#include "migration/failed_accounts.h"

#include "utils/ascii.h"

namespace lodemig {

bool FailedAccounts::open(const std::string& path) {
  // Appended to as it opens, then emptied: the file holds this run's
  // accounts only, for the next run to take whole.
  return file_.open(path) && ostrel::utils::truncateFile(path, 0);
}

void FailedAccounts::accountEnded(const AccountEndEvent& event) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!ended_.insert(ostrel::utils::lowerAsciiCopy(event.account)).second) {
    return;  // a retried account's earlier end, already said
  }
  if (event.outcome == "failed") {
    write(event.account);
  }
}

void FailedAccounts::addUnreached(const std::vector<std::string>& selected) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& account : selected) {
    if (ended_.insert(ostrel::utils::lowerAsciiCopy(account)).second) {
      write(account);
    }
  }
}

void FailedAccounts::write(const std::string& account) {
  if (!file_.isOpen()) {
    return;
  }
  file_ << account << '\n';
  file_.flush();
}

bool FailedAccounts::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!file_.isOpen()) {
    return true;
  }
  const bool good = file_.good();
  return file_.close() && good;
}

}  // namespace lodemig
