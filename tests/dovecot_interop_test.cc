// The IMAP client against a real server that nobody here wrote: a private
// dovecot instance on 127.0.0.1, checked afterwards with dovecot's own doveadm.

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "imap/imap_gateway.h"
#include "tests/process.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

constexpr char kDovecot[] = "/usr/sbin/dovecot";
constexpr char kDoveadm[] = "/usr/bin/doveadm";

// Messages are stored with CR LF, so doveadm shows them byte for byte.
constexpr char kConfig[] = R"(base_dir = @DIR@/run
state_dir = @DIR@/state
log_path = @DIR@/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login cram-md5
auth_failure_delay = 0
default_login_user = @LOGIN@
default_internal_user = @INTERNAL@
default_internal_group = @GROUP@
mail_location = maildir:@DIR@/mail/%u
mail_save_crlf = yes
mail_uid = @UID@
mail_gid = @GID@
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u @DIR@/users
}
userdb {
  driver = passwd-file
  args = username_format=%u @DIR@/users
  default_fields = uid=@UID@ gid=@GID@ home=@DIR@/mail/%u
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = @PORT@
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
)";

int freePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

bool accepts(int port) {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected =
      ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return connected;
}

// A dovecot master process in the foreground with a configuration of its own
// (run and state directories, a passwd-file with one user "tester" / "secret",
// maildirs stored with CR LF) in `dir`. Stopped by PID with SIGTERM.
class Dovecot {
 public:
  explicit Dovecot(const testing::ScopedTempDir& dir) : config_(dir / "dovecot.conf") {
    // As root, dovecot wants unprivileged users for its login and internal
    // processes and a non-root owner for the mail.
    std::string loginUser, internalUser, internalGroup = "dovecot";
    uid_t mailUid = ::getuid();
    gid_t mailGid = ::getgid();
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (nobody == nullptr || ::getpwnam("dovenull") == nullptr ||
          ::getpwnam("dovecot") == nullptr) {
        problem_ = "the users dovenull, dovecot and nobody are missing";
        return;
      }
      nobody = ::getpwnam("nobody");  // the lookups share one record
      loginUser = "dovenull";
      internalUser = "dovecot";
      mailUid = nobody->pw_uid;
      mailGid = nobody->pw_gid;
    } else {
      const passwd* me = ::getpwuid(::getuid());
      loginUser = internalUser = me != nullptr ? me->pw_name : "";
      const group* mine = ::getgrgid(::getgid());
      internalGroup = mine != nullptr ? mine->gr_name : "";
    }
    port_ = freePort();
    const std::string mail = dir / "mail";
    testing::makeDirectories(mail);
    if (::chmod(dir.path().c_str(), 0755) != 0 || ::chown(mail.c_str(), mailUid, mailGid) != 0) {
      problem_ = "cannot prepare " + dir.path();
      return;
    }
    testing::writeFile(dir / "users", "tester:{PLAIN}secret::::::\n");
    std::string config = kConfig;
    const std::pair<std::string, std::string> values[] = {{"@DIR@", dir.path()},
                                                          {"@PORT@", std::to_string(port_)},
                                                          {"@LOGIN@", loginUser},
                                                          {"@INTERNAL@", internalUser},
                                                          {"@GROUP@", internalGroup},
                                                          {"@UID@", std::to_string(mailUid)},
                                                          {"@GID@", std::to_string(mailGid)}};
    for (const auto& [name, value] : values) {
      for (std::size_t at = config.find(name); at != std::string::npos; at = config.find(name)) {
        config.replace(at, name.size(), value);
      }
    }
    testing::writeFile(config_, config);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Should the test itself be killed, dovecot must not outlive it.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::execl(kDovecot, "dovecot", "-F", "-c", config_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int attempt = 0; attempt < 200 && pid_ > 0; ++attempt) {
      if (accepts(port_)) {
        return;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    problem_ = "dovecot did not start; see " + dir / "dovecot.log";
  }

  ~Dovecot() {
    if (pid_ <= 0) {
      return;
    }
    ::kill(pid_, SIGTERM);
    for (int attempt = 0; attempt < 200; ++attempt) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  const std::string& problem() const { return problem_; }
  int port() const { return port_; }

  // One field of one message of "Foo Bar", as doveadm fetch prints it, with
  // its "name: " (or "name:\n" for the text) taken off.
  std::string fetch(const std::string& field, int uid) const {
    const testing::ProcessResult result =
        testing::runProcess(kDoveadm, {"-c", config_, "fetch", "-u", "tester", field, "mailbox",
                                       "Foo Bar", "uid", std::to_string(uid)});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const std::size_t colon = result.out.find(':');
    if (colon == std::string::npos) {
      return std::string();
    }
    std::string value = result.out.substr(colon + 2);
    if (field != "text" && !value.empty() && value.back() == '\n') {
      value.pop_back();
    }
    return value;
  }

 private:
  std::string config_;
  std::string problem_;
  pid_t pid_ = -1;
  int port_ = 0;
};

class StoredMessage : public IMessage {
 public:
  StoredMessage(std::string content, std::string flags, std::string date)
      : content_(std::move(content)), flags_(std::move(flags)), date_(std::move(date)) {}
  bool firstChunk(std::string& buffer) override {
    position_ = 0;
    return nextChunk(buffer);
  }
  bool nextChunk(std::string& buffer) override {
    buffer = content_.substr(position_, 4000);
    position_ += buffer.size();
    return !buffer.empty();
  }
  std::string flags() const override { return flags_; }
  std::string internalDate() const override { return date_; }
  std::uint64_t storedSize() const override { return content_.size(); }
  std::uint32_t contentSize() override { return static_cast<std::uint32_t>(content_.size()); }
  const std::string& content() const { return content_; }

 private:
  std::string content_, flags_, date_;
  std::size_t position_ = 0;
};

std::set<std::string> flagSet(const std::string& text) {
  std::set<std::string> flags;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (word != "\\Recent") {  // a fresh message is recent to doveadm's session
      flags.insert(word);
    }
  }
  return flags;
}

ConnectionSettings loopback(int port, unsigned timeoutSeconds) {
  ConnectionSettings settings;
  settings.host = "127.0.0.1";
  settings.port = port;
  settings.timeoutSeconds = timeoutSeconds;
  return settings;
}

TEST(DovecotInteropTest, LoginCreateSelectAndAppendArriveIntact) {
  if (::access(kDovecot, X_OK) != 0 || ::access(kDoveadm, X_OK) != 0) {
    GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
  }
  testing::ScopedTempDir dir;
  const Dovecot dovecot(dir);
  ASSERT_EQ(dovecot.problem(), "");

  std::string big;
  for (int line = 0; big.size() < 30000; ++line) {
    big += "line " + std::to_string(line) + " of a long body with \"quotes\" and \\ \r\n";
  }
  std::vector<StoredMessage> messages = {
      {"Subject: one\r\n\r\nfirst body\r\n", "\\Seen \\Answered ", "30-Jun-1993 21:49:08 +0000"},
      {"Subject: two\r\n\r\nno line end", "", "01-Jan-2020 00:00:01 +0000"},
      {"Subject: three\r\n\r\n" + big, "\\Flagged \\Draft \\Deleted ",
       "05-Dec-2026 03:04:05 +0000"},
  };
  const long long dates[] = {741476948, 1577836801, 1796439845};
  {
    ImapGateway gateway;
    ASSERT_EQ(gateway.connect(loopback(dovecot.port(), 10), "tester", "secret", false), kGatewayOk);
    EXPECT_EQ(gateway.createFolder("Foo Bar", 0), kGatewayOk);
    EXPECT_EQ(gateway.createFolder("Foo Bar", 0), kGatewayCreateFolderFailed);
    EXPECT_EQ(gateway.select("Nowhere"), kGatewaySelectFailed);
    EXPECT_EQ(gateway.select("Foo Bar"), kGatewayOk);
    for (StoredMessage& message : messages) {
      EXPECT_EQ(gateway.append("Foo Bar", message, false), kGatewayOk);
    }
    // The server knows no X-CHECKVERSION and says BAD; the connection goes on.
    EXPECT_FALSE(gateway.checkVersion());
    EXPECT_EQ(gateway.select("INBOX"), kGatewayOk);
    gateway.disconnect(true);
  }
  for (int uid = 1; uid <= 3; ++uid) {
    const StoredMessage& message = messages[static_cast<std::size_t>(uid - 1)];
    EXPECT_EQ(dovecot.fetch("text", uid), message.content()) << uid;
    EXPECT_EQ(flagSet(dovecot.fetch("flags", uid)), flagSet(message.flags())) << uid;
    EXPECT_EQ(dovecot.fetch("date.received.unixtime", uid), std::to_string(dates[uid - 1]));
  }

  ImapGateway cram;
  const ConnectionSettings settings = loopback(dovecot.port(), ConnectionSettings().timeoutSeconds);
  ASSERT_EQ(cram.connect(settings, "tester", "secret", true), kGatewayOk);
  std::int64_t count = -2;
  EXPECT_EQ(cram.select("Foo Bar", &count), kGatewayOk);
  EXPECT_EQ(count, 3);
  cram.disconnect(true);
  // Last: the server delays every login from an address after a refusal.
  EXPECT_EQ(cram.connect(settings, "tester", "wrong", true), kGatewayAuthenticationFailed);
}

}  // namespace
}  // namespace lodemig
