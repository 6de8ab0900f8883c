#include "flow/flow_manager.h"

#include <limits>
#include <utility>

#include "journal/records.h"

namespace vorn::flow {

namespace {

VornError journal_failure(std::string_view operation, const journal::Error& error) {
  return vorn_error(ErrorCode::kE040, std::string(operation) + " failed: " + error.text());
}

}  // namespace

Result<std::unique_ptr<FlowHandle>, VornError> FlowManager::enter_flow(
    const FlowDescriptor& descriptor) const {
  return enter(flow_id_for(descriptor), descriptor.entrypoint, descriptor.args_hash,
               descriptor.code_hash);
}

Result<std::unique_ptr<FlowHandle>, VornError> FlowManager::enter(
    const journal::FlowId& flow_id, std::string_view entrypoint, std::string_view args_hash,
    const std::optional<std::string>& code_hash) const {
  auto begun = journal->begin_flow(
      journal::NewFlow{flow_id, std::string(entrypoint), std::string(args_hash), code_hash});
  if (!begun.ok()) return journal_failure("begin_flow", begun.error());

  auto row = journal->get_flow(flow_id);
  if (!row.ok()) return journal_failure("get_flow", row.error());
  // The row was just begun, so it is only absent if something removed it meanwhile; the
  // flow is then treated as running.
  const journal::FlowStatus status = *row ? (*row)->status : journal::FlowStatus::kRunning;

  if (status == journal::FlowStatus::kCompleted) {
    return new_handle(flow_id, status, false, nullptr,
                      std::make_shared<LeaseHeartbeatMonitor>(monotonic_now), true);
  }
  if (status == journal::FlowStatus::kDead) {
    return vorn_error(ErrorCode::kE032,
                      "flow " + flow_id + " is dead; refusing to resume (VORN-E032)");
  }

  auto counter = journal->step_at(flow_id, 0);
  if (!counter.ok()) return journal_failure("attempt lookup", counter.error());
  std::uint32_t entry = 1;
  if (*counter) {
    const std::uint32_t previous = (*counter)->outcome.attempt;
    entry = previous == std::numeric_limits<std::uint32_t>::max() ? previous : previous + 1;
  }

  if (entry > max_attempts) {
    auto marked = journal->complete_flow(flow_id, journal::FlowStatus::kDead);
    if (!marked.ok()) return journal_failure("mark-dead", marked.error());
    return vorn_error(ErrorCode::kE032, "flow " + flow_id + " exceeded its " +
                                            std::to_string(max_attempts) +
                                            " attempt cap; marked dead (VORN-E032)");
  }

  if (status == journal::FlowStatus::kFailed) {
    auto reopened = journal->complete_flow(flow_id, journal::FlowStatus::kRunning);
    if (!reopened.ok()) return journal_failure("reset-to-running", reopened.error());
  }

  auto leased = journal->acquire_lease(flow_id, holder, lease);
  if (!leased.ok()) return journal_failure("acquire_lease", leased.error());
  if (!*leased) {
    return vorn_error(ErrorCode::kE030, "flow " + flow_id +
                                            " is leased by another holder; not resuming "
                                            "(VORN-E030)");
  }

  const std::int64_t now = clock->now_ms();
  auto counted = journal->record_step(
      flow_id, 0, "flow:attempt",
      journal::StepOutcome{journal::StepKind::kMarker, entry, journal::StepStatus::kOk,
                           std::nullopt, std::nullopt, now, now});
  if (!counted.ok()) return journal_failure("attempt-counter record", counted.error());

  // The stored hash is the one the flow was begun with; resumes never update it.
  const bool code_changed =
      code_hash && *row && (*row)->code_hash && *code_hash != *(*row)->code_hash;

  auto monitor = std::make_shared<LeaseHeartbeatMonitor>(monotonic_now);
  auto heartbeat = spawn_heartbeat(journal, flow_id, holder, lease, monitor);
  return new_handle(flow_id, status, code_changed, std::move(heartbeat), std::move(monitor), false);
}

std::unique_ptr<FlowHandle> FlowManager::new_handle(journal::FlowId flow_id,
                                                    journal::FlowStatus status_at_entry,
                                                    bool code_changed,
                                                    std::unique_ptr<HeartbeatHandle> heartbeat,
                                                    std::shared_ptr<LeaseHeartbeatMonitor> monitor,
                                                    bool replay) const {
  return std::unique_ptr<FlowHandle>(new FlowHandle(*this, std::move(flow_id), status_at_entry,
                                                    code_changed, std::move(heartbeat),
                                                    std::move(monitor), replay));
}

}  // namespace vorn::flow
