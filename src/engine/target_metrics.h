#ifndef VORN_ENGINE_TARGET_METRICS_H_
#define VORN_ENGINE_TARGET_METRICS_H_

#include <cstdint>

namespace vorn {

// Per-target counters; they only ever grow. For every target
// calls = successes + failures + calls in flight, and cache_hits <= successes.
struct TargetMetrics {
  std::uint64_t calls = 0;       // every call, whatever ends it
  std::uint64_t attempts = 0;    // every effect invocation
  std::uint64_t retries = 0;     // every decided retry
  std::uint64_t successes = 0;   // settled successes and cache hits
  std::uint64_t failures = 0;    // settled failures, breaker rejections, version errors
  std::uint64_t cache_hits = 0;  // calls answered from a cache
  std::uint64_t throttled = 0;   // calls the rate limiter made wait
};

}  // namespace vorn

#endif  // VORN_ENGINE_TARGET_METRICS_H_
