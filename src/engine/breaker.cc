#include "engine/breaker.h"

#include "api/policy/policy.h"
#include "engine/current_thread_runtime.h"

namespace vorn {

namespace {

void prune_window(Breaker& b, std::uint64_t window_ms, Instant now) {
  while (!b.window.empty()) {
    Instant at = b.window.front().first;
    // An entry exactly one window old has aged out.
    if (now >= at && whole_ms_between(at, now) >= window_ms) {
      b.window.pop_front();
    } else {
      break;
    }
  }
}

BreakerTransition open_breaker(Breaker& b, const BreakerPolicy& policy, Instant now) {
  b.open_until = add_ms_saturating(now, policy.cooldown);
  ++b.opens;
  b.consecutive_failures = 0;
  b.window.clear();
  return BreakerTransition::kOpened;
}

}  // namespace

BreakerTicket breaker_admit(const Breaker& b, Instant now) {
  if (!b.open_until) return BreakerTicket::kAdmit;
  if (now < *b.open_until) return BreakerTicket::kRejected;
  return BreakerTicket::kProbe;
}

BreakerTransition breaker_on_success(Breaker& b, const BreakerPolicy& policy, Instant now) {
  b.consecutive_failures = 0;
  if (b.open_until) {
    b.open_until.reset();
    b.window.clear();
    return BreakerTransition::kClosed;
  }
  if (policy.rate_mode()) {
    prune_window(b, *policy.window, now);
    b.window.emplace_back(now, false);
  }
  return BreakerTransition::kNone;
}

BreakerTransition breaker_on_failure(Breaker& b, const BreakerPolicy& policy, BreakerTicket ticket,
                                     Instant now) {
  if (ticket == BreakerTicket::kProbe) return open_breaker(b, policy, now);
  if (!policy.rate_mode()) {
    ++b.consecutive_failures;
    if (b.consecutive_failures >= policy.count_threshold()) return open_breaker(b, policy, now);
    return BreakerTransition::kNone;
  }
  prune_window(b, *policy.window, now);
  b.window.emplace_back(now, true);
  std::uint64_t failed = 0;
  for (const auto& entry : b.window) failed += entry.second ? 1 : 0;
  const std::uint64_t total = b.window.size();
  if (total >= policy.min_calls_or_default() &&
      static_cast<double>(failed) / static_cast<double>(total) >= *policy.failure_rate) {
    return open_breaker(b, policy, now);
  }
  return BreakerTransition::kNone;
}

bool breaker_is_open(const Breaker& b, Instant now) {
  return b.open_until && *b.open_until > now;
}

}  // namespace vorn
