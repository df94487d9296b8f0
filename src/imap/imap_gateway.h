#ifndef LODEMIG_IMAP_IMAP_GATEWAY_H_
#define LODEMIG_IMAP_IMAP_GATEWAY_H_

#include <string>
#include <vector>

#include "imap/imap_client.h"
#include "imap/imap_exception.h"
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

// The GatewayResult of an ImapException: 3 for a time-out, a failed or
// broken connection, 4 for a refused login, 9 for content that cannot be
// produced, `fallback` for any other.
GatewayResult gatewayResultFor(const ImapException& error, GatewayResult fallback);

// The FolderKind bit of a FolderType (1 contacts ... 5 mail, 6 notes); 0 for
// any other value.
unsigned folderKindBits(int folderType);
// "X-ALL" when the low 15 bits are all set, else the word of the lowest set
// bit ("X-CONTACT", "X-CALENDAR", "X-TODO", "X-JOURNAL", "X-MAIL", "X-MAPI",
// "X-NOTE", "X-SEARCH"), else "".
std::string folderKindWord(unsigned bits);
// True when the last word of an X-CHECKVERSION completion line is a version
// major.minor.patch of 6.3 or newer.
bool versionAtLeast63(const std::string& finalLine);

// Result-code facade over one ImapClient: every ImapException is caught here
// and turned into a GatewayResult, one try/catch per operation. Other
// exceptions pass through. Command operations on a gateway that is not
// connected return kGatewayNotConnected without touching the client.
class ImapGateway {
 public:
  static constexpr unsigned kTimeoutSeconds = 180;

  ImapGateway() = default;
  virtual ~ImapGateway() = default;
  ImapGateway(const ImapGateway&) = delete;
  ImapGateway& operator=(const ImapGateway&) = delete;

  // Connects and logs in (X-MASTERAUTH after connectMaster, else CRAM-MD5 or
  // LOGIN as `user`). 2 when already connected, 4 when refused, 3 when the
  // server cannot be reached or breaks the connection.
  GatewayResult connect(const std::string& host, int port, const std::string& user,
                        const std::string& password, bool useCramMd5);
  // connect() as administrator with the master password.
  GatewayResult connectMaster(const std::string& host, int port, const std::string& password,
                              const std::string& ignored = std::string());
  // Logs out (when asked; its failures are ignored) and closes the stream.
  void disconnect(bool sendLogout);

  // X-CREATEUSER; 5 when refused. The groups list is sent only when not empty.
  GatewayResult createUser(const std::string& name, const std::string& domain,
                           const std::string& password, const std::string& fullName,
                           const std::vector<std::string>& groups = {});
  // X-SETUSER "user@domain"; 6 when refused. An accepted identity is
  // re-applied by the client whenever it has to reconnect.
  GatewayResult setUser(const std::string& user, const std::string& domain);
  // CREATE with the kind word of `folderType` (and the GUID when given); 7
  // when refused.
  GatewayResult createFolder(const std::string& name, int folderType,
                             const std::string& guid = std::string());
  // SELECT; the client becomes Selected. 10 when refused.
  GatewayResult select(const std::string& name);
  // APPEND (or X-APPEND) with the message's flags, date and content as a
  // non-synchronizing literal; 8 when refused, 9 when the content cannot be
  // produced or does not match its size.
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
