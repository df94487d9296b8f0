#include "target/server_state.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

#include "target/content_digest.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

namespace {

bool contains(const std::vector<std::uint64_t>& numbers, std::uint64_t number) {
  return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

using ostrel::utils::equalsIgnoreCase;

// A message no migration sends: its Message-ID names the folder's UID it
// gets and a digest of the account and folder, so that every delivered
// message differs from every other.
std::string foreignMessage(const DeliveryOption& delivery, std::uint64_t uid) {
  ContentDigest place;
  const std::string where = delivery.address + "/" + delivery.folder;
  place.update(where.data(), where.size());
  return "Message-ID: <delivered-" + std::to_string(uid) + "-" + place.hex() +
         "@lodemig-target>\r\nFrom: postmaster@lodemig-target\r\nTo: " + delivery.address +
         "\r\nSubject: delivered " + std::to_string(uid) + "\r\n\r\nDelivered into " + where +
         " while the migration ran.\r\n";
}

}  // namespace

bool ServerState::deliver(const DeliveryOption& delivery) {
  const std::optional<MailStore::AccountId> account = store_.findAccount(delivery.address);
  if (!account) {
    return false;
  }
  for (std::uint64_t i = 0; i < delivery.count; ++i) {
    const std::optional<FolderUids> uids = store_.folderUids(*account, delivery.folder);
    if (!uids) {
      return false;
    }
    const std::string message = foreignMessage(delivery, uids->next);
    ContentDigest digest;
    digest.update(message.data(), message.size());
    IncomingMessage incoming;
    incoming.command = "DELIVER";
    incoming.digest = digest.value();
    incoming.size = message.size();
    incoming.bytes = message;
    const std::string field = message.substr(0, message.find('\n') + 1);
    incoming.messageIdField = field;
    if (store_.storeMessage(*account, delivery.folder, incoming) != MailStore::Outcome::kDone) {
      return false;
    }
  }
  return true;
}

void ServerState::deliverAtStart() {
  for (const DeliveryOption& delivery : options_.deliveries) {
    if (delivery.at == 0 && !deliver(delivery)) {
      throw QLException("cannot deliver to " + delivery.address + ":" + delivery.folder +
                        ": no such account or folder");
    }
  }
}

ServerState::ServerState(const TargetOptions& options, MailStore& store,
                         const ostrel::utils::TlsServerContext* tls)
    : options_(options), store_(store), tls_(tls), random_(std::random_device{}()) {}

const char* ServerState::countCommandForBye() {
  const std::uint64_t number = ++commands_;
  if (contains(options_.busyByeAt, number)) {
    return "* BYE Too many connections, server overloaded";
  }
  return contains(options_.byeAt, number) ? "* BYE Server shutting down the connection" : nullptr;
}

ServerState::AppendFault ServerState::countAppend() {
  const std::uint64_t number = ++appends_;
  for (const DeliveryOption& delivery : options_.deliveries) {
    if (delivery.at == number && !deliver(delivery)) {
      // The migration goes on; whoever runs the server learns why nothing came.
      std::cerr << "lodemig-target: cannot deliver to " << delivery.address << ":"
                << delivery.folder << ": no such account or folder" << std::endl;
    }
  }
  const std::pair<const std::vector<std::uint64_t>&, AppendFault> switches[] = {
      {options_.dropAppend, AppendFault::kDrop},
      {options_.refuseAppend, AppendFault::kRefuse},
      {options_.refuseThenCut, AppendFault::kRefuseThenCut},
      {options_.stallAt, AppendFault::kStall},
      {options_.loseAppend, AppendFault::kLose},
      {options_.doubleAppend, AppendFault::kDouble},
      {options_.alterAppend, AppendFault::kAlter},
  };
  for (const auto& [numbers, fault] : switches) {
    if (contains(numbers, number)) {
      return fault;
    }
  }
  if (options_.unavailableEvery > 0 && number % options_.unavailableEvery == 0) {
    return AppendFault::kUnavailable;
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

void ServerState::keepLate(std::function<void()> store) {
  const std::lock_guard<std::mutex> lock(lateMutex_);
  late_.push_back(std::move(store));
}

void ServerState::storeLate() {
  std::vector<std::function<void()>> due;
  {
    const std::lock_guard<std::mutex> lock(lateMutex_);
    due.swap(late_);
  }
  for (const std::function<void()>& store : due) {
    store();
  }
}

}  // namespace lodemig::target
