#ifndef VORN_ENGINE_CACHE_H_
#define VORN_ENGINE_CACHE_H_

#include <cstdint>
#include <string>

#include "api/policy/resolved_policy.h"
#include "api/records.h"
#include "engine/state.h"

namespace vorn {

// Where (if anywhere) one call's response is looked up and stored.
struct CachePlan {
  enum class Kind : std::uint8_t { kNone, kMemory, kPersistent };
  Kind kind = Kind::kNone;
  CacheKey memory_key;         // kMemory
  std::string persistent_key;  // kPersistent: "{target}#{args_hash}"
  std::uint64_t ttl_ms = 0;    // kPersistent
};

// A call is cached only when its target's cache block has a ttl, is not switched off, and
// the request names its arguments (args_hash). The persistent scope needs an attached
// journal; without one it behaves as the memory scope.
CachePlan plan_cache(const ResolvedPolicy& policy, const Request& request, bool journal_attached);

}  // namespace vorn

#endif  // VORN_ENGINE_CACHE_H_
