#include "migration/metrics_file.h"

#include <cstdlib>

#include "utils/replaced_file.h"

namespace lodemig {
namespace {

double unixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

MetricsFile::~MetricsFile() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::string MetricsFile::open(const std::string& path, RunMetrics& metrics,
                              std::chrono::milliseconds period, std::ostream& warnings) {
  path_ = path;
  metrics_ = &metrics;
  const std::string reason = writeVersion();
  if (!reason.empty()) {
    metrics_ = nullptr;
    return reason;
  }
  warnings_ = &warnings;
  period_ = period;
  thread_ = std::thread([this] { keepWriting(); });
  return std::string();
}

void MetricsFile::keepWriting() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Waits a whole period between versions however the wait is woken, so
  // that the file is never rewritten in a busy loop.
  while (!wake_.wait_for(lock, period_, [this] { return stopping_; })) {
    lock.unlock();
    const std::string reason = writeVersion();
    lock.lock();
    if (!reason.empty() && !warned_) {
      warned_ = true;
      // One line in one write, so that it does not cut another line short.
      *warnings_ << ("Warning: cannot write file " + path_ + ": " + reason +
                     ", the metrics file is written again in the next period\n")
                 << std::flush;
    }
  }
}

std::string MetricsFile::writeVersion() {
  const MetricsFigures figures = metrics_->sample(unixNow(), RunMetrics::Clock::now());
  std::string reason = ostrel::utils::replaceFile(path_, metricsText(figures), 0644);
  if (!reason.empty()) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = reason;
  }
  return reason;
}

bool MetricsFile::finish(int exitStatus) {
  if (metrics_ == nullptr || finished_) {
    return true;
  }
  finished_ = true;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  RunEndEvent end;
  end.exitStatus = exitStatus;
  metrics_->runEnded(end);
  return writeVersion().empty();
}

std::string MetricsFile::failureText() const {
  return "cannot write file " + path_ + ": " + failure_;
}

std::chrono::milliseconds MetricsFile::periodFromEnvironment() {
  const char* text = std::getenv("LODEMIG_METRICS_PERIOD_MS");
  if (text != nullptr) {
    const long milliseconds = std::strtol(text, nullptr, 10);
    if (milliseconds > 0 && milliseconds <= 10000) {
      return std::chrono::milliseconds(milliseconds);
    }
  }
  return kDefaultPeriod;
}

}  // namespace lodemig
