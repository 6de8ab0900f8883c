#include "flow/value_steps.h"

#include <limits>
#include <utility>

#include "api/codec/step_payload.h"
#include "api/json.h"
#include "api/log.h"
#include "flow/flow_handle.h"
#include "flow/step_outcomes.h"

namespace vorn::flow {

journal::Bytes time_payload(std::int64_t now_ms) {
  return encode_payload(Json(now_ms)).value_or(journal::Bytes{});
}

std::int64_t time_from_payload(std::span<const std::uint8_t> bytes, std::int64_t fallback) {
  const std::optional<Json> value = decode_payload(bytes);
  if (!value) return fallback;
  if (value->is_number_unsigned()) {
    const auto v = value->get<std::uint64_t>();
    return v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? static_cast<std::int64_t>(v)
               : fallback;
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  return fallback;
}

std::optional<journal::Bytes> idempotency_key_payload(std::string_view key) {
  return encode_payload(Json{{"idempotency_key", key}});
}

std::optional<std::string> idempotency_key_from_payload(std::span<const std::uint8_t> bytes) {
  const std::optional<Json> value = decode_payload(bytes);
  if (!value || !value->is_object()) return std::nullopt;
  auto it = value->find("idempotency_key");
  if (it == value->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Result<std::int64_t, VornError> FlowHandle::journal_time(std::string_view key,
                                                         std::int64_t now_ms) {
  auto bytes = resolve_value_step(key, journal::StepKind::kTime, time_payload(now_ms));
  if (!bytes.ok()) return std::move(bytes).error();
  return time_from_payload(*bytes, now_ms);
}

Result<journal::Bytes, VornError> FlowHandle::journal_random(std::string_view key,
                                                             std::span<const std::uint8_t> data) {
  return resolve_value_step(key, journal::StepKind::kRandom,
                            journal::Bytes(data.begin(), data.end()));
}

Result<journal::Bytes, VornError> FlowHandle::resolve_value_step(std::string_view key,
                                                                 journal::StepKind kind,
                                                                 journal::Bytes live) {
  const std::uint64_t seq = next_seq();
  const journal::StepKey step_key(key);
  StepPlan plan = plan_step(seq, step_key);
  if (plan.kind == StepPlan::Kind::kReplay) {
    return std::move(plan.recorded.payload).value_or(journal::Bytes{});
  }
  if (replay_) {
    return vorn_error(ErrorCode::kE031, replay_miss_message(flow_id_, seq, step_key));
  }
  std::uint64_t record_seq = seq;
  if (plan.kind == StepPlan::Kind::kDiverged) {
    const NondeterminismResponse response = effective_response();
    if (response == NondeterminismResponse::kFail) {
      return vorn_error(ErrorCode::kE031,
                        diverged_message(flow_id_, seq, plan.recorded_key, step_key));
    }
    // Both the marker and the value replace rows of the recorded run, and after losing
    // the lease those rows may belong to the flow's new holder.
    if (refuse_for_lost_lease(seq, "lease lost before value step; not journaled")) return live;
    journal_branch_marker(plan.recorded_key, step_key, nondeterminism_response_text(response), seq,
                          response == NondeterminismResponse::kBranch);
    record_seq = seq_;
  } else if (refuse_for_lost_lease(seq, "lease lost before value step; not journaled")) {
    return live;
  }
  record_value(record_seq, step_key, kind, live);
  return live;
}

void FlowHandle::record_value(std::uint64_t seq, const journal::StepKey& key,
                              journal::StepKind kind, journal::Bytes bytes) {
  const std::int64_t at = now();
  record(seq, key,
         journal::StepOutcome{kind, 0, journal::StepStatus::kOk, std::move(bytes), std::nullopt, at,
                              at});
}

std::optional<std::string> FlowHandle::recorded_idempotency_key(std::string_view step_key) {
  if (replay_abandoned_ || replay_) return std::nullopt;
  if (seq_ == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  auto recorded = journal_->step_at(flow_id_, seq_ + 1);
  if (!recorded.ok() || !*recorded) return std::nullopt;
  const journal::KeyedStep& step = **recorded;
  if (step.step_key != step_key || step.outcome.status != journal::StepStatus::kRunning ||
      !step.outcome.payload) {
    return std::nullopt;
  }
  return idempotency_key_from_payload(*step.outcome.payload);
}

}  // namespace vorn::flow
