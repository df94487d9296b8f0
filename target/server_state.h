#ifndef LODEMIG_TARGET_SERVER_STATE_H_
#define LODEMIG_TARGET_SERVER_STATE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "target/mail_store.h"
#include "target/target_options.h"
#include "utils/tls_server.h"

namespace lodemig::target {

// What all connections of one server share: the options, the store, the
// lifetime counters behind the fault switches and the stop flag. Every
// method may be called from any thread. The options, the store and the TLS
// context must outlive this object.
class ServerState {
 public:
  // `tls` is null when the options give no certificate.
  ServerState(const TargetOptions& options, MailStore& store,
              const ostrel::utils::TlsServerContext* tls = nullptr);
  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;

  const TargetOptions& options() const { return options_; }
  MailStore& store() { return store_; }
  // The loaded certificate and key; null without TLS.
  const ostrel::utils::TlsServerContext* tls() const { return tls_; }

  // Counts one more command (or append) and tells whether a fault switch is
  // set for its number. When an append has several, the first of kDrop,
  // kRefuse, kRefuseThenCut, kStall, kLose, kDouble and kAlter wins. The
  // deliveries due at the append's number are made first.
  // Counts a command; the text of the BYE it is to be answered with
  // (--bye-at, --busy-bye-at), or nullptr.
  const char* countCommandForBye();
  enum class AppendFault {
    kNone,
    kRefuse,
    kDrop,
    kLose,
    kDouble,
    kAlter,
    kRefuseThenCut,
    kStall,
    kUnavailable
  };
  AppendFault countAppend();
  // Makes the deliveries of the options that are due at the start; throws
  // QLException when their account or folder does not exist.
  void deliverAtStart();
  // Whether X-SETUSER of `address` is to be refused.
  bool refusesSetUser(std::string_view address) const;

  // A fresh login challenge such as "<12345.67890@lodemig-target>", or the
  // fixed one of the options.
  std::string newChallenge();

  // Waits the answer delay of the options; returns early when the server stops.
  void delayAnswer();
  void requestStop();
  bool stopping() const { return stopping_.load(); }

  // With --store-late: keeps what stores a stalled connection's appends
  // until storeLate(), which the next append of any connection calls.
  void keepLate(std::function<void()> store);
  void storeLate();

 private:
  // Stores `delivery.count` messages of the server's own; false when its
  // account or folder does not exist.
  bool deliver(const DeliveryOption& delivery);

  const TargetOptions& options_;
  MailStore& store_;
  const ostrel::utils::TlsServerContext* tls_;
  std::atomic<std::uint64_t> commands_{0};
  std::atomic<std::uint64_t> appends_{0};
  std::atomic<bool> stopping_{false};
  std::mutex lateMutex_;
  std::vector<std::function<void()>> late_;
  std::mutex mutex_;  // guards random_ and the stop wake-up
  std::condition_variable stopped_;
  std::mt19937_64 random_;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_SERVER_STATE_H_
