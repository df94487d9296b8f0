#ifndef LODEMIG_IMAP_IMAP_GATEWAY_H_
#define LODEMIG_IMAP_IMAP_GATEWAY_H_

#include <string>

#include "imap/imap_client.h"
#include "utils/imessage.h"

namespace lodemig {

// The integer every gateway operation returns.
using GatewayResult = int;
constexpr GatewayResult kGatewayOk = 0;
constexpr GatewayResult kGatewayNotConnected = 1;
constexpr GatewayResult kGatewayAlreadyConnected = 2;
constexpr GatewayResult kGatewayConnectionProblem = 3;
constexpr GatewayResult kGatewayAuthenticationFailed = 4;
constexpr GatewayResult kGatewayCreateUserFailed = 5;
constexpr GatewayResult kGatewaySetUserFailed = 6;
constexpr GatewayResult kGatewayCreateFolderFailed = 7;
constexpr GatewayResult kGatewayAppendFailed = 8;
constexpr GatewayResult kGatewayContentFailed = 9;
constexpr GatewayResult kGatewaySelectFailed = 10;

// Result-code facade over one ImapClient: every ImapException is caught here
// and turned into a GatewayResult, one try/catch per operation. Other
// exceptions pass through.
class ImapGateway {
 public:
  static constexpr unsigned kTimeoutSeconds = 180;

  ImapGateway() = default;
  virtual ~ImapGateway() = default;
  ImapGateway(const ImapGateway&) = delete;
  ImapGateway& operator=(const ImapGateway&) = delete;

  GatewayResult connect(const std::string& host, int port, const std::string& user,
                        const std::string& password, bool useCramMd5);
  GatewayResult connectMaster(const std::string& host, int port, const std::string& password,
                              const std::string& ignored = std::string());
  void disconnect(bool sendLogout);

  GatewayResult createUser(const std::string& name, const std::string& domain,
                           const std::string& password, const std::string& fullName);
  GatewayResult setUser(const std::string& user, const std::string& domain);
  GatewayResult createFolder(const std::string& name, int folderType);
  GatewayResult select(const std::string& name);
  GatewayResult append(const std::string& folderName, IMessage& message, bool useXAppend);
  // True when the server reports version 6.3 or newer; never fails.
  bool checkVersion();

  bool connected() const { return connected_; }
  ImapClient& client() { return client_; }

  // Tests may shorten the read time-out.
  void setTimeoutSeconds(unsigned seconds) { timeoutSeconds_ = seconds; }

 private:
  bool connected_ = false;
  ImapClient client_;
  bool master_ = false;
  unsigned timeoutSeconds_ = kTimeoutSeconds;
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_GATEWAY_H_
