#include "migration/run_watcher.h"

namespace lodemig {

void RunWatchers::runStarted(const RunStartEvent& event) {
  for (RunWatcher* watcher : watchers_) {
    watcher->runStarted(event);
  }
}

void RunWatchers::runPlanned(const RunPlan& plan) {
  for (RunWatcher* watcher : watchers_) {
    watcher->runPlanned(plan);
  }
}

void RunWatchers::accountStarted(const std::string& account) {
  for (RunWatcher* watcher : watchers_) {
    watcher->accountStarted(account);
  }
}

void RunWatchers::messageStored(std::uint64_t bytes) {
  for (RunWatcher* watcher : watchers_) {
    watcher->messageStored(bytes);
  }
}

void RunWatchers::messageFailed(const MessageFailureEvent& event) {
  for (RunWatcher* watcher : watchers_) {
    watcher->messageFailed(event);
  }
}

void RunWatchers::folderEnded(const ReportRow& row) {
  for (RunWatcher* watcher : watchers_) {
    watcher->folderEnded(row);
  }
}

void RunWatchers::retried(const RetryEvent& event) {
  for (RunWatcher* watcher : watchers_) {
    watcher->retried(event);
  }
}

void RunWatchers::accountEnded(const AccountEndEvent& event) {
  for (RunWatcher* watcher : watchers_) {
    watcher->accountEnded(event);
  }
}

void RunWatchers::runEnded(const RunEndEvent& event) {
  for (RunWatcher* watcher : watchers_) {
    watcher->runEnded(event);
  }
}

}  // namespace lodemig
