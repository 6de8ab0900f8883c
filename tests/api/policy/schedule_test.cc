#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "api/policy/jitter.h"
#include "api/policy/retry_policy.h"
#include "api/policy/schedule.h"

namespace vorn {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

Schedule schedule(const std::string& text) {
  auto s = parse_schedule(text);
  EXPECT_TRUE(s.ok()) << text;
  return s.ok() ? *s : Schedule{};
}

std::vector<std::uint64_t> waits(const Schedule& s, std::uint64_t count) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t n = 1; n <= count; ++n) out.push_back(s.wait_and_jitter(n).first);
  return out;
}

TEST(WaitScheduleTest, ExactWaits) {
  struct Case {
    const char* text;
    std::vector<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"exp(200ms, x2, max 30s)", {200, 400, 800, 1600, 3200, 6400, 12800, 25600, 30000, 30000}},
      {"exp(100ms, x1.5)", {100, 150, 225, 338, 506}},
      {"fixed(1s) upTo 3s andThen exp(2s, x2)", {1000, 1000, 1000, 2000, 4000, 8000}},
      {"fixed(1s)", {1000, 1000, 1000}},
      {"exp(1s, x0)", {1000, 0, 0}},
      {"exp(1s, x-2)", {1000, 0, 4000, 0}},
      {"exp(1s, xNaN, max 5s)", {1000, 5000, 5000}},  // NaN^0 is 1
      {"exp(1s, xinf, max 5s)", {1000, 5000, 5000}},
      {"exp(0ms, xinf)", {0, kMax, kMax}},  // 0 × inf is not a number: the cap is taken
      {"exp(0ms, x2)", {0, 0, 0}},
      // A bound equal to the sum stays inside the segment.
      {"fixed(1s) upTo 2s andThen fixed(5s)", {1000, 1000, 5000, 5000}},
      // A first wait above the next segment's bound hands off again at once.
      {"fixed(1s) upTo 1s andThen fixed(3s) upTo 2s andThen fixed(7s)", {1000, 7000, 7000}},
      // Hand-off from an exponential segment; the next segment restarts at its first wait.
      {"exp(100ms, x2) upTo 500ms andThen exp(1s, x3, max 5s)", {100, 200, 1000, 3000, 5000}},
      {"fixed(0ms) upTo 1s andThen fixed(9s)", {0, 0, 0}},
      {"exp(1s, x2) upTo 1s andThen fixed(2s) upTo 4s andThen fixed(3s)",
       {1000, 2000, 2000, 3000, 3000}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(waits(schedule(c.text), c.expected.size()), c.expected) << c.text;
  }
}

TEST(WaitScheduleTest, JitterFlagFollowsTheProducingSegment) {
  Schedule s = schedule("exp(1s, x2, jitter) upTo 2s andThen fixed(5s)");
  EXPECT_EQ(s.wait_and_jitter(1), std::make_pair(std::uint64_t{1000}, true));
  EXPECT_EQ(s.wait_and_jitter(2), std::make_pair(std::uint64_t{5000}, false));
  EXPECT_EQ(schedule("exp(1s, x2)").wait_and_jitter(1).second, false);
  EXPECT_EQ(Schedule::default_schedule().wait_and_jitter(3),
            std::make_pair(std::uint64_t{800}, true));
}

TEST(WaitScheduleTest, ZeroCountsAsOneAndLargeCountsSaturate) {
  Schedule s = schedule("exp(200ms, x2, max 30s)");
  EXPECT_EQ(s.wait_and_jitter(0), s.wait_and_jitter(1));
  EXPECT_EQ(s.wait_and_jitter(kMax).first, 30000u);
  Schedule uncapped = schedule("exp(1h, x10)");
  EXPECT_EQ(uncapped.wait_and_jitter(100).first, kMax);
  EXPECT_EQ(uncapped.wait_and_jitter(kMax).first, kMax);
  // Sums saturate instead of wrapping, so a huge wait still hands off.
  Schedule huge = schedule("exp(1h, x1e300) upTo 1h andThen fixed(1s)");
  EXPECT_EQ(waits(huge, 3), (std::vector<std::uint64_t>{3600000, 1000, 1000}));
  // Constant waits of a bounded segment are skipped over arithmetically.
  Schedule fixed = schedule("fixed(1ms) upTo 1000000h andThen fixed(2s)");
  EXPECT_EQ(fixed.wait_and_jitter(3600000000000ull).first, 1u);
  EXPECT_EQ(fixed.wait_and_jitter(3600000000001ull).first, 2000u);
  EXPECT_EQ(fixed.wait_and_jitter(kMax).first, 2000u);
  EXPECT_EQ(Schedule{}.wait_and_jitter(1), std::make_pair(std::uint64_t{0}, false));
  // Exponential segments whose waits have died out answer without walking every retry.
  Schedule decaying = schedule("exp(1s, x0.5, jitter) upTo 1h andThen fixed(1s)");
  EXPECT_EQ(waits(decaying, 3), (std::vector<std::uint64_t>{1000, 500, 250}));
  EXPECT_EQ(decaying.wait_and_jitter(1000000000000ull), std::make_pair(std::uint64_t{0}, true));
  Schedule capped_at_zero = schedule("exp(1s, x2, max 0ms) upTo 1s andThen fixed(1s)");
  EXPECT_EQ(capped_at_zero.wait_and_jitter(kMax).first, 0u);
}

TEST(JitterTest, StaysWithinHalfToWhole) {
  JitterRng rng(42);
  EXPECT_EQ(apply_jitter(0, rng), 0u);
  EXPECT_EQ(apply_jitter(0), 0u);
  bool seen_low = false, seen_high = false;
  for (int i = 0; i < 2000; ++i) {
    std::uint64_t one = apply_jitter(1, rng);
    EXPECT_LE(one, 1u);
    std::uint64_t w = apply_jitter(1000, rng);
    EXPECT_GE(w, 500u);
    EXPECT_LE(w, 1000u);
    seen_low |= w < 600;
    seen_high |= w > 900;
    std::uint64_t big = apply_jitter(kMax, rng);
    EXPECT_GE(big, kMax / 2);
    std::uint64_t t = apply_jitter(7);
    EXPECT_GE(t, 3u);
    EXPECT_LE(t, 7u);
  }
  EXPECT_TRUE(seen_low && seen_high);
  JitterRng a(7), b(7);
  EXPECT_EQ(apply_jitter(1000000, a), apply_jitter(1000000, b));
}

TEST(RetryableTest, ConditionsTable) {
  auto policy = [](std::vector<Condition> on) {
    RetryPolicy p;
    p.on = std::move(on);
    return p;
  };
  using K = Condition::Kind;
  const RetryPolicy only5xx = policy({Condition::of(K::k5xx)});
  const RetryPolicy with4xx = policy({Condition::of(K::k4xx)});
  const RetryPolicy with429 = policy({Condition::exact(429)});
  const RetryPolicy with302 = policy({Condition::exact(302), Condition::exact(503)});
  const RetryPolicy empty = policy({});
  const RetryPolicy classes = policy({Condition::of(K::kConn), Condition::of(K::kCancelled)});
  const RetryPolicy defaults = RetryPolicy::default_policy();
  struct Case {
    const RetryPolicy* p;
    ErrorClass cls;
    std::optional<std::uint16_t> status;
    bool retryable;
  };
  const Case cases[] = {
      {&only5xx, ErrorClass::kHttp, 429, false},
      {&with4xx, ErrorClass::kHttp, 429, true},
      {&with429, ErrorClass::kHttp, 429, true},
      {&with429, ErrorClass::kHttp, 428, false},
      {&only5xx, ErrorClass::kHttp, 503, true},
      {&only5xx, ErrorClass::kHttp, 599, true},
      {&only5xx, ErrorClass::kHttp, 600, false},
      {&with302, ErrorClass::kHttp, 302, true},
      {&with302, ErrorClass::kHttp, 503, true},
      {&with302, ErrorClass::kHttp, 500, false},
      {&with4xx, ErrorClass::kHttp, 302, false},
      {&only5xx, ErrorClass::kHttp, std::nullopt, false},
      {&empty, ErrorClass::kConn, std::nullopt, false},
      {&empty, ErrorClass::kHttp, 500, false},
      {&classes, ErrorClass::kConn, std::nullopt, true},
      {&classes, ErrorClass::kCancelled, std::nullopt, true},
      {&classes, ErrorClass::kTimeout, std::nullopt, false},
      {&classes, ErrorClass::kOther, std::nullopt, false},
      {&only5xx, ErrorClass::kConn, 503, false},  // the status only matters for http
      {&defaults, ErrorClass::kConn, std::nullopt, true},
      {&defaults, ErrorClass::kTimeout, std::nullopt, true},
      {&defaults, ErrorClass::kHttp, 429, true},
      {&defaults, ErrorClass::kHttp, 404, false},
      {&defaults, ErrorClass::kHttp, 502, true},
      {&defaults, ErrorClass::kOther, std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.p->is_retryable(c.cls, c.status), c.retryable)
        << error_class_text(c.cls) << " " << (c.status ? *c.status : 0) << " on "
        << (c.p->on.empty() ? "" : c.p->on[0].text());
  }
}

TEST(RetryPolicyTest, Defaults) {
  RetryPolicy p = RetryPolicy::default_policy();
  EXPECT_EQ(p.attempts, 3u);
  EXPECT_EQ(p.schedule, Schedule::default_schedule());
  std::vector<std::string> on;
  for (const Condition& c : p.on) on.push_back(c.text());
  EXPECT_EQ(on, (std::vector<std::string>{"conn", "timeout", "429", "5xx"}));
}

}  // namespace
}  // namespace vorn
