#include "migration/account_pool.h"

#include <iostream>

namespace lodemig {
namespace {

constexpr std::chrono::milliseconds kProgressPeriod{1000};

ThrottleSettings throttleSettings(const AccountPool::Shared& shared, std::size_t jobs) {
  ThrottleSettings settings;
  settings.maxBytesPerSecond = shared.settings.maxBytesPerSecond;
  settings.maxMessagesPerSecond = shared.settings.maxMessagesPerSecond;
  // The window starts as each account's own (in messages, with the batches
  // of several per command); only a slow-down makes it smaller.
  settings.connections = jobs;
  settings.pauseUnit = std::chrono::milliseconds(shared.settings.backOffUnitMs);
  return settings;
}

}  // namespace

// A held report keeps its console lines even in a quiet run: the run's own
// Reporter, which receives them, decides what a quiet run still shows.
AccountPool::Worker::Worker(const Shared& shared, bool own)
    : ownReporter(own ? std::make_unique<Reporter>(log, console, std::cerr, false) : nullptr),
      ownGateway(own ? std::make_unique<ImapGateway>() : nullptr),
      reporter(own ? *ownReporter : shared.out),
      gateway(own ? *ownGateway : shared.gateway),
      account(shared.settings, shared.connection, gateway, reporter, shared.passwords) {
  if (own) {
    // Several connections at once: their exchanges interleave anyway.
    account.saveRoundTrips();
    reporter.hideCounters();
  }
  account.useJournal(shared.journal);
  account.useReport(shared.report);
  account.useWatcher(shared.watcher);
}

AccountPool::AccountPool(int jobs, const Shared& shared)
    : jobs_(static_cast<std::size_t>(jobs < 1 ? 1 : jobs)),
      shared_(shared),
      throttle_(throttleSettings(shared, jobs_)),
      out_(shared.out) {
  const bool held = jobs_ > 1;
  for (std::size_t i = 0; i < jobs_; ++i) {
    workers_.push_back(std::make_unique<Worker>(shared, held));
    workers_.back()->account.useThrottle(&throttle_);
  }
  if (!held) {
    return;  // a pool of one runs on the walk's thread
  }
  for (auto& worker : workers_) {
    threads_.emplace_back([this, &worker] { run(*worker); });
  }
}

AccountPool::~AccountPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

void AccountPool::submit(Mailbox& mailbox) {
  if (jobs_ == 1) {
    // The account's own lines go to the run's log as they come; the walk's
    // go back where the walk keeps them afterwards.
    struct LogFor {
      Mailbox& mailbox;
      std::ostream* walk;
      ~LogFor() { mailbox.setLog(walk); }
    } restore{mailbox, mailbox.log()};
    mailbox.setLog(&out_.logStream());
    const JobOutcome outcome = runJob(*workers_.front(), mailbox);
    shared_.policy.settle(outcome, out_);
    return;
  }
  // No further account starts once a stop signal has come.
  stopIfAsked();
  std::unique_lock<std::mutex> lock(mutex_);
  rethrowFatal();
  waitUntil(lock, [&] { return fatal_ || waiting_.size() + busy_ < jobs_ + 1; });
  rethrowFatal();
  waiting_.push_back(mailbox);
  changed_.notify_all();
}

void AccountPool::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  waitUntil(lock, [&] { return waiting_.empty() && busy_ == 0; });
  rethrowFatal();
}

void AccountPool::output(const std::function<void()>& write) {
  const std::lock_guard<std::mutex> lock(mutex_);
  write();
}

void AccountPool::run(Worker& worker) {
  for (;;) {
    Mailbox mailbox(nullptr);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Once the server asked to slow down, fewer accounts run at once: the
      // accounts under way end as they would, and no new one starts meanwhile.
      changed_.wait(lock, [&] {
        return stopping_ || (!waiting_.empty() && busy_ < throttle_.connections());
      });
      if (waiting_.empty()) {
        return;
      }
      mailbox = waiting_.front();
      waiting_.pop_front();
      ++busy_;
    }
    mailbox.setLog(&worker.log);
    JobOutcome outcome;
    std::exception_ptr fatal;
    try {
      outcome = runJob(worker, mailbox);
    } catch (...) {
      fatal = std::current_exception();
    }
    finish(worker, outcome, fatal);
  }
}

JobOutcome AccountPool::runJob(Worker& worker, Mailbox& mailbox) {
  return migrateAccountJob(worker.account, worker.reporter, mailbox, shared_.settings.retries);
}

void AccountPool::finish(Worker& worker, const JobOutcome& outcome, std::exception_ptr fatal) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // The account's block, whole: every line from its " + mailbox" line on.
    out_.console(worker.console.str());
    out_.log(worker.log.str());
    worker.console.str("");
    worker.log.str("");
    if (!fatal) {
      try {
        shared_.policy.settle(outcome, out_);
      } catch (...) {
        fatal = std::current_exception();
      }
    }
    if (fatal && !fatal_) {
      // No further account starts; the ones under way end as they would.
      fatal_ = fatal;
      waiting_.clear();
    }
    --busy_;
  }
  changed_.notify_all();
}

void AccountPool::waitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
  while (!done()) {
    if (changed_.wait_for(lock, kProgressPeriod) == std::cv_status::timeout) {
      out_.refreshProgress();
    }
  }
}

void AccountPool::rethrowFatal() {
  if (fatal_) {
    std::rethrow_exception(fatal_);
  }
}

}  // namespace lodemig
