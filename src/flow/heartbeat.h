#ifndef VORN_FLOW_HEARTBEAT_H_
#define VORN_FLOW_HEARTBEAT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "journal/journal.h"
#include "journal/types.h"

namespace vorn::flow {

using MonotonicInstant = std::chrono::steady_clock::time_point;
// A reading of the monotonic clock. Injectable so lease lapses can be tested without
// waiting; must be callable from any thread.
using MonotonicNow = std::function<MonotonicInstant()>;

// std::chrono::steady_clock::now.
MonotonicInstant steady_now();

// The time of the last successful lease renewal of one flow, shared by the flow's handle
// (which reads it before every live step) and its heartbeat thread (which renews it).
//
// Nothing run under mu_ can throw or fail, so the lock is never left broken by an
// interrupted holder and there is no poisoned state to report.
class LeaseHeartbeatMonitor {
 public:
  // Counts the present instant as the last renewal.
  explicit LeaseHeartbeatMonitor(MonotonicNow now = steady_now);

  LeaseHeartbeatMonitor(const LeaseHeartbeatMonitor&) = delete;
  LeaseHeartbeatMonitor& operator=(const LeaseHeartbeatMonitor&) = delete;

  // Records a successful renewal at the present instant.
  void mark_renewed();

  // Whole milliseconds since the last renewal (or since construction); 0 if the clock
  // reads earlier than that.
  std::uint64_t ms_since_renewal() const;

 private:
  const MonotonicNow now_;
  mutable std::mutex mu_;
  MonotonicInstant last_renewed_;  // guarded by mu_
};

// The name given to every heartbeat thread. Linux keeps at most 15 bytes of a thread
// name, so the kernel shows the first 15: "vorn-lease-hear".
inline constexpr std::string_view kHeartbeatThreadName = "vorn-lease-heartbeat";

// Renewal interval for a lease: half the lease, at least 1 ms. Capped at one day so the
// wait stays within the clock's range; renewing earlier than needed is harmless.
std::uint64_t heartbeat_interval_ms(std::uint64_t lease_ms);

// One renewal: acquire_lease(flow_id, holder, lease_ms). On success marks the monitor
// renewed; a lease held by another holder or a journal failure is logged as a warning
// and otherwise ignored (the next live step sees the lost lease). Returns whether the
// lease was renewed.
bool renew_lease(journal::Journal& journal, const journal::FlowId& flow_id,
                 const journal::ProcessId& holder, std::uint64_t lease_ms,
                 LeaseHeartbeatMonitor& monitor);

// Owns one running heartbeat thread. Destruction stops it at once (the sleeping thread
// is woken, not waited out) and joins it.
class HeartbeatHandle {
 public:
  ~HeartbeatHandle();
  HeartbeatHandle(const HeartbeatHandle&) = delete;
  HeartbeatHandle& operator=(const HeartbeatHandle&) = delete;

 private:
  friend std::unique_ptr<HeartbeatHandle> spawn_heartbeat(std::shared_ptr<journal::Journal>,
                                                          journal::FlowId, journal::ProcessId,
                                                          std::uint64_t,
                                                          std::shared_ptr<LeaseHeartbeatMonitor>);

  // The stop signal, shared with the thread.
  struct Stop {
    std::mutex mu;
    std::condition_variable cv;
    bool stopped = false;  // guarded by mu
  };

  HeartbeatHandle() = default;

  std::shared_ptr<Stop> stop_ = std::make_shared<Stop>();
  std::thread thread_;
};

// Starts a thread named kHeartbeatThreadName that, every heartbeat_interval_ms(lease_ms),
// runs renew_lease until the returned handle is destroyed. It keeps renewing whatever
// the outcome (it may win a lapsed lease back) and never ends the flow. The first renewal
// comes one interval after the call. Returns null when the thread cannot be started; the
// flow then runs without renewals and its lease lapses after one lease duration.
std::unique_ptr<HeartbeatHandle> spawn_heartbeat(std::shared_ptr<journal::Journal> journal,
                                                 journal::FlowId flow_id, journal::ProcessId holder,
                                                 std::uint64_t lease_ms,
                                                 std::shared_ptr<LeaseHeartbeatMonitor> monitor);

}  // namespace vorn::flow

#endif  // VORN_FLOW_HEARTBEAT_H_
