#include <string>

#include "api/log.h"
#include "engine/call.h"
#include "engine/current_thread_runtime.h"
#include "events/event_sink.h"

namespace vorn {

namespace {

// The "vorn.call" span: when its level is enabled it is written as one record carrying the
// call's fields once the call has finished.
void log_call_span(const Request& request, const Outcome& outcome) {
  if (!log::enabled(log::Target::kEngine, log::Level::kInfo)) return;
  log::write(
      log::Target::kEngine, log::Level::kInfo, "vorn.call",
      {{"target", request.target},
       {"op", request.op},
       {"trace_id", outcome.trace_id},
       {"result", outcome.ok ? "ok" : "error"},
       {"error_code", outcome.error ? std::string(error_code_text(outcome.error->code)) : ""},
       {"attempts", std::to_string(outcome.attempts)},
       {"from_cache", outcome.from_cache ? "true" : "false"},
       {"throttled", outcome.throttled ? "true" : "false"},
       {"breaker", std::string(breaker_state_text(outcome.breaker))}});
}

}  // namespace

Task<Outcome> Engine::execute(Runtime& rt, const Request& request, Effect& effect) {
  Outcome outcome = co_await run_chain(rt, request, effect);
  log_call_span(request, outcome);
  if (sink_) {
    sink_->emit(elapsed_ms(rt.now()),
                events::CallEnd{outcome.trace_id, request.target, outcome.ok ? "ok" : "error",
                                outcome.error ? std::optional(outcome.error->code) : std::nullopt,
                                outcome.attempts});
  }
  co_return outcome;
}

Task<Outcome> Engine::run_chain(Runtime& rt, const Request& request, Effect& effect) {
  Call call{rt, request, effect, {}, std::nullopt, {}, nullptr, nullptr};
  Outcome& outcome = call.outcome;
  std::uint64_t number;
  {
    std::lock_guard lock(state_mu_);
    call.metrics = &state_.metrics_for(request.target);
    ++call.metrics->calls;
    number = ++state_.call_counter;
  }
  outcome.trace_id = trace_id_for(number);
  if (sink_) {
    std::uint64_t seq = sink_->emit(
        elapsed_ms(rt.now()), events::CallStart{outcome.trace_id, request.target, request.op});
    call.trace = TraceRef{&sink_->run(), seq};
  }

  if (request.v != 1) {
    outcome.error =
        OutcomeError{ErrorCode::kE004, ErrorClass::kOther, std::nullopt,
                     "unsupported envelope version " + std::to_string(request.v), std::nullopt};
    std::lock_guard lock(state_mu_);
    ++call.metrics->failures;
    co_return std::move(outcome);
  }

  {
    std::shared_lock lock(policy_mu_);
    call.policy = policy_.resolve(request.target);
  }

  // The journal slot is only consulted by calls that could use the persistent cache.
  const bool wants_journal =
      call.policy.cache && call.policy.cache->scope == CacheScope::kPersistent;
  CachePlan plan = plan_cache(call.policy, request, wants_journal && journal() != nullptr);
  if (plan.kind == CachePlan::Kind::kPersistent) {
    bool hit = serve_from_persistent(call, plan.persistent_key);
    emit_cache(call, true, hit);
    if (hit) co_return std::move(outcome);
  } else if (plan.kind == CachePlan::Kind::kMemory) {
    bool hit = serve_from_cache(call, plan.memory_key);
    emit_cache(call, false, hit);
    if (hit) co_return std::move(outcome);
  }

  if (call.policy.rate) {
    std::uint64_t wait = plan_throttle(call, *call.policy.rate);
    if (wait > 0) co_await rt.sleep(wait);
  }

  BreakerTicket ticket = admit(call);
  if (ticket == BreakerTicket::kRejected) co_return std::move(outcome);

  RetryPolicy fallback;
  const RetryPolicy* retry = call.policy.retry ? &*call.policy.retry : nullptr;
  if (!retry) {
    // Without a retry block a call gets exactly one attempt; the default conditions still
    // decide how its failure is reported.
    fallback.attempts = 1;
    retry = &fallback;
  }

  // Two statements on purpose: a co_await inside a conditional expression is miscompiled
  // by GCC 12 (a temporary is destroyed twice).
  std::optional<Result<Json, OutcomeError>> result;
  if (call.policy.poll && poll_applies(request)) {
    result.emplace(co_await run_poll_loop(call, *retry, *call.policy.poll));
  } else {
    result.emplace(co_await run_attempts(call, *retry));
  }

  settle(call, ticket, plan.kind == CachePlan::Kind::kMemory ? &plan.memory_key : nullptr,
         std::move(*result));

  if (plan.kind == CachePlan::Kind::kPersistent && outcome.ok && outcome.payload) {
    write_persistent(call, plan.persistent_key, plan.ttl_ms);
  }
  co_return std::move(outcome);
}

std::uint64_t Engine::plan_throttle(Call& call, const Rate& rate) {
  const std::uint64_t now = elapsed_ms(call.rt.now());
  std::uint64_t wait;
  {
    std::lock_guard lock(state_mu_);
    wait = state_.buckets[call.request.target].plan_admit(now, rate.count, rate.period_ms);
    if (wait > 0) ++call.metrics->throttled;
  }
  if (wait > 0) {
    call.outcome.throttled = true;
    call.outcome.throttle_wait_ms = wait;
    if (sink_) {
      sink_->emit(now, events::Throttle{call.outcome.trace_id, call.request.target, wait});
    }
  }
  return wait;
}

BreakerTicket Engine::admit(Call& call) {
  if (!call.policy.breaker) return BreakerTicket::kAdmit;
  const Instant now = call.rt.now();
  BreakerTicket ticket;
  {
    std::lock_guard lock(state_mu_);
    call.breaker = &state_.breakers[call.request.target];
    ticket = breaker_admit(*call.breaker, now);
    if (ticket == BreakerTicket::kRejected) ++call.metrics->failures;
  }
  if (ticket == BreakerTicket::kRejected) {
    std::string message =
        "breaker OPEN for " + call.request.target + ": failed fast, call not attempted";
    append_trace_ref(message, call.trace);
    call.outcome.error = OutcomeError{ErrorCode::kE012, ErrorClass::kOther, std::nullopt,
                                      std::move(message), std::nullopt};
    call.outcome.breaker = BreakerState::kOpen;
    if (sink_) {
      sink_->emit(elapsed_ms(now),
                  events::BreakerReject{call.outcome.trace_id, call.request.target});
    }
  } else if (ticket == BreakerTicket::kProbe) {
    VORN_LOG(kEngine, kDebug, "breaker transition", {"target", call.request.target},
             {"transition", "half_open"});
    if (sink_) {
      sink_->emit(elapsed_ms(now),
                  events::BreakerHalfOpen{call.outcome.trace_id, call.request.target});
    }
  }
  return ticket;
}

void Engine::settle(Call& call, BreakerTicket ticket, const CacheKey* memory_key,
                    Result<Json, OutcomeError> result) {
  const Instant now = call.rt.now();
  Outcome& outcome = call.outcome;
  BreakerTransition transition = BreakerTransition::kNone;
  const BreakerPolicy* breaker_policy = call.policy.breaker ? &*call.policy.breaker : nullptr;
  {
    std::lock_guard lock(state_mu_);
    if (result.ok()) {
      ++call.metrics->successes;
      if (breaker_policy && call.breaker) {
        transition = breaker_on_success(*call.breaker, *breaker_policy, now);
      }
      if (memory_key && call.policy.cache && call.policy.cache->ttl) {
        state_.store_cache(*memory_key, result.value(), now, *call.policy.cache->ttl);
      }
      outcome.ok = true;
      outcome.payload = std::move(result).value();
    } else {
      ++call.metrics->failures;
      if (breaker_policy && call.breaker) {
        transition = breaker_on_failure(*call.breaker, *breaker_policy, ticket, now);
      }
      outcome.error = std::move(result).error();
    }
    outcome.breaker = state_.breaker_state(call.request.target, now);
  }
  if (transition == BreakerTransition::kNone) return;
  const bool opened = transition == BreakerTransition::kOpened;
  VORN_LOG(kEngine, kDebug, "breaker transition", {"target", call.request.target},
           {"transition", opened ? "opened" : "closed"});
  if (!sink_) return;
  if (opened) {
    sink_->emit(elapsed_ms(now), events::BreakerOpen{outcome.trace_id, call.request.target,
                                                     breaker_policy->cooldown});
  } else {
    sink_->emit(elapsed_ms(now), events::BreakerClose{outcome.trace_id, call.request.target});
  }
}

}  // namespace vorn
