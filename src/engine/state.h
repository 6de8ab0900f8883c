#ifndef VORN_ENGINE_STATE_H_
#define VORN_ENGINE_STATE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

#include "api/error_code.h"
#include "api/json.h"
#include "engine/breaker.h"
#include "engine/runtime.h"
#include "engine/target_metrics.h"
#include "engine/token_bucket.h"

namespace vorn {

// Key of the memory response cache: (target, args_hash), compared byte-wise.
struct CacheKey {
  std::string target;
  std::string args_hash;
  bool operator==(const CacheKey&) const = default;
};

struct CacheKeyHash {
  std::size_t operator()(const CacheKey& k) const {
    std::size_t h = std::hash<std::string>{}(k.target);
    return h ^
           (std::hash<std::string>{}(k.args_hash) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};

struct CacheEntry {
  Json payload;
  Instant expires_at;  // usable strictly before this instant
};

// All per-target runtime state of one engine, behind the engine's state mutex. Entries
// are created on first use and live as long as the engine; a new policy never resets
// them. Element references stay valid for the engine's life (node-based containers that
// never erase breakers, buckets or metrics), so a call may keep pointers to its target's
// entries, but may only touch them with the mutex held.
struct State {
  std::unordered_map<std::string, Breaker> breakers;
  std::unordered_map<std::string, TokenBucket> buckets;
  std::unordered_map<CacheKey, CacheEntry, CacheKeyHash> cache;
  std::uint64_t call_counter = 0;
  std::map<std::string, TargetMetrics, std::less<>> metrics;

  TargetMetrics& metrics_for(const std::string& target);
  // kOpen when the target has a breaker whose open period ends later than `now`.
  BreakerState breaker_state(const std::string& target, Instant now) const;

  // Stores a successful payload in the memory cache until now + ttl, first sweeping out
  // every entry that has expired by `now`.
  void store_cache(const CacheKey& key, const Json& payload, Instant now, std::uint64_t ttl_ms);
};

}  // namespace vorn

#endif  // VORN_ENGINE_STATE_H_
