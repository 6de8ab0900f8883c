#include "flow/step_outcomes.h"

#include <optional>
#include <utility>

#include "api/codec/step_payload.h"

namespace vorn::flow {

namespace {

Outcome flow_outcome(const journal::FlowId& flow_id, std::uint64_t seq) {
  Outcome outcome;
  outcome.trace_id = flow_trace_id(flow_id, seq);
  return outcome;
}

Outcome refusal(const journal::FlowId& flow_id, std::uint64_t seq, ErrorCode code,
                std::string message) {
  Outcome outcome = flow_outcome(flow_id, seq);
  outcome.error =
      OutcomeError{code, ErrorClass::kOther, std::nullopt, std::move(message), std::nullopt};
  return outcome;
}

}  // namespace

std::string flow_trace_id(const journal::FlowId& flow_id, std::uint64_t seq) {
  return "flow-" + flow_id + "-s" + std::to_string(seq);
}

Outcome replay_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                       const journal::StepOutcome& recorded) {
  Outcome outcome = flow_outcome(flow_id, seq);
  outcome.attempts = recorded.attempt;
  if (recorded.status == journal::StepStatus::kOk) {
    outcome.ok = true;
    if (recorded.payload) outcome.payload = decode_payload(*recorded.payload);
  } else {
    outcome.error =
        OutcomeError{ErrorCode::kE015, recorded.error_class.value_or(ErrorClass::kOther),
                     std::nullopt, "replayed failed step", std::nullopt};
  }
  return outcome;
}

Outcome diverged_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                         const journal::StepKey& recorded_key, const journal::StepKey& step_key) {
  return refusal(flow_id, seq, ErrorCode::kE031,
                 diverged_message(flow_id, seq, recorded_key, step_key));
}

Outcome lease_lost_outcome(const journal::FlowId& flow_id, std::uint64_t seq) {
  return refusal(flow_id, seq, ErrorCode::kE030,
                 "flow " + flow_id + " lost its lease before step " + std::to_string(seq) +
                     "; another holder may be resuming it (VORN-E030). Refusing to run the "
                     "effect to avoid double execution.");
}

Outcome replay_miss_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                            const journal::StepKey& step_key) {
  return refusal(flow_id, seq, ErrorCode::kE031, replay_miss_message(flow_id, seq, step_key));
}

std::string diverged_message(const journal::FlowId& flow_id, std::uint64_t seq,
                             const journal::StepKey& recorded_key,
                             const journal::StepKey& step_key) {
  return "flow " + flow_id + " diverged at step " + std::to_string(seq) + ": expected " +
         recorded_key + ", got " + step_key + " (VORN-E031)";
}

std::string replay_miss_message(const journal::FlowId& flow_id, std::uint64_t seq,
                                const journal::StepKey& step_key) {
  return "flow " + flow_id + " replay reached unrecorded step " + std::to_string(seq) + " (" +
         step_key + "); the completed flow's code changed (VORN-E031)";
}

}  // namespace vorn::flow
