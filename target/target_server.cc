#include "target/target_server.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "target/imap_session.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

TargetServer::TargetServer(TargetOptions options)
    : options_(std::move(options)),
      // The certificate is checked first, so that a bad one leaves no store
      // directory behind.
      store_((loadTls(), options_.storeDirectory), options_.reopenStore),
      state_(options_, store_, tls_.loaded() ? &tls_ : nullptr) {
  if (!options_.transcriptDirectory.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options_.transcriptDirectory, error);
    if (error) {
      throw QLException("cannot create directory " + options_.transcriptDirectory + ": " +
                        error.message());
    }
  }
  for (const AccountOption& account : options_.accounts) {
    switch (store_.createAccount(account.address, account.password, "")) {
      case MailStore::Outcome::kDone:
        break;
      case MailStore::Outcome::kExists:
        // A reopened store keeps the accounts of the server before.
        if (options_.reopenStore) {
          break;
        }
        throw QLException("account given twice: " + account.address);
      default:
        throw QLException("account cannot be created: " + account.address);
    }
  }
  state_.deliverAtStart();
}

void TargetServer::loadTls() {
  if (!options_.tlsCertificate.empty()) {
    const std::string error = tls_.load(options_.tlsCertificate, options_.tlsKey);
    if (!error.empty()) {
      throw QLException(error);
    }
  }
}

void TargetServer::start() {
  const int error = listener_.open(options_.listenAddress, options_.port);
  if (error != 0) {
    throw QLException("cannot listen on " + options_.listenAddress + " port " +
                      std::to_string(options_.port) + ": " + std::system_category().message(error));
  }
}

void TargetServer::run() {
  std::uint64_t accepted = 0;
  while (!state_.stopping()) {
    int error = 0;
    ostrel::utils::TcpConnection connection = listener_.accept(-1, &error);
    joinFinished();
    if (!connection.valid()) {
      if (error != 0 && !state_.stopping()) {
        // Out of descriptors or the like: give connections time to end
        // instead of spinning on the same failure.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    ++accepted;
    std::lock_guard<std::mutex> lock(workersMutex_);
    Worker& worker = workers_.emplace_back();
    worker.connection = ostrel::utils::ServerConnection(std::move(connection));
    try {
      worker.thread = std::thread(&TargetServer::serve, this, std::ref(worker), accepted);
    } catch (const std::system_error& e) {
      std::cerr << "lodemig-target: cannot serve connection " << accepted << ": " << e.what()
                << std::endl;
      workers_.pop_back();
    }
  }
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (Worker& worker : workers_) {
      worker.connection.shutdownBoth();
    }
  }
  // Joined without the lock: each worker takes it once more to finish.
  for (Worker& worker : workers_) {
    worker.thread.join();
  }
  workers_.clear();
}

void TargetServer::stop() {
  state_.requestStop();
  listener_.wake();
}

void TargetServer::serve(Worker& worker, std::uint64_t number) {
  std::ofstream transcript;
  if (!options_.transcriptDirectory.empty()) {
    const std::string path =
        options_.transcriptDirectory + "/conn-" + std::to_string(number) + ".txt";
    transcript.open(path, std::ios::binary | std::ios::trunc);
    if (!transcript) {
      std::cerr << "lodemig-target: cannot write " << path << std::endl;
    }
  }
  try {
    ImapSession session(state_, worker.connection, transcript.is_open() ? &transcript : nullptr);
    session.run();
    // Outside the lock: the close_notify may wait for the client.
    worker.connection.endTls();
  } catch (const std::exception& e) {
    // Such as a message too large for memory: this connection ends, the
    // others go on.
    std::cerr << "lodemig-target: connection " << number << ": " << e.what() << std::endl;
  }
  std::lock_guard<std::mutex> lock(workersMutex_);
  worker.connection.close();
  worker.finished = true;
}

void TargetServer::joinFinished() {
  std::lock_guard<std::mutex> lock(workersMutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->finished) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

std::string TargetServer::accountsDigest() {
  return store_.accountsDigest();
}

std::string TargetServer::summaryLine() {
  const StoreCounts counts = store_.counts();
  return "accounts: " + std::to_string(counts.accounts) +
         " folders: " + std::to_string(counts.folders) +
         " messages: " + std::to_string(counts.messages) +
         " bytes: " + std::to_string(counts.bytes) + " digest: " + store_.finishDigest();
}

}  // namespace lodemig::target
