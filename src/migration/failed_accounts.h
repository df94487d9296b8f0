#ifndef LODEMIG_MIGRATION_FAILED_ACCOUNTS_H_
#define LODEMIG_MIGRATION_FAILED_ACCOUNTS_H_

#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "migration/run_watcher.h"
#include "utils/output_file.h"

namespace lodemig {

// The failed-accounts file (-failedFile): every account that failed in the
// run, one "user@domain" a line in the order they failed, so that the next
// run can take the file as its users file. Each line is flushed as it is
// written, so that an interrupted run keeps them; at the end, the accounts
// the run was to visit but did not end (it stopped early) follow. A
// RunWatcher: accountEnded() with the outcome "failed" writes a line; its
// calls may come from any thread. Not copyable.
class FailedAccounts : public RunWatcher {
 public:
  // Opens `path` as the report is opened (mode 0600, never through a
  // symbolic link) and empties it. False when it cannot be written;
  // failureReason() says why.
  [[nodiscard]] bool open(const std::string& path);
  bool isOpen() const { return file_.isOpen(); }

  void accountEnded(const AccountEndEvent& event) override;
  // Writes every account of `selected` (user@domain) that has not ended, in
  // that order: those the run did not reach.
  void addUnreached(const std::vector<std::string>& selected);
  // Closes the file; false when any line could not be written.
  bool close();

  bool failed() const { return file_.isOpen() && !file_.good(); }
  std::string failureText() const { return file_.failureText(); }
  std::string failureReason() const { return file_.failureReason(); }

 private:
  // Writes `account` once, under the lock.
  void write(const std::string& account);

  ostrel::utils::OutputFile file_;
  std::mutex mutex_;  // guards the file and the sets
  // The accounts that ended, in lower case: those written and the others.
  std::unordered_set<std::string> ended_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FAILED_ACCOUNTS_H_
