#ifndef VORN_ENGINE_BREAKER_H_
#define VORN_ENGINE_BREAKER_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "engine/runtime.h"

namespace vorn {

struct BreakerPolicy;

// A per-target circuit breaker. Its state is derived from `open_until` and the clock:
//
//   state      | open_until         | admit            | settle success   | settle failure
//   -----------+--------------------+------------------+------------------+-----------------
//   closed     | none               | ticket kAdmit    | stays closed     | count/rate rule may
//   open open       | later than now     | ticket kRejected | (late success) closes | (not settled)
//   half-open  | not later than now | ticket kProbe    | closes           | a probe reopens
//
// Open -> half-open happens by time alone. Every call admitted while half-open is a
// probe; the first one to settle decides. Retries inside one call settle once.
struct Breaker {
  std::deque<std::pair<Instant, bool>> window;  // rate mode: (settled at, failed), oldest first
  std::optional<Instant> open_until;
  std::uint64_t consecutive_failures = 0;  // count mode
  std::uint64_t opens = 0;                 // how many times it opened
};

enum class BreakerTicket : std::uint8_t { kAdmit = 0, kProbe = 1, kRejected = 2 };

enum class BreakerTransition : std::uint8_t { kNone, kOpened, kClosed };

// Admission for a call at `now`. Does not change the breaker.
BreakerTicket breaker_admit(const Breaker& b, Instant now);

// The success rule: resets the count, closes an open or half-open breaker, and in rate
// mode records the success in the window.
BreakerTransition breaker_on_success(Breaker& b, const BreakerPolicy& policy, Instant now);

// The failure rule: a failed probe reopens; count mode opens at the threshold; rate mode
// opens when the window holds min_calls entries and the failed share reaches the rate.
BreakerTransition breaker_on_failure(Breaker& b, const BreakerPolicy& policy, BreakerTicket ticket,
                                     Instant now);

// "open" while an open period runs past `now`, otherwise "closed".
bool breaker_is_open(const Breaker& b, Instant now);

}  // namespace vorn

#endif  // VORN_ENGINE_BREAKER_H_
