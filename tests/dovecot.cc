#include "tests/dovecot.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/process.h"

namespace lodemig::testing {
namespace {

// Messages are stored with CR LF, so doveadm shows them byte for byte.
constexpr char kConfig[] = R"(base_dir = @DIR@/run
state_dir = @DIR@/state
log_path = @DIR@/dovecot.log
protocols = imap
listen = 127.0.0.1
disable_plaintext_auth = no
auth_mechanisms = plain login cram-md5
auth_failure_delay = 0
auth_master_user_separator = *
default_login_user = @LOGIN@
default_internal_user = @INTERNAL@
default_internal_group = @GROUP@
mail_location = maildir:@DIR@/mail/%u
mail_save_crlf = yes
mail_fsync = never
mail_uid = @UID@
mail_gid = @GID@
@MASTER@passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u @DIR@/users
}
userdb {
  driver = passwd-file
  args = username_format=%u @DIR@/users
  default_fields = uid=@UID@ gid=@GID@ home=@DIR@/mail/%u
}
namespace inbox {
  inbox = yes
@SPECIAL@}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = @PORT@
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = @TLSPORT@
  }
}
service anvil {
  chroot =
}
)";

constexpr char kMaster[] = R"(passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u @DIR@/masters
  master = yes
}
)";

constexpr char kSpecial[] = R"(  mailbox Sent {
    auto = create
    special_use = \Sent
  }
  mailbox Trash {
    auto = create
    special_use = \Trash
  }
  mailbox Drafts {
    auto = create
    special_use = \Drafts
  }
  mailbox Junk {
    auto = create
    special_use = \Junk
  }
)";

void replaceAll(std::string& text, const std::string& name, const std::string& value) {
  for (std::size_t at = text.find(name); at != std::string::npos;
       at = text.find(name, at + value.size())) {
    text.replace(at, name.size(), value);
  }
}

}  // namespace

bool Dovecot::installed() {
  return ::access(kDovecot, X_OK) == 0 && ::access(kDoveadm, X_OK) == 0;
}

Dovecot::Dovecot(const ScopedTempDir& dir, const DovecotOptions& options)
    : config_(dir / "dovecot.conf") {
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
  port_ = freeLoopbackPort();
  const bool tls = !options.tlsCert.empty() && !options.tlsKey.empty();
  tlsPort_ = tls ? freeLoopbackPort() : 0;
  const std::string mail = dir / "mail";
  makeDirectories(mail);
  if (::chmod(dir.path().c_str(), 0755) != 0 || ::chown(mail.c_str(), mailUid, mailGid) != 0) {
    problem_ = "cannot prepare " + dir.path();
    return;
  }
  std::string users;
  for (const auto& [name, password] : options.users) {
    users += name + ":{PLAIN}" + password + "::::::\n";
  }
  writeFile(dir / "users", users);
  std::string config = kConfig;
  if (!options.masterUser.empty()) {
    writeFile(dir / "masters", options.masterUser + ":{PLAIN}" + options.masterPassword + "\n");
    replaceAll(config, "@MASTER@", kMaster);
  } else {
    replaceAll(config, "@MASTER@", "");
  }
  replaceAll(config, "@SPECIAL@", options.specialFolders ? kSpecial : "");
  if (options.compress) {
    // COMPRESS comes with imap_zlib, which needs the zlib mail plugin.
    config +=
        "mail_plugins = $mail_plugins zlib\n"
        "protocol imap {\n  mail_plugins = $mail_plugins imap_zlib\n}\n";
  }
  // Dovecot reads the key as root before it drops privileges.
  config += tls ? "ssl = yes\nssl_cert = <" + options.tlsCert + "\nssl_key = <" + options.tlsKey +
                      "\nssl_min_protocol = TLSv1.2\n"
                : "ssl = no\n";
  const std::pair<std::string, std::string> values[] = {{"@DIR@", dir.path()},
                                                        {"@PORT@", std::to_string(port_)},
                                                        {"@TLSPORT@", std::to_string(tlsPort_)},
                                                        {"@LOGIN@", loginUser},
                                                        {"@INTERNAL@", internalUser},
                                                        {"@GROUP@", internalGroup},
                                                        {"@UID@", std::to_string(mailUid)},
                                                        {"@GID@", std::to_string(mailGid)}};
  for (const auto& [name, value] : values) {
    replaceAll(config, name, value);
  }
  writeFile(config_, config);
  pid_ = ::fork();
  if (pid_ == 0) {
    // Should the test itself be killed, dovecot must not outlive it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::execl(kDovecot, "dovecot", "-F", "-c", config_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int attempt = 0; attempt < 200 && pid_ > 0; ++attempt) {
    if (acceptsOnLoopback(port_) && (tlsPort_ == 0 || acceptsOnLoopback(tlsPort_))) {
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

Dovecot::~Dovecot() {
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

std::string Dovecot::doveadm(const std::vector<std::string>& arguments, int* status) const {
  std::vector<std::string> all = {"-c", config_};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const ProcessResult result = runProcess(kDoveadm, all);
  *status = result.exitStatus;
  return result.out;
}

int Dovecot::save(const std::string& user, const std::string& mailbox,
                  const std::string& messageFile) const {
  // doveadm save reads the message from its standard input.
  const std::string command = std::string("exec ") + kDoveadm + " -c '" + config_ + "' save -u '" +
                              user + "' -m '" + mailbox + "' < '" + messageFile + "'";
  return runProcess("/bin/sh", {"-c", command}).exitStatus;
}

std::string Dovecot::fetch(const std::string& user, const std::string& mailbox,
                           const std::string& field, int uid) const {
  int status = 0;
  const std::string out = doveadm(
      {"fetch", "-u", user, field, "mailbox", mailbox, "uid", std::to_string(uid)}, &status);
  const std::size_t colon = out.find(':');
  if (status != 0 || colon == std::string::npos) {
    return std::string();
  }
  std::string value = out.substr(colon + 2);
  if (field != "text" && !value.empty() && value.back() == '\n') {
    value.pop_back();
  }
  return value;
}

}  // namespace lodemig::testing
