#include "events/event_record.h"

namespace vorn::events {

std::string_view cache_store_text(CacheStore store) {
  return store == CacheStore::kPersistent ? "persistent" : "memory";
}

namespace {

struct NameOf {
  std::string_view operator()(const RunStart&) const { return "run_start"; }
  std::string_view operator()(const CallStart&) const { return "call_start"; }
  std::string_view operator()(const CacheHit&) const { return "cache_hit"; }
  std::string_view operator()(const CacheMiss&) const { return "cache_miss"; }
  std::string_view operator()(const Throttle&) const { return "throttle"; }
  std::string_view operator()(const BreakerReject&) const { return "breaker_reject"; }
  std::string_view operator()(const BreakerHalfOpen&) const { return "breaker_half_open"; }
  std::string_view operator()(const BreakerOpen&) const { return "breaker_open"; }
  std::string_view operator()(const BreakerClose&) const { return "breaker_close"; }
  std::string_view operator()(const AttemptStart&) const { return "attempt_start"; }
  std::string_view operator()(const AttemptError&) const { return "attempt_error"; }
  std::string_view operator()(const Backoff&) const { return "backoff"; }
  std::string_view operator()(const CallEnd&) const { return "call_end"; }
};

}  // namespace

std::string_view event_name(const EventKind& kind) {
  return std::visit(NameOf{}, kind);
}

}  // namespace vorn::events
