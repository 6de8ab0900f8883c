#include "api/policy/cache_policy.h"

namespace vorn {

std::string_view cache_scope_text(CacheScope scope) {
  return scope == CacheScope::kMemory ? "memory" : "persistent";
}

std::string_view cache_mode_text(CacheMode mode) {
  switch (mode) {
    case CacheMode::kAlways:
      return "always";
    case CacheMode::kDev:
      return "dev";
    case CacheMode::kOff:
      return "off";
  }
  return "always";
}

std::string_view cache_key_source_text(CacheKeySource source) {
  return source == CacheKeySource::kArgs ? "args" : "url";
}

}  // namespace vorn
