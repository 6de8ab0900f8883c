#include <string>

#include "api/log.h"
#include "api/policy/jitter.h"
#include "engine/attempt_error.h"
#include "engine/call.h"
#include "engine/current_thread_runtime.h"
#include "events/event_sink.h"

namespace vorn {

namespace {

void log_attempt_span(std::uint32_t n, const AttemptResult& r, std::optional<std::uint64_t> wait) {
  if (!log::enabled(log::Target::kEngine, log::Level::kDebug)) return;
  const bool failed = !r.ok;
  log::write(
      log::Target::kEngine, log::Level::kDebug, "vorn.attempt",
      {{"attempt", std::to_string(n)},
       {"result", failed ? "error" : "ok"},
       {"class", failed ? std::string(error_class_text(r.error.error_class)) : ""},
       {"http_status", failed && r.error.http_status ? std::to_string(*r.error.http_status) : ""},
       {"wait_ms", wait ? std::to_string(*wait) : ""}});
}

}  // namespace

Task<Result<Json, OutcomeError>> Engine::run_attempts(Call& call, const RetryPolicy& retry) {
  const Request& request = call.request;
  Outcome& outcome = call.outcome;
  const std::uint32_t max = retry.attempts;
  // A deadline bounds attempts only for calls that may be repeated.
  const std::optional<std::uint64_t> timeout =
      request.idempotent ? call.policy.timeout : std::nullopt;

  for (std::uint64_t i = 1; i <= max; ++i) {
    const auto n = static_cast<std::uint32_t>(i);
    ++outcome.attempts;
    {
      std::lock_guard lock(state_mu_);
      ++call.metrics->attempts;
    }
    if (sink_) {
      sink_->emit(elapsed_ms(call.rt.now()),
                  events::AttemptStart{outcome.trace_id, request.target, n});
    }

    std::optional<Instant> deadline;
    if (timeout) {
      Instant at = add_ms_saturating(call.rt.now(), *timeout);
      if (at != Instant::max()) deadline = at;
    }
    std::optional<AttemptResult> delivered = co_await call.rt.run_attempt(call.effect, n, deadline);
    const bool timed_out = !delivered;
    AttemptResult result =
        timed_out ? AttemptResult::failure(ErrorClass::kTimeout,
                                           "no response within " + std::to_string(*timeout) + "ms")
                  : std::move(*delivered);
    if (result.ok) {
      log_attempt_span(n, result, std::nullopt);
      co_return std::move(result.payload);
    }

    const AttemptError& failure = result.error;
    if (sink_) {
      sink_->emit(elapsed_ms(call.rt.now()),
                  events::AttemptError{outcome.trace_id, request.target, n, failure.error_class,
                                       failure.http_status});
    }

    std::optional<ErrorCode> code;
    if (!retry.is_retryable(failure.error_class, failure.http_status)) {
      code = ErrorCode::kE015;
    } else if (n == max) {
      code = ErrorCode::kE010;
    } else if (!request.idempotent) {
      code = ErrorCode::kE014;
    }
    if (timed_out && (code == ErrorCode::kE015 || code == ErrorCode::kE010))
      code = ErrorCode::kE011;
    if (code) {
      log_attempt_span(n, result, std::nullopt);
      co_return terminal_attempt_error(*code, std::move(result.error), request.op, n, max,
                                       call.trace);
    }

    auto [wait, jitter] = retry.schedule.wait_and_jitter(n);
    if (jitter && wait != 0) wait = apply_jitter(wait);
    // The server's hint is honoured even when the policy would wait less.
    if (failure.retry_after_ms && *failure.retry_after_ms > wait) wait = *failure.retry_after_ms;
    log_attempt_span(n, result, wait);
    outcome.waits_ms.push_back(wait);
    {
      std::lock_guard lock(state_mu_);
      ++call.metrics->retries;
    }
    if (sink_) {
      sink_->emit(elapsed_ms(call.rt.now()),
                  events::Backoff{outcome.trace_id, request.target, n, wait});
    }
    co_await call.rt.sleep(wait);
  }
  throw InternalFault{
      "internal error: entered unreachable code: loop always returns by the final attempt"};
}

}  // namespace vorn
