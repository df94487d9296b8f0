#include "migration/run_report.h"

#include <charconv>

#include "migration/reporter.h"
#include "migration/run_watcher.h"

namespace lodemig {
namespace {

void appendNumber(std::string& line, std::int64_t value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof(digits), value);
  line.append(digits, end);
}

// A count the target did not give is an empty field, not -1.
void appendCount(std::string& line, std::int64_t value) {
  if (value >= 0) {
    appendNumber(line, value);
  }
}

}  // namespace

const char* verdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::Missing:
      return "missing";
    case Verdict::Extra:
      return "extra";
    case Verdict::Failed:
      return "failed";
    case Verdict::Skipped:
      return "skipped";
    case Verdict::Pending:
      return "pending";
  }
  return "failed";
}

Verdict migrationVerdict(bool failed, std::int64_t refused, std::int64_t sent, std::int64_t before,
                         std::int64_t after) {
  if (failed || refused > 0) {
    return Verdict::Failed;
  }
  if (before < 0 || after < 0 || after == before + sent) {
    return Verdict::Ok;
  }
  return after < before + sent ? Verdict::Missing : Verdict::Extra;
}

void appendCsvField(std::string& line, std::string_view field) {
  bool quote = !field.empty() && (field.front() == ' ' || field.back() == ' ');
  for (char c : field) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') {
      quote = true;
      break;
    }
  }
  if (!quote) {
    line.append(field);
    return;
  }
  line += '"';
  for (char c : field) {
    if (c == '"') {
      line += '"';
    }
    line += c;
  }
  line += '"';
}

bool RunReport::open(const std::string& path) {
  // A resumed run adds its rows to those of the runs before it: the header
  // goes only into a new (or empty) file.
  const bool fresh = ostrel::utils::fileLength(path) == 0;
  if (!file_.open(path)) {
    return false;
  }
  if (fresh) {
    file_ << kHeader << "\r\n";
    file_.flush();
  }
  return file_.good();
}

void RunReport::add(const ReportRow& row) {
  const std::lock_guard<std::mutex> lock(mutex_);
  line_.clear();
  for (const std::string* text :
       {&row.domain, &row.account, &row.folder, &row.targetFolder, &row.kind}) {
    appendCsvField(line_, *text);
    line_ += ',';
  }
  for (std::int64_t number : {row.storeMessages, static_cast<std::int64_t>(row.storeBytes),
                              row.sent, row.refused, row.skipped}) {
    appendNumber(line_, number);
    line_ += ',';
  }
  appendCount(line_, row.targetBefore);
  line_ += ',';
  appendCount(line_, row.targetAfter);
  line_ += ',';
  line_ += verdictWord(row.verdict);
  line_ += ',';
  appendCsvField(line_, row.error);
  // Last, so that the columns before it stay where readers of older reports
  // look for them.
  line_ += ',';
  appendNumber(line_, row.matched);
  line_ += "\r\n";
  if (file_.isOpen()) {
    file_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
    file_.flush();
  }

  if (!row.folder.empty()) {
    ++totals_.folders;
  }
  if (!row.folder.empty() && row.verdict != Verdict::Ok && row.verdict != Verdict::Skipped) {
    ++totals_.foldersNotOk;
  }
  totals_.sent += row.sent;
  totals_.refused += row.refused;
  totals_.skipped += row.skipped + row.matched;
  totals_.bytes += row.storeBytes;
  totals_.storeMessages += row.storeMessages;
  totals_.targetMessages += row.targetAfter > 0 ? row.targetAfter : 0;
  if (row.verdict == Verdict::Ok && row.targetBefore >= 0 && row.targetAfter >= 0) {
    totals_.verified += row.sent;
  }
  totals_.pending += row.verdict == Verdict::Pending ? 1 : 0;
  totals_.flagsSet += row.flagsSet;
  totals_.gone += row.gone;
  totals_.removed += row.removed;
  if (watcher_ != nullptr) {
    watcher_->folderEnded(row);
  }
}

void RunReport::endAccount(bool migrated, bool failed) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failed) {
    ++totals_.accountsFailed;
  } else if (migrated) {
    ++totals_.accountsMigrated;
  } else {
    ++totals_.accountsSkipped;
  }
}

bool RunReport::close() {
  if (!file_.isOpen()) {
    return true;
  }
  // A row lost to a full disk earlier counts as much as the last bytes.
  const bool writtenBefore = file_.good();
  return file_.close() && writtenBefore;
}

std::string summaryText(const RunTotals& totals, std::time_t start, std::time_t end) {
  const std::int64_t seconds = end > start ? static_cast<std::int64_t>(end - start) : 0;
  std::string text = "Info: accounts: " + std::to_string(totals.accountsMigrated) + " migrated, " +
                     std::to_string(totals.accountsSkipped) + " skipped, " +
                     std::to_string(totals.accountsFailed) + " failed\n";
  text += "Info: folders: " + std::to_string(totals.folders) + ", " +
          std::to_string(totals.foldersNotOk) + " not ok\n";
  text += "Info: messages: " + std::to_string(totals.sent) + " sent, " +
          std::to_string(totals.refused) + " refused, " + std::to_string(totals.verified) +
          " verified, " + std::to_string(totals.skipped) + " already there\n";
  text += "Info: bytes sent: " + formatSize(static_cast<std::int64_t>(totals.bytes)) + "\n";
  text += "Info: time: " + std::to_string(seconds) + " s, " +
          std::to_string(seconds > 0 ? totals.sent / seconds : totals.sent) + " messages/s\n";
  return text;
}

std::string deltaSummaryText(const RunTotals& totals) {
  return "Info: changes: " + std::to_string(totals.flagsSet) + " messages with new flags, " +
         std::to_string(totals.gone) + " gone from the store, " + std::to_string(totals.removed) +
         " of them removed\n";
}

std::string verificationSummaryText(const RunTotals& totals, const std::string& server) {
  return "Info: accounts: " + std::to_string(totals.accountsMigrated) + " match, " +
         std::to_string(totals.accountsFailed) + " differ\n" +
         "Info: folders: " + std::to_string(totals.folders) + ", " +
         std::to_string(totals.foldersNotOk) + " not ok\n" +
         "Info: messages: " + std::to_string(totals.storeMessages) + " in the store, " +
         std::to_string(totals.targetMessages) + " on " + server + "\n";
}

}  // namespace lodemig
