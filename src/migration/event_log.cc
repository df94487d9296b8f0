#include "migration/event_log.h"

#include <cstdio>
#include <ctime>

namespace lodemig {
namespace {

using ostrel::utils::JsonLine;

// "2026-12-08T15:04:05.123Z": UTC, so that the lines of shards run on
// machines in other time zones sort together.
std::string utcTimestamp(std::chrono::system_clock::time_point when) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) {
    return "1970-01-01T00:00:00.000Z";
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

// The options as the run was given them; the driver has already hidden the
// secrets' values.
std::string optionsObject(const RunStartEvent& event) {
  JsonLine options;
  for (const auto& [name, value] : event.options) {
    options.add(name, value);
  }
  return options.text();
}

std::string totalsObject(const RunTotals& totals) {
  JsonLine object;
  object.add("accounts_migrated", totals.accountsMigrated)
      .add("accounts_skipped", totals.accountsSkipped)
      .add("accounts_failed", totals.accountsFailed)
      .add("folders", totals.folders)
      .add("folders_not_ok", totals.foldersNotOk)
      .add("sent", totals.sent)
      .add("refused", totals.refused)
      .add("skipped", totals.skipped)
      .add("bytes", totals.bytes)
      .add("store_messages", totals.storeMessages)
      .add("pending", totals.pending);
  return object.text();
}

}  // namespace

EventLog::EventLog(std::chrono::milliseconds progressEvery) : progressEvery_(progressEvery) {}

EventLog::~EventLog() {
  stopProgress();
}

bool EventLog::open(const std::string& path) {
  std::lock_guard<std::mutex> lock(fileMutex_);
  return file_.open(path);
}

bool EventLog::close() {
  stopProgress();
  std::lock_guard<std::mutex> lock(fileMutex_);
  const bool wasGood = !file_.isOpen() || file_.good();
  return file_.close() && wasGood;
}

JsonLine EventLog::event(const char* type) const {
  JsonLine line;
  line.add("time", utcTimestamp(std::chrono::system_clock::now())).add("type", type);
  if (!shard_.empty()) {
    line.add("shard", shard_);
  }
  return line;
}

void EventLog::write(const JsonLine& line) {
  std::string text = line.text();
  text += '\n';
  std::lock_guard<std::mutex> lock(fileMutex_);
  // The buffer is empty between lines: a line goes out in one write(), so a
  // reader never meets half of one, and lines of several processes
  // appending to one file do not mix.
  if (file_.isOpen() && file_.good()) {
    file_.write(text.data(), static_cast<std::streamsize>(text.size()));
    file_.flush();
  }
}

void EventLog::runStarted(const RunStartEvent& event) {
  shard_ = event.shards > 0 ? std::to_string(event.shard) + "/" + std::to_string(event.shards)
                            : std::string();
  started_ = std::chrono::steady_clock::now();
  JsonLine line = this->event("run_start");
  line.add("mode", event.mode)
      .add("jobs", event.jobs)
      .add("server", event.server)
      .add("store", event.store)
      .add("version", event.version)
      .addObject("options", optionsObject(event));
  write(line);
  if (event.mode == "migrate" && !progress_.joinable()) {
    progress_ = std::thread([this] { progressLoop(); });
  }
}

void EventLog::runPlanned(const RunPlan& plan) {
  JsonLine line = event("run_plan");
  line.add("accounts", plan.accounts).add("messages", plan.messages).add("bytes", plan.bytes);
  write(line);
}

void EventLog::accountStarted(const std::string& account) {
  JsonLine line = event("account_start");
  line.add("account", account);
  write(line);
}

void EventLog::messageStored(std::uint64_t bytes) {
  messages_.fetch_add(1, std::memory_order_relaxed);
  bytes_.fetch_add(bytes, std::memory_order_relaxed);
}

void EventLog::messageFailed(const MessageFailureEvent& event) {
  JsonLine line = this->event(event.unreadable ? "message_unreadable" : "message_refused");
  line.add("account", event.account)
      .add("folder", event.folder)
      .add("number", static_cast<std::int64_t>(event.number))
      .add("reason", event.reason);
  write(line);
}

void EventLog::folderEnded(const ReportRow& row) {
  JsonLine line = event("folder_end");
  line.add("domain", row.domain)
      .add("account", row.account)
      .add("folder", row.folder)
      .add("target_folder", row.targetFolder)
      .add("kind", row.kind)
      .add("store_messages", row.storeMessages)
      .add("store_bytes", row.storeBytes)
      .add("sent", row.sent)
      .add("refused", row.refused)
      .add("skipped", row.skipped)
      .add("target_before", row.targetBefore)
      .add("target_after", row.targetAfter)
      .add("verdict", verdictWord(row.verdict))
      .add("error", row.error)
      .add("matched", row.matched);
  write(line);
}

void EventLog::retried(const RetryEvent& event) {
  const bool backOff = event.kind == "backoff";
  JsonLine line = this->event(backOff ? "backoff" : "retry");
  line.add("account", event.account);
  if (backOff) {
    line.add("window", event.window).add("connections", event.connections);
  } else {
    line.add("attempt", event.attempt).add("attempts", event.attempts);
  }
  line.add("pause_seconds", event.pauseSeconds).add("reason", event.reason);
  write(line);
}

void EventLog::accountEnded(const AccountEndEvent& event) {
  accountsDone_.fetch_add(1, std::memory_order_relaxed);
  JsonLine line = this->event("account_end");
  line.add("account", event.account)
      .add("outcome", event.outcome)
      .add("folders", event.folders)
      .add("sent", event.sent)
      .add("refused", event.refused)
      .add("matched", event.matched)
      .add("skipped", event.skipped)
      .add("bytes", event.bytes)
      .add("seconds", event.seconds)
      .add("error", event.error);
  write(line);
}

void EventLog::runEnded(const RunEndEvent& event) {
  // The last progress line comes before the end, never after it.
  stopProgress();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  JsonLine line = this->event("run_end");
  line.add("result", event.result)
      .add("exit_status", event.exitStatus)
      .add("seconds", seconds)
      .addObject("totals", totalsObject(event.totals));
  write(line);
}

void EventLog::writeProgress() {
  JsonLine line = event("progress");
  line.add("accounts_done", accountsDone_.load(std::memory_order_relaxed))
      .add("messages", messages_.load(std::memory_order_relaxed))
      .add("bytes", bytes_.load(std::memory_order_relaxed));
  write(line);
}

void EventLog::progressLoop() {
  std::unique_lock<std::mutex> lock(progressMutex_);
  // Each wait ends after progressEvery_ or as soon as the run ends; the loop
  // ends with the run.
  while (!progressWake_.wait_for(lock, progressEvery_, [this] { return stopping_; })) {
    lock.unlock();
    writeProgress();
    lock.lock();
  }
}

void EventLog::stopProgress() {
  {
    std::lock_guard<std::mutex> lock(progressMutex_);
    stopping_ = true;
  }
  progressWake_.notify_all();
  if (progress_.joinable()) {
    progress_.join();
  }
}

}  // namespace lodemig
