#include "engine/state.h"

#include "engine/current_thread_runtime.h"

namespace vorn {

TargetMetrics& State::metrics_for(const std::string& target) {
  auto it = metrics.find(target);
  if (it == metrics.end()) it = metrics.emplace(target, TargetMetrics{}).first;
  return it->second;
}

BreakerState State::breaker_state(const std::string& target, Instant now) const {
  auto it = breakers.find(target);
  if (it != breakers.end() && breaker_is_open(it->second, now)) return BreakerState::kOpen;
  return BreakerState::kClosed;
}

void State::store_cache(const CacheKey& key, const Json& payload, Instant now,
                        std::uint64_t ttl_ms) {
  std::erase_if(cache, [now](const auto& entry) { return entry.second.expires_at <= now; });
  cache.insert_or_assign(key, CacheEntry{payload, add_ms_saturating(now, ttl_ms)});
}

}  // namespace vorn
