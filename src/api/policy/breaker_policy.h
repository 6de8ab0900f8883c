#ifndef VORN_API_POLICY_BREAKER_POLICY_H_
#define VORN_API_POLICY_BREAKER_POLICY_H_

#include <cstdint>
#include <optional>

#include "api/policy/duration.h"

namespace vorn {

// A validated breaker block. Mode:
//   failures set                          -> count mode, threshold `failures`
//   no failures, window and failure_rate  -> rate mode
//   otherwise                             -> count mode, threshold 5
struct BreakerPolicy {
  std::optional<std::uint64_t> failures;  // count-mode threshold, at least 1
  DurationMs cooldown = 15000;
  std::optional<DurationMs> window;        // rate mode
  std::optional<double> failure_rate;      // rate mode, in (0, 1]
  std::optional<std::uint32_t> min_calls;  // rate mode, at least 1

  static constexpr std::uint64_t kDefaultFailures = 5;
  static constexpr std::uint32_t kDefaultMinCalls = 10;

  bool rate_mode() const { return !failures && window && failure_rate; }
  // The consecutive-failure threshold of count mode.
  std::uint64_t count_threshold() const { return failures.value_or(kDefaultFailures); }
  std::uint32_t min_calls_or_default() const { return min_calls.value_or(kDefaultMinCalls); }
  // Count mode chosen by `failures` while rate-mode knobs are also written (they are
  // then ignored).
  bool has_inert_rate_knobs() const { return failures && (window || failure_rate || min_calls); }

  bool operator==(const BreakerPolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_BREAKER_POLICY_H_
