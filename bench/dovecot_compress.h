#ifndef LODEMIG_BENCH_DOVECOT_COMPRESS_H_
#define LODEMIG_BENCH_DOVECOT_COMPRESS_H_

#include <string>

namespace lodemig::bench {

// What the -compress rows need from lodemig-bench-dovecot's command line.
struct CompressRowsSetup {
  std::string lodemig;   // the lodemig binary
  std::string launcher;  // lodemig-bench-launch
  std::string work;      // scratch directory (a "compress" folder is made in it)
  std::string results;   // file the table is appended to; "" none
  std::string commit;
  int runs = 3;
  int messages = 2000;  // of the text workload
};

// lodemig with -compress against without, into a private dovecot with its
// zlib plugins behind a relay of 20 Mbit/s and 5 ms each way: small text
// messages, then messages with a large base64 attachment each. Each run into
// a fresh instance, every message then compared byte for byte with the
// store. Prints the table (and appends it to `results`); 0 when every run
// was verified, 1 otherwise; throws std::runtime_error when dovecot cannot
// start.
int runCompressRows(const CompressRowsSetup& setup);

}  // namespace lodemig::bench

#endif  // LODEMIG_BENCH_DOVECOT_COMPRESS_H_
