#include "migration/html_report_collector.h"

#include <chrono>

namespace lodemig {

double secondsNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

HtmlReportCollector::HtmlReportCollector(double start) : lastSample_(start) {
  content_.start = start;
  content_.samples.push_back({start, 0});
}

void HtmlReportCollector::messageStored(std::uint64_t /*bytes*/) {
  // Every message passes here: only one in 64 looks at the clock.
  const std::int64_t stored = messages_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (stored % 64 == 0) {
    sampleAt(secondsNow(), false);
  }
}

void HtmlReportCollector::folderEnded(const ReportRow& row) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    content_.add(row);
  }
  sampleAt(secondsNow(), false);
}

void HtmlReportCollector::accountEnded(const AccountEndEvent& /*event*/) {
  sampleAt(secondsNow(), false);
}

void HtmlReportCollector::sampleAt(double now, bool always) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!always && now < lastSample_ + 1) {
    return;
  }
  std::vector<MessageSample>& samples = content_.samples;
  if (samples.size() >= kMaxSamples) {
    // Every other one goes, the first and the latest stay.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < samples.size(); i += 2) {
      samples[kept++] = samples[i];
    }
    if (samples.size() % 2 == 0) {
      samples[kept++] = samples.back();
    }
    samples.resize(kept);
  }
  // Another thread may have sampled a later moment first.
  if (now < samples.back().time) {
    now = samples.back().time;
  }
  samples.push_back({now, messages_.load(std::memory_order_relaxed)});
  lastSample_ = now;
}

HtmlReportContent HtmlReportCollector::finish(double end) {
  sampleAt(end, true);
  const std::lock_guard<std::mutex> lock(mutex_);
  content_.end = end;
  return content_;
}

}  // namespace lodemig
