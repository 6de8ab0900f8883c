#ifndef VORN_API_POLICY_RETRY_POLICY_H_
#define VORN_API_POLICY_RETRY_POLICY_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "api/error_code.h"
#include "api/policy/condition.h"
#include "api/policy/schedule.h"

namespace vorn {

// How often and on which failures a call is retried. A default-constructed value is
// the default retry policy: 3 attempts, "exp(200ms, x2, max 30s, jitter)", on "conn",
// "timeout", "429", "5xx".
struct RetryPolicy {
  std::uint32_t attempts = 3;  // total attempts including the first; at least 1
  Schedule schedule = Schedule::default_schedule();
  std::vector<Condition> on = default_conditions();

  static RetryPolicy default_policy() { return RetryPolicy{}; }
  static std::vector<Condition> default_conditions();

  // Whether a failure of class `error_class` (with `status` for http failures) is
  // covered by `on`. An http failure without a status is never retryable.
  bool is_retryable(ErrorClass error_class, std::optional<std::uint16_t> status) const;

  bool operator==(const RetryPolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_RETRY_POLICY_H_
