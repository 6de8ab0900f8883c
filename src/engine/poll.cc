#include "engine/poll.h"

#include <algorithm>

#include "api/codec/base64.h"
#include "api/log.h"
#include "engine/call.h"
#include "engine/current_thread_runtime.h"

namespace vorn {

bool poll_applies(const Request& request) {
  const std::string_view op = request.op;
  return request.idempotent && (op.starts_with("GET ") || op.starts_with("HEAD "));
}

PollVerdict poll_verdict(const PollUntil& until, const Json& payload) {
  if (!payload.is_object()) return PollVerdict::kNotJudgeable;
  const Json* inspected = &payload;
  Json body;
  if (auto b64 = payload.find("body_b64"); b64 != payload.end()) {
    if (!b64->is_string()) return PollVerdict::kNotJudgeable;
    auto bytes = decode_base64(b64->get_ref<const std::string&>());
    if (!bytes) return PollVerdict::kNotJudgeable;
    body = Json::parse(bytes->begin(), bytes->end(), nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) return PollVerdict::kNotJudgeable;
    inspected = &body;
  } else if (payload.contains("status") && payload.contains("headers")) {
    return PollVerdict::kNotJudgeable;
  }
  auto value = inspected->find(until.field);
  if (value == inspected->end()) return PollVerdict::kNotJudgeable;
  if (!value->is_string()) return PollVerdict::kNotTerminal;
  const auto& text = value->get_ref<const std::string&>();
  return std::find(until.terminal.begin(), until.terminal.end(), text) != until.terminal.end()
             ? PollVerdict::kTerminal
             : PollVerdict::kNotTerminal;
}

Task<Result<Json, OutcomeError>> Engine::run_poll_loop(Call& call, const RetryPolicy& retry,
                                                       const PollPolicy& poll) {
  const Instant started = call.rt.now();
  while (true) {
    Result<Json, OutcomeError> cycle = co_await run_attempts(call, retry);
    if (!cycle.ok()) co_return cycle;
    switch (poll_verdict(poll.until, cycle.value())) {
      case PollVerdict::kTerminal:
        co_return cycle;
      case PollVerdict::kNotJudgeable:
        VORN_LOG(kEngine, kDebug, "poll fail-open: response not judgeable; returned as-is",
                 {"target", call.request.target}, {"field", poll.until.field});
        co_return cycle;
      case PollVerdict::kNotTerminal:
        break;
    }
    // Decide before sleeping: no cycle may start later than the deadline.
    const std::uint64_t elapsed = whole_ms_between(started, call.rt.now());
    const std::uint64_t next =
        elapsed > UINT64_MAX - poll.interval ? UINT64_MAX : elapsed + poll.interval;
    if (next > poll.deadline) {
      std::string message = call.request.op + " poll deadline exceeded: '" + poll.until.field +
                            "' not terminal after " + std::to_string(poll.deadline) + "ms";
      append_trace_ref(message, call.trace);
      co_return OutcomeError{ErrorCode::kE016, ErrorClass::kOther, std::nullopt, std::move(message),
                             std::nullopt};
    }
    co_await call.rt.sleep(poll.interval);
  }
}

}  // namespace vorn
