#ifndef LODEMIG_BENCH_WINDOW_DOVECOT_H_
#define LODEMIG_BENCH_WINDOW_DOVECOT_H_

#include <string>

namespace lodemig::bench {

// What the window sweep into dovecot needs; paths absolute.
struct DovecotWindowSetup {
  std::string lodemig;
  std::string launcher;
  std::string work;
  int runs = 3;
  int messages = 2000;
};

// lodemig with -targetType imap and -window 1, 4, 8, 16, 32 and 64 into a
// fresh private dovecot per run, on loopback and through a relay of 5 ms
// each way, each row beside the same path's window 1: the figures the
// default window of a standard server is chosen by. Prints the table;
// returns 0, or 1 when a run could not be verified (dovecot must hold every
// message). Throws std::runtime_error when dovecot cannot start.
int runDovecotWindows(const DovecotWindowSetup& setup);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_WINDOW_DOVECOT_H_
