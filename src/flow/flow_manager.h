#ifndef VORN_FLOW_FLOW_MANAGER_H_
#define VORN_FLOW_FLOW_MANAGER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/result.h"
#include "api/vorn_error.h"
#include "engine/engine.h"
#include "flow/flow_descriptor.h"
#include "flow/flow_handle.h"
#include "flow/heartbeat.h"
#include "journal/clock.h"
#include "journal/journal.h"
#include "journal/types.h"

namespace vorn::flow {

// Opens flows: begins new ones and resumes, replays or refuses existing ones.
//
// A flow row moves through its statuses as follows; completed and dead are never left.
//
//   from       event                                   to
//   (none)     enter (begin_flow)                      running
//   running    FlowHandle::complete                    completed | failed
//   failed     enter                                   running (reopened)
//   running,   enter with the entry count above        dead
//   failed       max_attempts
//   completed  enter                                   completed (pure replay, no writes)
//   dead       enter                                   dead (refused, "VORN-E032")
//
// The lease of a running row:
//
//   from                         event                               to
//   free, expired or ours        enter / heartbeat renewal           ours until now + lease
//   another holder's, live       enter                               unchanged ("VORN-E030")
//   ours                         renewals lapse for a whole lease    expired; live steps of
//                                                                    ours are refused
//   any                          complete_flow (any status)          free
//
// Every successful entry of a running or failed flow records one more entry number at
// seq 0 ("flow:attempt"), so the counter counts entries, crashes and retries alike.
//
// engine, journal and clock must be set. Entry runs on the caller's thread and never
// waits for a lease.
struct FlowManager {
  journal::ProcessId holder;     // this process, "pid-{pid}"
  std::uint64_t lease = 30'000;  // lease duration, milliseconds
  std::uint32_t max_attempts = 3;
  std::shared_ptr<Engine> engine;  // runs live steps, supplies the nondeterminism response
  std::shared_ptr<journal::Journal> journal;
  std::shared_ptr<const journal::Clock> clock;  // journal timestamps of steps
  MonotonicNow monotonic_now = steady_now;      // lease-lapse checks and renewals

  // Enters the flow "{entrypoint}#{args_hash}#{explicit_key}" (see enter).
  Result<std::unique_ptr<FlowHandle>, VornError> enter_flow(const FlowDescriptor& descriptor) const;

  // Begins or resumes `flow_id`. A completed flow yields a pure-replay handle without
  // taking a lease or writing anything. Otherwise: refuses a dead flow; counts this
  // entry at seq 0 after checking it against max_attempts (exceeding it marks the flow
  // dead, even while another holder leases it); reopens a failed flow; takes the lease
  // without waiting (refusing when another holder's lease is live); records the entry
  // number; and starts the lease heartbeat.
  //
  // Errors: "VORN-E032" for a dead flow or an exceeded cap, "VORN-E030" for a lease held
  // elsewhere, "VORN-E040" "{operation} failed: {journal error}" for a journal failure
  // (earlier steps may already have taken effect).
  Result<std::unique_ptr<FlowHandle>, VornError> enter(
      const journal::FlowId& flow_id, std::string_view entrypoint, std::string_view args_hash,
      const std::optional<std::string>& code_hash) const;

  // A handle over this manager's fields.
  std::unique_ptr<FlowHandle> new_handle(journal::FlowId flow_id,
                                         journal::FlowStatus status_at_entry, bool code_changed,
                                         std::unique_ptr<HeartbeatHandle> heartbeat,
                                         std::shared_ptr<LeaseHeartbeatMonitor> monitor,
                                         bool replay) const;
};

}  // namespace vorn::flow

#endif  // VORN_FLOW_FLOW_MANAGER_H_
