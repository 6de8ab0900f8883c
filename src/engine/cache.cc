#include "engine/cache.h"

#include "api/codec/cache_payload.h"
#include "api/log.h"
#include "engine/call.h"
#include "events/event_sink.h"
#include "journal/journal.h"

namespace vorn {

CachePlan plan_cache(const ResolvedPolicy& policy, const Request& request, bool journal_attached) {
  CachePlan plan;
  if (!policy.cache || !policy.cache->ttl || policy.cache->mode == CacheMode::kOff ||
      !request.args_hash) {
    return plan;
  }
  if (policy.cache->scope == CacheScope::kPersistent && journal_attached) {
    plan.kind = CachePlan::Kind::kPersistent;
    plan.persistent_key = request.target + "#" + *request.args_hash;
    plan.ttl_ms = *policy.cache->ttl;
  } else {
    plan.kind = CachePlan::Kind::kMemory;
    plan.memory_key = CacheKey{request.target, *request.args_hash};
  }
  return plan;
}

namespace {

// Written only once the state lock is released: a log sink runs the embedder's code, which
// may call back into the engine (a Python logging handler asking for the report).
void log_cache_hit(const std::string& target, bool persistent) {
  VORN_LOG(kEngine, kDebug, "cache hit", {"target", target},
           {"scope", persistent ? "persistent" : "memory"});
}

}  // namespace

void Engine::fill_cache_hit(Call& call, Json payload) {
  // Called with the state lock held.
  Outcome& outcome = call.outcome;
  outcome.ok = true;
  outcome.payload = std::move(payload);
  outcome.from_cache = true;
  ++call.metrics->successes;
  ++call.metrics->cache_hits;
  outcome.breaker = state_.breaker_state(call.request.target, call.rt.now());
}

bool Engine::serve_from_cache(Call& call, const CacheKey& key) {
  const Instant now = call.rt.now();
  {
    std::lock_guard lock(state_mu_);
    auto it = state_.cache.find(key);
    if (it == state_.cache.end()) return false;
    // An entry is usable strictly before its expiry instant.
    if (now >= it->second.expires_at) {
      state_.cache.erase(it);
      return false;
    }
    fill_cache_hit(call, it->second.payload);
  }
  log_cache_hit(call.request.target, false);
  return true;
}

bool Engine::serve_from_persistent(Call& call, const std::string& key) {
  std::shared_ptr<journal::Journal> j = journal();
  if (!j) return false;
  auto stored = j->get_cache(key);
  if (!stored.ok()) {
    VORN_LOG(kEngine, kWarn, "persistent cache read failed; serving live",
             {"target", call.request.target}, {"error", stored.error().text()});
    return false;
  }
  if (!stored.value()) return false;
  auto payload = decode_cache_payload(*stored.value());
  if (!payload.ok()) {
    // The bad entry stays; the next successful call overwrites it.
    VORN_LOG(kEngine, kWarn, "persistent cache entry undecodable; serving live",
             {"target", call.request.target}, {"reason", payload.error()});
    return false;
  }
  {
    std::lock_guard lock(state_mu_);
    fill_cache_hit(call, std::move(payload).value());
  }
  log_cache_hit(call.request.target, true);
  return true;
}

void Engine::write_persistent(Call& call, const std::string& key, std::uint64_t ttl_ms) {
  std::shared_ptr<journal::Journal> j = journal();
  if (!j) return;
  auto bytes = encode_cache_payload(*call.outcome.payload);
  if (!bytes.ok()) {
    VORN_LOG(kEngine, kWarn, "persistent cache encode failed; entry not stored",
             {"target", call.request.target}, {"error", bytes.error()});
    return;
  }
  auto stored = j->put_cache(key, bytes.value(), ttl_ms);
  if (!stored.ok()) {
    VORN_LOG(kEngine, kWarn, "persistent cache write failed; entry not stored",
             {"target", call.request.target}, {"error", stored.error().text()});
  }
}

void Engine::emit_cache(Call& call, bool persistent, bool hit) {
  if (!sink_) return;
  const auto scope = persistent ? events::CacheStore::kPersistent : events::CacheStore::kMemory;
  const std::uint64_t ms = elapsed_ms(call.rt.now());
  if (hit) {
    sink_->emit(ms, events::CacheHit{call.outcome.trace_id, call.request.target, scope});
  } else {
    sink_->emit(ms, events::CacheMiss{call.outcome.trace_id, call.request.target, scope});
  }
}

}  // namespace vorn
