#include "migration/run_metrics.h"

#include <cstdio>
#include <utility>

namespace lodemig {
namespace {

// A label's value as the text format wants it: backslash, quote and line
// end escaped.
std::string labelValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

// Writes the metrics of one family: its HELP and TYPE lines, then its
// series, each with the shard label first.
class Exposition {
 public:
  explicit Exposition(const std::string& shard) : shard_("shard=\"" + labelValue(shard) + "\"") {}

  Exposition& family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n";
    text_ += std::string("# TYPE ") + name + " " + type + "\n";
    return *this;
  }
  // One series of the family; `label` is "" or `key="value"`.
  Exposition& series(const std::string& value, const std::string& label = std::string()) {
    text_ += name_ + "{" + shard_ + (label.empty() ? "" : "," + label) + "} " + value + "\n";
    return *this;
  }
  Exposition& series(std::int64_t value, const std::string& label = std::string()) {
    return series(std::to_string(value), label);
  }
  Exposition& series(std::uint64_t value) { return series(std::to_string(value)); }
  std::string take() { return std::move(text_); }

 private:
  const std::string shard_;
  std::string name_;
  std::string text_;
};

std::string label(const char* key, const std::string& value) {
  return std::string(key) + "=\"" + labelValue(value) + "\"";
}

void writeRunMetrics(Exposition& out, const MetricsFigures& figures) {
  out.family("lodemig_run_info", "gauge", "The run: its mode and the tool's version (always 1).")
      .series(1,
              label("mode", figures.labels.mode) + "," + label("version", figures.labels.version));
  out.family("lodemig_run_start_timestamp_seconds", "gauge",
             "When the run started, in seconds since the Unix epoch.")
      .series(decimal(figures.startSeconds));
  out.family("lodemig_last_update_timestamp_seconds", "gauge",
             "When this version of the file was written, in seconds since the Unix epoch.")
      .series(decimal(figures.updateSeconds));
  if (figures.exitStatus >= 0) {
    out.family("lodemig_exit_status", "gauge",
               "The run's exit status: 0 succeeded, 1 failed, 3 may pass by itself; only once "
               "the run has ended.")
        .series(static_cast<std::int64_t>(figures.exitStatus));
  }
}

void writeMessageMetrics(Exposition& out, const MetricsFigures& figures) {
  out.family("lodemig_messages_total", "counter",
             "Messages of the folders that ended, as the report counts them: sent, refused by "
             "the target, matched (found there already) and skipped (stored by an earlier run).")
      .series(figures.sent, label("result", "sent"))
      .series(figures.refused, label("result", "refused"))
      .series(figures.matched, label("result", "matched"))
      .series(figures.skipped, label("result", "skipped"));
  out.family("lodemig_sent_bytes_total", "counter",
             "Bytes of the messages sent in the folders that ended, as sent.")
      .series(figures.sentBytes);
  out.family("lodemig_appended_messages_total", "counter",
             "Messages the target accepted, counted as each is accepted.")
      .series(figures.appended);
  out.family("lodemig_appended_bytes_total", "counter",
             "Bytes of the messages the target accepted, as sent, counted as each is accepted.")
      .series(figures.appendedBytes);
  out.family("lodemig_messages_per_second", "gauge",
             "Messages the target accepted per second since the version before.")
      .series(decimal(figures.messagesPerSecond));
}

void writeAccountMetrics(Exposition& out, const MetricsFigures& figures) {
  out.family("lodemig_accounts_total", "counter",
             "Accounts that ended: migrated, failed, or skipped (the journal had them done, or "
             "they exist on the target).")
      .series(figures.accountsMigrated, label("outcome", "migrated"))
      .series(figures.accountsFailed, label("outcome", "failed"))
      .series(figures.accountsSkipped, label("outcome", "skipped"));
  out.family("lodemig_accounts_running", "gauge", "Accounts being migrated now.")
      .series(figures.accountsRunning);
  if (figures.accountsPlanned >= 0) {
    const std::int64_t ended =
        figures.accountsMigrated + figures.accountsFailed + figures.accountsSkipped;
    out.family("lodemig_accounts_planned", "gauge", "Accounts the run has to do, all told.")
        .series(figures.accountsPlanned);
    out.family("lodemig_accounts_remaining", "gauge", "Accounts planned that have not ended yet.")
        .series(figures.accountsPlanned > ended ? figures.accountsPlanned - ended : 0);
  }
  out.family("lodemig_folders_total", "counter", "Folders that ended.").series(figures.folders);
  out.family("lodemig_folders_not_ok_total", "counter",
             "Folders that ended with a verdict other than ok or skipped.")
      .series(figures.foldersNotOk);
  out.family("lodemig_retries_total", "counter",
             "New connections after a lost one (retry), and slow-downs the target asked for "
             "(backoff).")
      .series(figures.retries, label("kind", "retry"))
      .series(figures.backOffs, label("kind", "backoff"));
}

}  // namespace

std::string metricsText(const MetricsFigures& figures) {
  Exposition out(figures.labels.shard);
  writeRunMetrics(out, figures);
  writeMessageMetrics(out, figures);
  writeAccountMetrics(out, figures);
  return out.take();
}

RunMetrics::RunMetrics(MetricsLabels labels, double startSeconds, Clock::time_point now)
    : intervalStart_(now) {
  figures_.labels = std::move(labels);
  figures_.startSeconds = startSeconds;
}

void RunMetrics::runPlanned(const RunPlan& plan) {
  const std::lock_guard<std::mutex> lock(mutex_);
  figures_.accountsPlanned = plan.accounts;
}

void RunMetrics::accountStarted(const std::string& /*account*/) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++figures_.accountsRunning;
}

void RunMetrics::messageStored(std::uint64_t bytes) {
  // Relaxed: each count stands alone, and the writer's lock orders nothing.
  appended_.fetch_add(1, std::memory_order_relaxed);
  appendedBytes_.fetch_add(bytes, std::memory_order_relaxed);
}

void RunMetrics::folderEnded(const ReportRow& row) {
  const std::lock_guard<std::mutex> lock(mutex_);
  figures_.sent += row.sent;
  figures_.refused += row.refused;
  figures_.matched += row.matched;
  figures_.skipped += row.skipped;
  figures_.sentBytes += row.storeBytes;
  // A row without a folder is an account that ended before its folders.
  if (!row.folder.empty()) {
    ++figures_.folders;
    figures_.foldersNotOk += row.verdict != Verdict::Ok && row.verdict != Verdict::Skipped ? 1 : 0;
  }
}

void RunMetrics::retried(const RetryEvent& event) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++(event.kind == "backoff" ? figures_.backOffs : figures_.retries);
}

void RunMetrics::accountEnded(const AccountEndEvent& event) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (figures_.accountsRunning > 0) {
    --figures_.accountsRunning;
  }
  if (event.outcome == "migrated") {
    ++figures_.accountsMigrated;
  } else if (event.outcome == "skipped") {
    ++figures_.accountsSkipped;
  } else {
    ++figures_.accountsFailed;
  }
}

void RunMetrics::runEnded(const RunEndEvent& event) {
  const std::lock_guard<std::mutex> lock(mutex_);
  figures_.exitStatus = event.exitStatus;
}

MetricsFigures RunMetrics::sample(double unixSeconds, Clock::time_point now) {
  const std::lock_guard<std::mutex> lock(mutex_);
  MetricsFigures figures = figures_;
  figures.updateSeconds = unixSeconds;
  figures.appended = appended_.load(std::memory_order_relaxed);
  figures.appendedBytes = appendedBytes_.load(std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(now - intervalStart_).count();
  figures.messagesPerSecond =
      seconds > 0 ? static_cast<double>(figures.appended - intervalAppended_) / seconds : 0;
  intervalStart_ = now;
  intervalAppended_ = figures.appended;
  return figures;
}

}  // namespace lodemig
