#ifndef LODEMIG_TARGET_TARGET_SERVER_H_
#define LODEMIG_TARGET_TARGET_SERVER_H_

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "target/mail_store.h"
#include "target/server_state.h"
#include "target/target_options.h"
#include "utils/tcp_server.h"
#include "utils/tls_server.h"

namespace lodemig::target {

// The stand-in target server: listens, serves each connection in its own
// thread with an ImapSession, and owns the store they all write to.
//
// Use: construct, start(), run() in one thread, stop() from any other; after
// run() returned, summaryLine(). Destroy it only after run() returned (or
// when run() was never called).
class TargetServer {
 public:
  // Loads the TLS certificate and key, creates the store and the accounts of
  // the options. Throws QLException when the certificate or key, the store or
  // the transcript directory cannot be used or an account cannot be created.
  explicit TargetServer(TargetOptions options);
  ~TargetServer() = default;
  TargetServer(const TargetServer&) = delete;
  TargetServer& operator=(const TargetServer&) = delete;

  // Binds the listening socket; throws QLException with the reason.
  void start();
  // The port bound by start().
  std::uint16_t port() const { return listener_.port(); }
  // Accepts and serves connections until stop(); then ends every open
  // connection and waits for all their threads before returning.
  void run();
  // Makes run() end. Returns at once; safe from any thread.
  void stop();

  // "accounts: A folders: F messages: M bytes: B digest: HEX", HEX being
  // the store's StoreDigest. Call it after run() has returned.
  std::string summaryLine();
  // The store's AccountsDigest. Call it after run() has returned.
  std::string accountsDigest();
  MailStore& store() { return store_; }

 private:
  struct Worker {
    ostrel::utils::ServerConnection connection;
    std::thread thread;
    bool finished = false;  // guarded by workersMutex_
  };

  // Loads tls_ when the options name a certificate; throws QLException.
  void loadTls();
  void serve(Worker& worker, std::uint64_t number);
  void joinFinished();

  const TargetOptions options_;
  // Loaded before store_ is created; state_ points to it.
  ostrel::utils::TlsServerContext tls_;
  MailStore store_;
  ServerState state_;
  ostrel::utils::TcpListener listener_;
  std::mutex workersMutex_;
  std::list<Worker> workers_;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_TARGET_SERVER_H_
