#ifndef VORN_FLOW_STEP_OUTCOMES_H_
#define VORN_FLOW_STEP_OUTCOMES_H_

#include <cstdint>
#include <string>

#include "api/records.h"
#include "journal/records.h"
#include "journal/types.h"

namespace vorn::flow {

// Outcomes the flow makes itself rather than the engine. All have "v" 1, no cache use,
// no waits, no throttling, breaker closed and the trace id "flow-{flow_id}-s{seq}". The
// refusals (diverged, lease lost, replay miss) have 0 attempts and an error of class
// other without HTTP status or original value.

// "flow-{flow_id}-s{seq}".
std::string flow_trace_id(const journal::FlowId& flow_id, std::uint64_t seq);

// A recorded terminal step as an outcome again. ok: its decoded payload (absent when none
// was recorded or it does not decode). Otherwise "VORN-E015" "replayed failed step" with
// the recorded error class (other when none). Attempts are the recorded ones.
Outcome replay_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                       const journal::StepOutcome& recorded);

// "VORN-E031", diverged_message(...).
Outcome diverged_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                         const journal::StepKey& recorded_key, const journal::StepKey& step_key);

// "VORN-E030": the lease was lost before a live step, so the effect is not run.
Outcome lease_lost_outcome(const journal::FlowId& flow_id, std::uint64_t seq);

// "VORN-E031", replay_miss_message(...).
Outcome replay_miss_outcome(const journal::FlowId& flow_id, std::uint64_t seq,
                            const journal::StepKey& step_key);

// "flow {flow_id} diverged at step {seq}: expected {recorded_key}, got {step_key}
// (VORN-E031)".
std::string diverged_message(const journal::FlowId& flow_id, std::uint64_t seq,
                             const journal::StepKey& recorded_key,
                             const journal::StepKey& step_key);

// "flow {flow_id} replay reached unrecorded step {seq} ({step_key}); the completed flow's
// code changed (VORN-E031)".
std::string replay_miss_message(const journal::FlowId& flow_id, std::uint64_t seq,
                                const journal::StepKey& step_key);

}  // namespace vorn::flow

#endif  // VORN_FLOW_STEP_OUTCOMES_H_
