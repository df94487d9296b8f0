#include "target/server_state.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "utils/ascii.h"

namespace lodemig::target {

namespace {

bool contains(const std::vector<std::uint64_t>& numbers, std::uint64_t number) {
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

using ostrel::utils::equalsIgnoreCase;

}  // namespace

ServerState::ServerState(const TargetOptions& options, MailStore& store,
                         const ostrel::utils::TlsServerContext* tls)
    : options_(options), store_(store), tls_(tls), random_(std::random_device{}()) {}

bool ServerState::countCommandForBye() {
  const std::uint64_t number = ++commands_;
  return contains(options_.byeAt, number);
}

ServerState::AppendFault ServerState::countAppend() {
  const std::uint64_t number = ++appends_;
  const std::pair<const std::vector<std::uint64_t>&, AppendFault> switches[] = {
      {options_.dropAppend, AppendFault::kDrop},   {options_.refuseAppend, AppendFault::kRefuse},
      {options_.loseAppend, AppendFault::kLose},   {options_.doubleAppend, AppendFault::kDouble},
      {options_.alterAppend, AppendFault::kAlter},
  };
  for (const auto& [numbers, fault] : switches) {
    if (contains(numbers, number)) {
      return fault;
    }
  }
  return AppendFault::kNone;
}

bool ServerState::refusesSetUser(std::string_view address) const {
  return std::any_of(options_.refuseSetUser.begin(), options_.refuseSetUser.end(),
                     [address](const std::string& refused) {
                       return refused == "*" || equalsIgnoreCase(refused, address);
                     });
}

std::string ServerState::newChallenge() {
  if (!options_.fixedChallenge.empty()) {
    return options_.fixedChallenge;
  }
  std::uniform_int_distribution<unsigned> digits(10000, 99999);
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned first = digits(random_);
  const unsigned second = digits(random_);
  return "<" + std::to_string(first) + "." + std::to_string(second) + "@lodemig-target>";
}

void ServerState::delayAnswer() {
  if (options_.delayMs == 0) {
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_.wait_for(lock, std::chrono::milliseconds(options_.delayMs),
                    [this] { return stopping_.load(); });
}

void ServerState::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
}

}  // namespace lodemig::target
