#ifndef LODEMIG_TARGET_TARGET_OPTIONS_H_
#define LODEMIG_TARGET_TARGET_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lodemig::target {

// An account to create when the server starts (--account user@domain:password).
struct AccountOption {
  std::string address;
  std::string password;
};

// Messages of the server's own to put into a folder (--deliver
// user@domain:Folder:COUNT[:AT]): at the start, or when the AT-th append of
// the server's lifetime arrives, before it is handled.
struct DeliveryOption {
  std::string address;
  std::string folder;
  std::uint64_t count = 0;
  std::uint64_t at = 0;  // 0: at the start
};

// Everything lodemig-target is told on its command line, plus the few knobs
// that only tests set.
struct TargetOptions {
  std::string listenAddress = "127.0.0.1";
  std::uint16_t port = 143;
  std::string masterPassword = "master";
  // The last word of the X-CHECKVERSION answer.
  std::string version = "6.4.1";
  std::vector<AccountOption> accounts;
  // Empty: keep only counts and the running digest, write no files.
  std::string storeDirectory;
  // Read back what a server wrote under storeDirectory before, UIDs
  // included, instead of refusing a store that holds accounts.
  bool reopenStore = false;
  // Empty: no transcripts.
  std::string transcriptDirectory;
  // Announced as APPENDLIMIT; larger messages are refused. None: no limit.
  std::optional<std::uint64_t> appendLimit;
  // TLS certificate chain and private key files (PEM), both or neither.
  // Without `starttls`, every connection begins with the TLS handshake.
  std::string tlsCertificate;
  std::string tlsKey;
  // Connections begin in the clear and CAPABILITY offers STARTTLS.
  bool starttls = false;
  // Fault switches. Numbers are 1-based over the server's lifetime, all
  // connections together; each switch may be given several times.
  std::vector<std::uint64_t> refuseAppend;
  std::vector<std::uint64_t> dropAppend;
  // Answered OK, but stored not at all, twice, or with other flags: what a
  // migration's check of the target has to notice.
  std::vector<std::uint64_t> loseAppend;
  std::vector<std::uint64_t> doubleAppend;
  std::vector<std::uint64_t> alterAppend;
  std::vector<std::uint64_t> byeAt;
  // As byeAt, with a BYE that says the server is overloaded.
  std::vector<std::uint64_t> busyByeAt;
  // Answer the append NO, then close the connection without reading or
  // answering what follows it.
  std::vector<std::uint64_t> refuseThenCut;
  // From the append on, answer nothing on its connection; once the client
  // has gone, store that append and those that came after it.
  std::vector<std::uint64_t> stallAt;
  std::vector<DeliveryOption> deliveries;
  // Every Nth append (N, 2N, ...) is answered "NO [UNAVAILABLE] ...", as a
  // server under load does; 0: none.
  std::uint64_t unavailableEvery = 0;
  // Leave UIDPLUS out of CAPABILITY and APPENDUID out of the append answers.
  bool noUidplus = false;
  // Announce MULTIAPPEND and take several messages in one APPEND: stored
  // all or none, the fault numbers counting each message.
  bool multiAppend = false;
  // A stalled connection's appends are stored only after the next append
  // another connection brings: a server that takes a dead connection's
  // input after the client has sent the same messages again.
  bool storeLate = false;
  // Addresses (compared without regard to case) or "*" for every one.
  std::vector<std::string> refuseSetUser;
  // STARTTLS faults: offered but answered NO; or taken but not offered.
  bool starttlsRefuse = false;
  bool noStarttlsCapability = false;
  // Offer COMPRESS=DEFLATE after the login and compress a connection that
  // asks for it.
  bool compress = false;
  unsigned delayMs = 0;
  // After the summary line, one more: "accounts digest: HEX", which does
  // not depend on the order in which the accounts arrived.
  bool accountsDigest = false;
  bool help = false;
  // --version without a value: print targetVersionLine() and exit.
  bool printVersion = false;

  // Not on the command line. When not empty, used as every login challenge.
  std::string fixedChallenge;
  // Bound on one command's lines and small literals together.
  std::size_t maxCommandLength = std::size_t{1} << 20;
  // Bound on a message literal.
  std::uint64_t maxLiteralSize = std::uint64_t{1} << 30;
};

// Parses argv[1] onwards. Options take their value as the next argument or
// after "=". --version alone (last, or before an argument starting with "-")
// sets printVersion; with a value it sets `version`. Throws QLException with a
// one-line reason (such as "unknown option: --x") for anything it cannot use,
// options that need another one included. Files are not looked at here.
TargetOptions parseTargetOptions(int argc, const char* const* argv);

// The --help text.
std::string targetUsage();

// "lodemig-target " and the version of the build, without a line end.
std::string targetVersionLine();

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_TARGET_OPTIONS_H_
