#ifndef LODEMIG_MIGRATION_RUN_REPORT_H_
#define LODEMIG_MIGRATION_RUN_REPORT_H_

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "utils/output_file.h"

namespace lodemig {

class RunWatcher;

// What the report says of a folder: one of the words of its verdict column.
// Pending: the source changed while the folder was read; the next pass
// takes what was left.
enum class Verdict { Ok, Missing, Extra, Failed, Skipped, Pending };
const char* verdictWord(Verdict verdict);

// One row of the report: a folder of an account, or (folder empty) an
// account that ended before its folders.
struct ReportRow {
  std::string domain;
  std::string account;       // user@domain
  std::string folder;        // as in the store
  std::string targetFolder;  // after the forbidden characters are replaced
  std::string kind;          // the target's folder kind word
  std::int64_t storeMessages = 0;
  std::uint64_t storeBytes = 0;  // of the messages sent, as sent
  std::int64_t sent = 0;
  std::int64_t refused = 0;
  std::int64_t skipped = 0;        // the journal had them as stored
  std::int64_t matched = 0;        // found on the target already, not sent
  std::int64_t targetBefore = -1;  // -1: not known
  std::int64_t targetAfter = -1;
  Verdict verdict = Verdict::Ok;
  std::string error;
  // A delta pass's changes, for the totals only: messages whose flags were
  // set, messages gone from the store, and those of them removed from the
  // target.
  std::int64_t flagsSet = 0;
  std::int64_t gone = 0;
  std::int64_t removed = 0;
};

// The verdict of a migrated folder: Failed when a message or the folder
// itself failed, else Missing or Extra when the target's count after the
// folder is not its count before plus the messages sent, else Ok. A count
// the target did not give cannot be compared and counts as matching.
Verdict migrationVerdict(bool failed, std::int64_t refused, std::int64_t sent, std::int64_t before,
                         std::int64_t after);

// One CSV field as RFC 4180 writes it: quoted (with its quotes doubled) when
// it holds a comma, a quote, CR or LF, or begins or ends with a blank.
void appendCsvField(std::string& line, std::string_view field);

// The totals of a run for its closing summary.
struct RunTotals {
  std::int64_t accountsMigrated = 0;
  std::int64_t accountsSkipped = 0;
  std::int64_t accountsFailed = 0;
  std::int64_t folders = 0;
  std::int64_t foldersNotOk = 0;  // verdict other than ok and skipped
  std::int64_t sent = 0;
  std::int64_t refused = 0;
  std::int64_t verified = 0;  // sent into folders whose count matched
  std::int64_t skipped = 0;
  std::uint64_t bytes = 0;
  std::int64_t storeMessages = 0;
  std::int64_t targetMessages = 0;  // of the folders whose count the target gave
  std::int64_t pending = 0;         // folders whose source changed while read
  std::int64_t flagsSet = 0;
  std::int64_t gone = 0;
  std::int64_t removed = 0;
};

// The summary lines of a delta pass: what it changed besides sending.
std::string deltaSummaryText(const RunTotals& totals);

// The -report file: a CSV header row, then one row per folder, each written
// and flushed as it comes, so that a run cut short keeps every row up to
// then. Rows are also added to the totals. A file that cannot be written is
// said by failureText(); the rows still count. Not copyable.
class RunReport {
 public:
  static constexpr const char* kHeader =
      "domain,account,folder,target_folder,kind,store_messages,store_bytes,sent,refused,"
      "skipped,target_before,target_after,verdict,error,matched";

  RunReport() = default;
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // Opens `path` for appending (created with mode 0600), writing the header
  // row when the file is new or empty. False when it cannot be written.
  [[nodiscard]] bool open(const std::string& path);
  void add(const ReportRow& row);
  // Hands every row added from now on to `watcher` too; nullptr: none.
  // `watcher` must outlive the report.
  void watch(RunWatcher* watcher) { watcher_ = watcher; }
  // An account the run migrated (false: one it skipped as a whole) whose
  // rows are all written; `failed` when a row of it failed.
  void endAccount(bool migrated, bool failed);
  // Closes the file; false when any row or the header could not be written.
  bool close();

  const RunTotals& totals() const { return totals_; }
  bool failed() const { return file_.isOpen() && !file_.good(); }
  std::string failureText() const { return file_.failureText(); }
  std::string failureReason() const { return file_.failureReason(); }
  const std::string& path() const { return file_.path(); }
  // Whether rows go to a file; without one the report only counts.
  bool writesFile() const { return file_.isOpen(); }

 private:
  ostrel::utils::OutputFile file_;
  std::string line_;
  RunTotals totals_;
  RunWatcher* watcher_ = nullptr;
  std::mutex mutex_;  // add() and endAccount() may be called from any thread
};

// The closing summary of a run, one "Info: " line per figure, ending with
// the time since `start` and the rate of messages sent.
std::string summaryText(const RunTotals& totals, std::time_t start, std::time_t end);
// The closing summary of a verification.
std::string verificationSummaryText(const RunTotals& totals, const std::string& server);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_RUN_REPORT_H_
