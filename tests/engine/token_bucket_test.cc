#include "engine/token_bucket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace vorn {
namespace {

struct BucketCase {
  const char* name;
  std::uint64_t count, period;
  std::vector<std::uint64_t> at_ms;  // arrival times
  std::vector<std::uint64_t> waits;  // expected waits
};

class TokenBucketTest : public ::testing::TestWithParam<BucketCase> {};

TEST_P(TokenBucketTest, WaitsFollowTheRate) {
  const BucketCase& c = GetParam();
  TokenBucket bucket;
  for (std::size_t i = 0; i < c.at_ms.size(); ++i) {
    EXPECT_EQ(bucket.plan_admit(c.at_ms[i], c.count, c.period), c.waits[i]) << "call " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, TokenBucketTest,
    ::testing::Values(BucketCase{"burst_then_spread", 2, 1000, {0, 0, 0, 0}, {0, 0, 500, 1000}},
                      // -2000 units after four calls; 500 ms later the refill gives -1000, the call
                      // takes a token (-2000) and waits 1000 ms.
                      BucketCase{
                          "refill_partial", 2, 1000, {0, 0, 0, 0, 500}, {0, 0, 500, 1000, 1000}},
                      BucketCase{"idle_refills_to_capacity",
                                 3,
                                 1000,
                                 {0, 0, 0, 100000, 100000, 100000, 100000},
                                 {0, 0, 0, 0, 0, 0, 334}},
                      BucketCase{"per_hour", 1, 3600000, {0, 0}, {0, 3600000}},
                      BucketCase{"clock_going_back_is_ignored", 1, 1000, {5000, 4000}, {0, 1000}}),
    [](const auto& info) { return info.param.name; });

TEST(TokenBucket, HugeRatesSaturateInsteadOfOverflowing) {
  TokenBucket bucket;
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(bucket.plan_admit(0, max, 3600000), 0u);
  EXPECT_EQ(bucket.plan_admit(max, max, 3600000), 0u);
}

}  // namespace
}  // namespace vorn
