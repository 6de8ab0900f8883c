#include "flow/flow_handle.h"

#include <limits>
#include <utility>

#include "api/codec/step_payload.h"
#include "api/json.h"
#include "api/log.h"
#include "flow/flow_manager.h"
#include "flow/step_outcomes.h"
#include "flow/value_steps.h"

namespace vorn::flow {

namespace {

constexpr std::uint64_t kBranchSeqShift = 1'000'000;

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

}  // namespace

FlowHandle::FlowHandle(const FlowManager& manager, journal::FlowId flow_id,
                       journal::FlowStatus status_at_entry, bool code_changed,
                       std::unique_ptr<HeartbeatHandle> heartbeat,
                       std::shared_ptr<LeaseHeartbeatMonitor> monitor, bool replay)
    : heartbeat_(std::move(heartbeat)),
      holder_(manager.holder),
      flow_id_(std::move(flow_id)),
      lease_ms_(manager.lease),
      engine_(manager.engine),
      journal_(manager.journal),
      clock_(manager.clock),
      monitor_(std::move(monitor)),
      code_changed_(code_changed),
      replay_(replay),
      completed_(replay),
      status_at_entry_(status_at_entry) {}

FlowHandle::~FlowHandle() {
  heartbeat_.reset();
  if (!completed_) {
    VORN_LOG(kFlow, kDebug, "flow handle dropped uncompleted; left running for recovery",
             {"flow", flow_id_});
  }
}

std::int64_t FlowHandle::now() const {
  return clock_->now_ms();
}

bool FlowHandle::lease_lost() const {
  auto row = journal_->get_flow(flow_id_);
  if (row.ok() && *row) {
    const auto& lease_holder = (*row)->lease_holder;
    if (!lease_holder || *lease_holder != holder_) return true;
  }
  return monitor_->ms_since_renewal() >= lease_ms_;
}

Status<VornError> FlowHandle::complete(journal::FlowStatus status) {
  completed_ = true;
  auto done = journal_->complete_flow(flow_id_, status);
  if (!done.ok()) {
    return vorn_error(ErrorCode::kE040, "complete_flow failed: " + done.error().text());
  }
  return {};
}

std::uint64_t FlowHandle::next_seq() {
  seq_ = add_saturating(seq_, 1);
  return seq_;
}

StepPlan FlowHandle::plan_step(std::uint64_t seq, const journal::StepKey& step_key) const {
  if (replay_abandoned_) return StepPlan::live();
  auto recorded = journal_->step_at(flow_id_, seq);
  if (!recorded.ok()) {
    VORN_LOG(kFlow, kWarn, "step_at failed; executing live", {"flow", flow_id_},
             {"seq", std::to_string(seq)}, {"error", recorded.error().text()});
    return StepPlan::live();
  }
  return plan_from_recorded(std::move(recorded).value(), step_key);
}

NondeterminismResponse FlowHandle::effective_response() const {
  const NondeterminismResponse response = engine_->nondeterminism_response();
  // A resume under changed code is expected to diverge: it abandons replay instead.
  if (response == NondeterminismResponse::kFail && code_changed_) {
    return NondeterminismResponse::kWarn;
  }
  return response;
}

void FlowHandle::record(std::uint64_t seq, const journal::StepKey& step_key,
                        const journal::StepOutcome& outcome) {
  auto recorded = journal_->record_step(flow_id_, seq, step_key, outcome);
  if (!recorded.ok()) {
    VORN_LOG(kFlow, kWarn, "record_step failed; step not journaled", {"flow", flow_id_},
             {"seq", std::to_string(seq)}, {"error", recorded.error().text()});
  }
}

void FlowHandle::journal_branch_marker(const journal::StepKey& expected,
                                       const journal::StepKey& observed, std::string_view mode,
                                       std::uint64_t seq, bool shifted) {
  VORN_LOG(kFlow, kWarn, "flow nondeterminism; abandoning replay", {"flow", flow_id_},
           {"seq", std::to_string(seq)}, {"mode", std::string(mode)}, {"expected", expected},
           {"observed", observed});
  replay_abandoned_ = true;
  const std::uint64_t marker_seq = shifted ? add_saturating(seq, kBranchSeqShift) : seq;
  const std::int64_t at = now();
  record(marker_seq, "flow:branch:" + std::string(mode),
         journal::StepOutcome{
             journal::StepKind::kMarker, 0, journal::StepStatus::kOk,
             encode_payload(Json{{"expected", expected}, {"mode", mode}, {"observed", observed}}),
             std::nullopt, at, at});
  seq_ = add_saturating(marker_seq, 1);
}

bool FlowHandle::refuse_for_lost_lease(std::uint64_t seq, std::string_view message) const {
  if (!lease_lost()) return false;
  VORN_LOG(kFlow, kWarn, message, {"flow", flow_id_}, {"seq", std::to_string(seq)});
  return true;
}

Task<StepResult> FlowHandle::execute_step_with_idempotency_key(
    Runtime& rt, const Request& request, Effect& effect,
    std::optional<std::string> idempotency_key) {
  const std::uint64_t seq = next_seq();
  journal::StepKey key = step_key(request);
  StepPlan plan = plan_step(seq, key);
  if (replay_) {
    if (plan.kind == StepPlan::Kind::kReplay) {
      co_return StepResult{replay_outcome(flow_id_, seq, plan.recorded), true};
    }
    co_return StepResult{replay_miss_outcome(flow_id_, seq, key), false};
  }
  if (plan.kind == StepPlan::Kind::kReplay) {
    co_return StepResult{replay_outcome(flow_id_, seq, plan.recorded), true};
  }
  if (plan.kind == StepPlan::Kind::kDiverged) {
    StepResult result =
        co_await on_divergence(rt, seq, std::move(plan.recorded_key), std::move(key), request,
                               effect, std::move(idempotency_key));
    co_return result;
  }
  // Awaited into a local first: a co_await inside a braced initialiser of the returned
  // value is miscompiled by GCC 12.
  Outcome outcome =
      co_await run_live(rt, seq, std::move(key), request, effect, std::move(idempotency_key));
  co_return StepResult{std::move(outcome), false};
}

Task<StepResult> FlowHandle::on_divergence(Runtime& rt, std::uint64_t seq,
                                           journal::StepKey recorded_key, journal::StepKey step_key,
                                           const Request& request, Effect& effect,
                                           std::optional<std::string> idempotency_key) {
  const NondeterminismResponse response = effective_response();
  if (response == NondeterminismResponse::kFail) {
    co_return StepResult{diverged_outcome(flow_id_, seq, recorded_key, step_key), false};
  }
  // branch_and_continue. The marker replaces a row of the recorded run, so it is written
  // only while the lease is still ours.
  if (refuse_for_lost_lease(
          seq, "lease lost before live step; refusing to double-execute (VORN-E030)")) {
    co_return StepResult{lease_lost_outcome(flow_id_, seq), false};
  }
  journal_branch_marker(recorded_key, step_key, nondeterminism_response_text(response), seq,
                        response == NondeterminismResponse::kBranch);
  Outcome outcome =
      co_await run_live(rt, seq_, std::move(step_key), request, effect, std::move(idempotency_key));
  co_return StepResult{std::move(outcome), false};
}

Task<Outcome> FlowHandle::run_live(Runtime& rt, std::uint64_t seq, journal::StepKey step_key,
                                   const Request& request, Effect& effect,
                                   std::optional<std::string> idempotency_key) {
  if (refuse_for_lost_lease(
          seq, "lease lost before live step; refusing to double-execute (VORN-E030)")) {
    co_return lease_lost_outcome(flow_id_, seq);
  }
  const std::int64_t started = now();
  record(seq, step_key,
         journal::StepOutcome{
             journal::StepKind::kEffect, 0, journal::StepStatus::kRunning,
             idempotency_key ? idempotency_key_payload(*idempotency_key) : std::nullopt,
             std::nullopt, started, std::nullopt});

  Outcome outcome = co_await engine_->execute(rt, request, effect);

  journal::StepOutcome terminal;
  terminal.kind = journal::StepKind::kEffect;
  terminal.attempt = outcome.attempts;
  if (outcome.ok) {
    terminal.status = journal::StepStatus::kOk;
    if (outcome.payload) terminal.payload = encode_payload(*outcome.payload);
  } else {
    terminal.status = journal::StepStatus::kError;
    if (outcome.error) terminal.error_class = outcome.error->error_class;
  }
  // The journal keeps the running record's started_at; this one only fills the column.
  terminal.started_at = started;
  terminal.ended_at = now();
  record(seq, step_key, terminal);
  co_return outcome;
}

}  // namespace vorn::flow
