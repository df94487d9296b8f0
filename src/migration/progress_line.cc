#include "migration/progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "utils/terminal.h"

namespace lodemig {
namespace {

std::string clockText(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

std::string doneOf(std::int64_t done, std::int64_t total) {
  return total >= 0 ? std::to_string(done) + " of " + std::to_string(total) : std::to_string(done);
}

}  // namespace

std::string progressText(const ProgressFigures& figures) {
  std::string text = "accounts " + doneOf(figures.accountsDone, figures.accounts) + ", " +
                     doneOf(figures.messagesDone, figures.messages) + " messages, " +
                     formatSize(figures.bytesDone);
  if (figures.bytes >= 0) {
    text += " of " + formatSize(figures.bytes);
  }
  text += ", " + std::to_string(static_cast<long>(figures.messagesPerSecond)) + " messages/s";
  if (figures.secondsLeft >= 0) {
    text += ", " + clockText(figures.secondsLeft) + " left";
  }
  return text;
}

double secondsLeft(double elapsed, std::int64_t done, std::int64_t total) {
  if (total < 0 || done <= 0) {
    return -1;
  }
  if (done >= total) {
    return 0;
  }
  return elapsed * static_cast<double>(total - done) / static_cast<double>(done);
}

void RunProgress::planAccount(const std::string& account, std::int64_t messages,
                              std::int64_t bytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  planned_[account] = Figures{messages, bytes};
}

void RunProgress::runPlanned(const RunPlan& plan, Clock::time_point started) {
  const std::lock_guard<std::mutex> lock(mutex_);
  plan_ = plan;
  started_ = started;
}

void RunProgress::messageStored(std::uint64_t bytes) {
  // Called for every message by every job: no lock.
  stored_.fetch_add(1, std::memory_order_relaxed);
  storedBytes_.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
}

void RunProgress::accountEnded(const AccountEndEvent& event) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto bytes = static_cast<std::int64_t>(event.bytes);
  Figures planned{event.sent, bytes};
  const auto found = planned_.find(event.account);
  if (found != planned_.end()) {
    planned = found->second;
    planned_.erase(found);
  }
  ++accountsDone_;
  endedPlanned_.messages += std::max<std::int64_t>(planned.messages, 0);
  endedPlanned_.bytes += std::max<std::int64_t>(planned.bytes, 0);
  endedSent_.messages += event.sent;
  endedSent_.bytes += bytes;
  if (event.outcome == "skipped") {
    ++accountsSkipped_;
    skippedPlanned_.messages += std::max<std::int64_t>(planned.messages, 0);
    skippedPlanned_.bytes += std::max<std::int64_t>(planned.bytes, 0);
  }
}

ProgressFigures RunProgress::figures(Clock::time_point now) const {
  const std::int64_t stored = stored_.load(std::memory_order_relaxed);
  const std::int64_t storedBytes = storedBytes_.load(std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(mutex_);
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  ProgressFigures figures;
  figures.accounts = plan_.accounts;
  figures.accountsDone = accountsDone_;
  figures.messages = plan_.messages;
  figures.bytes = plan_.bytes;
  // The accounts under way: what was stored and is not yet in an ended one.
  const auto done = [](std::int64_t total, std::int64_t planned, std::int64_t live,
                       std::int64_t all) {
    return total < 0 ? all : std::min(total, planned + std::max<std::int64_t>(live, 0));
  };
  figures.messagesDone =
      done(plan_.messages, endedPlanned_.messages, stored - endedSent_.messages, stored);
  figures.bytesDone =
      done(plan_.bytes, endedPlanned_.bytes, storedBytes - endedSent_.bytes, storedBytes);
  figures.messagesPerSecond = elapsed > 0 ? static_cast<double>(stored) / elapsed : 0;
  if (plan_.bytes > 0) {
    figures.secondsLeft = secondsLeft(elapsed, figures.bytesDone - skippedPlanned_.bytes,
                                      plan_.bytes - skippedPlanned_.bytes);
  } else if (plan_.messages > 0) {
    figures.secondsLeft = secondsLeft(elapsed, figures.messagesDone - skippedPlanned_.messages,
                                      plan_.messages - skippedPlanned_.messages);
  } else {
    figures.secondsLeft =
        secondsLeft(elapsed, accountsDone_ - accountsSkipped_, plan_.accounts - accountsSkipped_);
  }
  return figures;
}

std::string RunProgress::progressText() {
  return lodemig::progressText(figures(Clock::now()));
}

int RunProgress::columns() {
  return ostrel::utils::terminalColumns(STDOUT_FILENO);
}

}  // namespace lodemig
