#ifndef LODEMIG_BENCH_DOVECOT_ACCOUNTS_H_
#define LODEMIG_BENCH_DOVECOT_ACCOUNTS_H_

#include <string>

namespace lodemig::bench {

// How the many-accounts rows run.
struct AccountRowsOptions {
  std::string lodemig;  // absolute paths of the tool and the launcher
  std::string launcher;
  std::string work;     // a directory of the rows' own is made inside
  std::string results;  // the table is appended here too ("" none)
  std::string commit = "unknown";
  int runs = 3;
  int accounts = 200;
  int messages = 10;  // per account
};

// Many small accounts, one at a time, into a fresh private dovecot per run
// through a DelayRelay of 5 ms each way: lodemig (-targetType imap, master
// user) against a shell loop of one mbsync per account (LOGIN as the master
// user), each with the round trips per account the relay counted. Prints the
// table (and appends it to options.results); 0 when every run's accounts
// hold their messages, 1 otherwise. Throws std::runtime_error when a
// dovecot or the relay cannot start.
int runAccountRows(const AccountRowsOptions& options);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_DOVECOT_ACCOUNTS_H_
