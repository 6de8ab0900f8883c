#ifndef VORN_API_POLICY_CACHE_POLICY_H_
#define VORN_API_POLICY_CACHE_POLICY_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "api/policy/duration.h"

namespace vorn {

enum class CacheScope : std::uint8_t { kMemory, kPersistent };
enum class CacheMode : std::uint8_t { kAlways, kDev, kOff };
enum class CacheKeySource : std::uint8_t { kArgs, kUrl };

// "memory", "persistent".
std::string_view cache_scope_text(CacheScope scope);
// "always", "dev", "off".
std::string_view cache_mode_text(CacheMode mode);
// "args", "url".
std::string_view cache_key_source_text(CacheKeySource source);

struct CachePolicy {
  std::optional<DurationMs> ttl;
  CacheScope scope = CacheScope::kMemory;
  CacheMode mode = CacheMode::kAlways;
  CacheKeySource key = CacheKeySource::kArgs;

  bool operator==(const CachePolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_CACHE_POLICY_H_
