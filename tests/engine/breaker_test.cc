#include "engine/breaker.h"

#include <gtest/gtest.h>

#include "api/policy/breaker_policy.h"

namespace vorn {
namespace {

Instant at(std::uint64_t ms) {
  return Instant{} + std::chrono::milliseconds(ms);
}

TEST(Breaker, CountModeOpensAtThresholdAndProbes) {
  BreakerPolicy p;
  p.failures = 3;
  p.cooldown = 10000;
  Breaker b;
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0)), BreakerTransition::kNone);
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0)), BreakerTransition::kNone);
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0)), BreakerTransition::kOpened);
  EXPECT_EQ(b.opens, 1u);
  EXPECT_EQ(breaker_admit(b, at(9999)), BreakerTicket::kRejected);
  EXPECT_TRUE(breaker_is_open(b, at(9999)));
  EXPECT_EQ(breaker_admit(b, at(10000)), BreakerTicket::kProbe);
  EXPECT_FALSE(breaker_is_open(b, at(10000)));
  // A failed probe reopens for a new cooldown.
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kProbe, at(10000)), BreakerTransition::kOpened);
  EXPECT_EQ(b.opens, 2u);
  EXPECT_EQ(breaker_admit(b, at(19999)), BreakerTicket::kRejected);
  // A success closes it, also one admitted before it opened.
  EXPECT_EQ(breaker_on_success(b, p, at(15000)), BreakerTransition::kClosed);
  EXPECT_EQ(breaker_admit(b, at(15000)), BreakerTicket::kAdmit);
}

TEST(Breaker, SuccessesResetTheConsecutiveCount) {
  BreakerPolicy p;
  p.failures = 3;
  Breaker b;
  for (bool failed : {true, true, false, true, true}) {
    auto t = failed ? breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0))
                    : breaker_on_success(b, p, at(0));
    EXPECT_EQ(t, BreakerTransition::kNone);
  }
}

TEST(Breaker, CountModeDefaultsToFive) {
  BreakerPolicy p;
  Breaker b;
  for (int i = 0; i < 4; ++i) breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0));
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0)), BreakerTransition::kOpened);
}

struct RateCase {
  const char* name;
  const char* sequence;  // 'F' failure, 'S' success, one call per ms
  int opens_at;          // index of the call that opens, or -1
};

class RateModeTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateModeTest, OpensWhenTheWindowShareIsReached) {
  BreakerPolicy p;
  p.window = 60000;
  p.failure_rate = 0.5;
  Breaker b;
  int opened = -1;
  const char* seq = GetParam().sequence;
  for (int i = 0; seq[i]; ++i) {
    auto t = seq[i] == 'F' ? breaker_on_failure(b, p, BreakerTicket::kAdmit, at(i))
                           : breaker_on_success(b, p, at(i));
    if (t == BreakerTransition::kOpened && opened < 0) opened = i;
  }
  EXPECT_EQ(opened, GetParam().opens_at);
}

INSTANTIATE_TEST_SUITE_P(Windows, RateModeTest,
                         ::testing::Values(RateCase{"nine_failures_are_too_few", "FFFFFFFFF", -1},
                                           RateCase{"tenth_failure_opens", "FFFFFFFFFF", 9},
                                           RateCase{"half_of_ten", "SSSSSFFFFF", 9},
                                           // A success never opens, even completing a window.
                                           RateCase{"success_never_opens", "FFFFFSSSSS", -1}),
                         [](const auto& info) { return info.param.name; });

TEST(Breaker, RateWindowDropsEntriesExactlyOneWindowOld) {
  BreakerPolicy p;
  p.window = 1000;
  p.failure_rate = 1.0;
  p.min_calls = 2;
  Breaker b;
  breaker_on_failure(b, p, BreakerTicket::kAdmit, at(0));
  // The first entry is exactly one window old here, so only one entry remains: too few.
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(1000)), BreakerTransition::kNone);
  EXPECT_EQ(breaker_on_failure(b, p, BreakerTicket::kAdmit, at(1999)), BreakerTransition::kOpened);
}

}  // namespace
}  // namespace vorn
