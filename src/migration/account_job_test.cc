#include "migration/account_job.h"

#include <gtest/gtest.h>

#include <sstream>

#include "utils/ql_exception.h"

namespace lodemig {
namespace {

class SkipPolicyTest : public ::testing::Test {
 protected:
  JobOutcome lost(const std::string& user) {
    JobOutcome outcome;
    outcome.user = user;
    outcome.failed = outcome.broken = outcome.lost = true;
    outcome.lostWhat = "cannot append message";
    return outcome;
  }
  JobOutcome ran(bool failed) {
    JobOutcome outcome;
    outcome.user = "ann";
    outcome.ran = true;
    outcome.failed = failed;
    return outcome;
  }

  std::ostringstream log_;
  std::ostringstream console_;
  std::ostringstream errors_;
  Reporter reporter_{log_, console_, errors_, false};
  SkipPolicy policy_;
};

TEST_F(SkipPolicyTest, AnAccountThatRanFailsTheRunWithoutALineOfItsOwn) {
  policy_.settle(ran(false), reporter_);
  EXPECT_FALSE(policy_.anyFailed());
  // Its refused messages were said where they happened.
  policy_.settle(ran(true), reporter_);
  EXPECT_TRUE(policy_.anyFailed());
  EXPECT_EQ(console_.str(), "");
}

TEST_F(SkipPolicyTest, AnAccountThatEndedEarlyIsSaidAndTheWalkGoesOn) {
  JobOutcome broken;
  broken.user = "bob";
  broken.failed = broken.broken = true;
  policy_.settle(broken, reporter_);
  EXPECT_TRUE(policy_.anyFailed());
  EXPECT_EQ(console_.str(), "Error: cannot migrate mailbox <bob>\n");
  EXPECT_EQ(log_.str(), "Error: cannot migrate mailbox <bob>\n");
}

TEST_F(SkipPolicyTest, ThreeLostInARowEndTheRunUnlessOneRanBetween) {
  policy_.settle(lost("a"), reporter_);
  policy_.settle(lost("b"), reporter_);
  // An account that ran to its end shows the target is up.
  policy_.settle(ran(false), reporter_);
  policy_.settle(lost("c"), reporter_);
  policy_.settle(lost("d"), reporter_);
  try {
    policy_.settle(lost("e"), reporter_);
    FAIL() << "the third lost account in a row must end the run";
  } catch (const QLNetworkException& error) {
    EXPECT_STREQ(error.what(),
                 "cannot append message: 3 accounts in a row failed, Torvane seems down");
  }
  // The last one is not said as skipped: the run ends with it.
  EXPECT_EQ(console_.str(),
            "Error: cannot migrate mailbox <a>\nError: cannot migrate mailbox <b>\n"
            "Error: cannot migrate mailbox <c>\nError: cannot migrate mailbox <d>\n");
}

TEST_F(SkipPolicyTest, OnlyAccountsLostForAReasonThatMayPassLeaveNoFixNeeded) {
  JobOutcome mayPass = lost("a");
  mayPass.lostMayPass = true;
  policy_.settle(mayPass, reporter_);
  EXPECT_TRUE(policy_.anyFailed());
  EXPECT_FALSE(policy_.fixNeeded());
  // A certificate that fails at every try will not pass by itself.
  policy_.settle(ran(false), reporter_);
  policy_.settle(lost("b"), reporter_);
  EXPECT_TRUE(policy_.fixNeeded());

  SkipPolicy refusedOnly;
  refusedOnly.settle(ran(true), reporter_);
  EXPECT_TRUE(refusedOnly.fixNeeded());
}

TEST_F(SkipPolicyTest, TargetDownEndsTheRunAsMayPassWhenTheLastLossMayPass) {
  for (const bool mayPass : {true, false}) {
    SkipPolicy policy;
    JobOutcome outcome = lost("a");
    outcome.lostMayPass = mayPass;
    policy.settle(outcome, reporter_);
    policy.settle(outcome, reporter_);
    try {
      policy.settle(outcome, reporter_);
      FAIL() << "the third lost account in a row must end the run";
    } catch (const QLNetworkException& error) {
      EXPECT_EQ(error.mayPass(), mayPass);
    }
  }
}

}  // namespace
}  // namespace lodemig
