#ifndef VORN_FLOW_FLOW_HANDLE_H_
#define VORN_FLOW_FLOW_HANDLE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "api/policy/flows_policy.h"
#include "api/records.h"
#include "api/result.h"
#include "engine/effect.h"
#include "engine/engine.h"
#include "engine/runtime.h"
#include "engine/task.h"
#include "flow/heartbeat.h"
#include "flow/step_plan.h"
#include "journal/clock.h"
#include "journal/journal.h"
#include "journal/records.h"
#include "journal/types.h"

namespace vorn::flow {

struct FlowManager;

// The result of one step: the outcome and whether it was substituted from the journal.
struct StepResult {
  Outcome outcome;
  bool replayed = false;
};

// One open flow, produced by FlowManager::enter. Every intercepted call of the flow, and
// every clock or random read it routes here, is a step with the next sequence number
// (seq 0 holds the entry counter, so the first step is 1).
//
// Step modes of a handle:
//
//   mode        each step                                   leaves it when
//   comparing   checked against the step recorded at seq    a warn or branch divergence
//   abandoned   runs live, journaled over the old run       never
//
// A pure-replay handle (the flow was completed at entry) never writes to the journal and
// never leaves comparing; a step it cannot replay is refused.
//
// A live effect step moves its row  (none) -> running -> ok | error;  a step whose
// process dies in between stays running and runs again on the next resume.
//
// Thread-compatibility: one step at a time (the caller serialises all operations on the
// handle, including the engine call inside a live step), so the handle's own fields need
// no lock. Only the lease monitor is shared, with the heartbeat thread, behind its lock.
class FlowHandle {
 public:
  // Stops the heartbeat at once and joins it. A handle dropped without complete() leaves
  // the flow running, leased until the lease expires, for any process to resume.
  ~FlowHandle();

  FlowHandle(const FlowHandle&) = delete;
  FlowHandle& operator=(const FlowHandle&) = delete;

  const journal::FlowId& flow_id() const { return flow_id_; }
  // The stored status when entered: running for a new flow; failed stays failed here
  // although entry reopened the row.
  journal::FlowStatus status_at_entry() const { return status_at_entry_; }
  // True when the flow was already completed at entry: every step is replayed.
  bool replay() const { return replay_; }
  // True when the caller's code hash and the flow's stored one are both present and
  // differ; divergences then abandon replay instead of failing.
  bool code_changed() const { return code_changed_; }

  // The handle's clock, in milliseconds since the Unix epoch.
  std::int64_t now() const;

  // Whether the lease must be considered lost: the flow row names another holder or none,
  // or no renewal has succeeded for a whole lease duration (monotonic time). A failed or
  // empty read of the row decides nothing by itself.
  bool lease_lost() const;

  // Runs `request` as the flow's next step: replayed from the journal when recorded, run
  // live through the engine otherwise (a running record before the call, carrying
  // `idempotency_key` when given, and a terminal record after it), or handled as
  // nondeterminism under the engine's response. Refusals (divergence under fail, lost
  // lease, a completed flow's unrecorded step) are outcomes, never errors. The step's seq
  // is taken before the coroutine first suspends. `rt`, `request` and `effect` must
  // outlive the returned task.
  Task<StepResult> execute_step_with_idempotency_key(Runtime& rt, const Request& request,
                                                     Effect& effect,
                                                     std::optional<std::string> idempotency_key);

  // Virtualized clock read under the read site `key`: returns `now_ms` (recorded as a
  // time step) on first execution and the recorded reading on replay. A recorded payload
  // that is not a signed 64-bit integer yields `now_ms`.
  Result<std::int64_t, VornError> journal_time(std::string_view key, std::int64_t now_ms);

  // Virtualized random draw: `data` (recorded raw) on first execution, the recorded bytes
  // on replay, whatever their length.
  Result<journal::Bytes, VornError> journal_random(std::string_view key,
                                                   std::span<const std::uint8_t> data);

  // The common core of the two reads. Errors ("VORN-E031"): a divergence under fail, and
  // a completed flow reaching an unrecorded step. Journal failures are logged; the live
  // value is then returned unrecorded. So is a read made after the lease was lost: its
  // record (and a divergence marker) could replace rows of the flow's new holder.
  Result<journal::Bytes, VornError> resolve_value_step(std::string_view key, journal::StepKind kind,
                                                       journal::Bytes live);

  // The idempotency key recorded by a crashed attempt of the next step, when that step is
  // recorded as running under `step_key`; absent otherwise, on a pure replay and once
  // replay was abandoned. Never writes, never advances the seq, never fails.
  std::optional<std::string> recorded_idempotency_key(std::string_view step_key);

  // Stamps the flow's terminal status ("VORN-E040" "complete_flow failed: {error}" on a
  // journal failure). The handle counts as completed either way. Does not stop the
  // heartbeat; dropping the handle does.
  Status<VornError> complete(journal::FlowStatus status);

 private:
  friend struct FlowManager;

  FlowHandle(const FlowManager& manager, journal::FlowId flow_id,
             journal::FlowStatus status_at_entry, bool code_changed,
             std::unique_ptr<HeartbeatHandle> heartbeat,
             std::shared_ptr<LeaseHeartbeatMonitor> monitor, bool replay);

  std::uint64_t next_seq();
  StepPlan plan_step(std::uint64_t seq, const journal::StepKey& step_key) const;
  NondeterminismResponse effective_response() const;

  Task<Outcome> run_live(Runtime& rt, std::uint64_t seq, journal::StepKey step_key,
                         const Request& request, Effect& effect,
                         std::optional<std::string> idempotency_key);
  Task<StepResult> on_divergence(Runtime& rt, std::uint64_t seq, journal::StepKey recorded_key,
                                 journal::StepKey step_key, const Request& request, Effect& effect,
                                 std::optional<std::string> idempotency_key);

  // Logs, abandons replay, records the "flow:branch:{mode}" marker at seq (warn) or
  // seq + 1,000,000 (branch, `shifted`) and moves seq_ to just past the marker.
  void journal_branch_marker(const journal::StepKey& expected, const journal::StepKey& observed,
                             std::string_view mode, std::uint64_t seq, bool shifted);
  // The lease check before a write that would replace another holder's rows; logs the
  // refusal.
  bool refuse_for_lost_lease(std::uint64_t seq, std::string_view message) const;

  // record_step, with a failure logged and swallowed.
  void record(std::uint64_t seq, const journal::StepKey& step_key,
              const journal::StepOutcome& outcome);
  void record_value(std::uint64_t seq, const journal::StepKey& key, journal::StepKind kind,
                    journal::Bytes bytes);

  std::unique_ptr<HeartbeatHandle> heartbeat_;  // null for a pure replay or a failed spawn
  const journal::ProcessId holder_;
  const journal::FlowId flow_id_;
  const std::uint64_t lease_ms_;
  const std::shared_ptr<Engine> engine_;
  const std::shared_ptr<journal::Journal> journal_;
  const std::shared_ptr<const journal::Clock> clock_;
  const std::shared_ptr<LeaseHeartbeatMonitor> monitor_;
  std::uint64_t seq_ = 0;  // the last seq taken
  const bool code_changed_;
  bool replay_abandoned_ = false;
  const bool replay_;
  bool completed_;
  const journal::FlowStatus status_at_entry_;
};

}  // namespace vorn::flow

#endif  // VORN_FLOW_FLOW_HANDLE_H_
