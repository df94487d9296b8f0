#ifndef LODEMIG_TESTS_DOVECOT_H_
#define LODEMIG_TESTS_DOVECOT_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig::testing {

// How a private dovecot instance is set up.
struct DovecotOptions {
  // Accounts and their passwords.
  std::vector<std::pair<std::string, std::string>> users = {{"tester", "secret"}};
  // A master user who may log in for any account ("" none), with "*" as the
  // LOGIN separator ("john@example.com*admin").
  std::string masterUser;
  std::string masterPassword;
  // With both: TLS on a second port, and STARTTLS on the first.
  std::string tlsCert;
  std::string tlsKey;
  // Sent, Trash, Drafts and Junk exist in every account, marked with their
  // special-use attributes.
  bool specialFolders = false;
  // The zlib plugins are loaded: COMPRESS=DEFLATE is offered after the login.
  bool compress = false;
};

// A dovecot master process in the foreground with a configuration of its own
// (run and state directories, a passwd-file, maildirs stored with CR LF) in
// `dir`, on free loopback ports. Stopped by PID with SIGTERM when destroyed,
// and by the kernel should the test process die.
class Dovecot {
 public:
  static constexpr char kDovecot[] = "/usr/sbin/dovecot";
  static constexpr char kDoveadm[] = "/usr/bin/doveadm";
  // True when dovecot-imapd is installed.
  static bool installed();

  Dovecot(const ScopedTempDir& dir, const DovecotOptions& options = DovecotOptions());
  ~Dovecot();
  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  // Why it did not start; "" when it runs.
  const std::string& problem() const { return problem_; }
  int port() const { return port_; }
  // The implicit TLS port; 0 without TLS.
  int tlsPort() const { return tlsPort_; }

  // doveadm with this instance's configuration; its standard output, the
  // exit status in *status.
  std::string doveadm(const std::vector<std::string>& arguments, int* status) const;
  // Delivers the message in `messageFile` into `user`'s `mailbox` as mail
  // from elsewhere would come (doveadm save); doveadm's exit status.
  int save(const std::string& user, const std::string& mailbox,
           const std::string& messageFile) const;
  // One field of one message (by UID) of `user`'s `mailbox`, as doveadm
  // fetch prints it, with its "name: " (or "name:\n" for the text) taken off.
  std::string fetch(const std::string& user, const std::string& mailbox, const std::string& field,
                    int uid) const;

 private:
  std::string config_;
  std::string problem_;
  pid_t pid_ = -1;
  int port_ = 0;
  int tlsPort_ = 0;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_DOVECOT_H_
