#ifndef VORN_ENGINE_ENGINE_H_
#define VORN_ENGINE_ENGINE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/json.h"
#include "api/policy/policy.h"
#include "api/records.h"
#include "api/result.h"
#include "engine/breaker.h"
#include "engine/cache.h"
#include "engine/effect.h"
#include "engine/poll.h"
#include "engine/runtime.h"
#include "engine/state.h"
#include "engine/task.h"
#include "events/event_sink.h"

namespace vorn {

namespace journal {
class Journal;
}

// The resilience kernel of one handle. It owns the active policy, all per-target runtime
// state, the journal slot and the event sink, and runs each intercepted call through its
// fixed chain of layers:
//
//   count the call -> "call_start" -> envelope version -> resolve policy -> cache
//   -> rate limit -> breaker admission -> attempts (or polling) -> settle
//   -> persistent cache write -> "call_end"
//
// A layer whose policy block is absent does nothing. Every call ends in an Outcome;
// failures are data, never errors.
//
// Thread-safe: any number of calls may run at once from any threads. Locks (never two at
// once, never across a wait): policy_mu_ and raw_mu_ (reader-writer), journal_mu_
// (reader-writer), state_mu_ (short sections).
class Engine {
 public:
  // `start` is the origin of every elapsed-milliseconds value, read from the clock of the
  // runtime that creates the engine. `sink` is the live event feed, or null when it is off.
  Engine(Instant start, std::unique_ptr<events::EventSink> sink);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Reads and validates `document`, then swaps the policy and the raw document in whole.
  // Runtime state (breakers, buckets, caches, metrics) is kept. On failure nothing changes.
  Status<VornError> configure(const Json& document);

  // Runs one call through the chain on `rt`, calling `effect` once per attempt. The task
  // starts when first awaited or driven; `rt`, `request` and `effect` are held by reference
  // and must outlive it.
  Task<Outcome> execute(Runtime& rt, const Request& request, Effect& effect);

  // The deterministic report at `now` (a reading of the driving runtime's clock).
  Json report(Instant now) const;

  std::uint64_t elapsed_ms(Instant now) const;

  // The raw layer reader over the document last given to configure.
  std::optional<Json> layer(std::string_view target, std::string_view key) const;
  std::string resolve_target(std::optional<std::string_view> method, std::string_view host,
                             std::optional<std::string_view> scheme,
                             std::optional<std::uint16_t> port,
                             std::optional<std::string_view> path) const;
  static std::vector<std::pair<std::string, std::string>> known_llm_hosts();
  NondeterminismResponse nondeterminism_response() const;

  // The journal slot: shared by the flow machinery, the persistent cache and history reads.
  void attach_journal(std::shared_ptr<journal::Journal> journal);
  std::shared_ptr<journal::Journal> journal() const;

  // The live event feed, or null when it is off.
  events::EventSink* sink() const { return sink_.get(); }

 private:
  struct Call;

  Task<Outcome> run_chain(Runtime& rt, const Request& request, Effect& effect);
  Task<Result<Json, OutcomeError>> run_attempts(Call& call, const RetryPolicy& retry);
  Task<Result<Json, OutcomeError>> run_poll_loop(Call& call, const RetryPolicy& retry,
                                                 const PollPolicy& poll);
  std::uint64_t plan_throttle(Call& call, const Rate& rate);
  BreakerTicket admit(Call& call);
  void settle(Call& call, BreakerTicket ticket, const CacheKey* memory_key,
              Result<Json, OutcomeError> result);
  bool serve_from_cache(Call& call, const CacheKey& key);
  bool serve_from_persistent(Call& call, const std::string& key);
  void write_persistent(Call& call, const std::string& key, std::uint64_t ttl_ms);
  void fill_cache_hit(Call& call, Json payload);
  void emit_cache(Call& call, bool persistent, bool hit);

  const Instant start_;
  const std::unique_ptr<events::EventSink> sink_;

  mutable std::shared_mutex policy_mu_;
  Policy policy_;  // guarded by policy_mu_
  mutable std::shared_mutex raw_mu_;
  Json raw_policy_;  // guarded by raw_mu_; null before the first configure
  mutable std::shared_mutex journal_mu_;
  std::shared_ptr<journal::Journal> journal_;  // guarded by journal_mu_
  mutable std::mutex state_mu_;
  State state_;  // guarded by state_mu_
};

}  // namespace vorn

#endif  // VORN_ENGINE_ENGINE_H_
