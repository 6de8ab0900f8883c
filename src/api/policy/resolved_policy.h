#ifndef VORN_API_POLICY_RESOLVED_POLICY_H_
#define VORN_API_POLICY_RESOLVED_POLICY_H_

#include <optional>
#include <string>

#include "api/policy/breaker_policy.h"
#include "api/policy/cache_policy.h"
#include "api/policy/duration.h"
#include "api/policy/poll_policy.h"
#include "api/policy/rate.h"
#include "api/policy/retry_policy.h"

namespace vorn {

// The effective policy of one target key, copied out of the Policy. Each field is one
// whole block taken from the first layer that sets it (target block, then defaults.llm
// for "llm:" keys, then defaults.outbound); an absent field means no layer sets it.
struct ResolvedPolicy {
  std::optional<DurationMs> timeout;
  std::optional<RetryPolicy> retry;
  std::optional<BreakerPolicy> breaker;
  std::optional<Rate> rate;
  std::optional<CachePolicy> cache;
  std::optional<std::string> idempotency;  // the idempotency header name
  std::optional<PollPolicy> poll;

  bool operator==(const ResolvedPolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_RESOLVED_POLICY_H_
