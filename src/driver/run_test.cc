#include "driver/run.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

TEST(ExitStatusTest, FixFirstOutranksRetryableWhichOutranksSuccess) {
  struct Case {
    RunEnding ending;
    int status;
  };
  const Case cases[] = {
      {{0, false, false, false}, 0},
      {{0, false, false, true}, 3},  // folders left pending
      {{0, false, true, false}, 3},  // the target down
      {{0, false, true, true}, 3},
      {{0, true, false, false}, 1},  // a refused login, message, a store error
      {{0, true, true, false}, 1},   // also when the target went down later
      {{0, true, false, true}, 1},
      {{2, true, true, true}, 130},  // a stop signal says how the run ended
      {{15, false, false, false}, 143},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exitStatusFor(c.ending), c.status)
        << c.ending.stopSignal << c.ending.needsFix << c.ending.mayPass << c.ending.pending;
  }
}

}  // namespace
}  // namespace lodemig
