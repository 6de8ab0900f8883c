#include "flow/heartbeat.h"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "api/log.h"

namespace vorn::flow {

MonotonicInstant steady_now() {
  return std::chrono::steady_clock::now();
}

LeaseHeartbeatMonitor::LeaseHeartbeatMonitor(MonotonicNow now)
    : now_(std::move(now)), last_renewed_(now_()) {}

void LeaseHeartbeatMonitor::mark_renewed() {
  const MonotonicInstant now = now_();
  std::lock_guard lock(mu_);
  last_renewed_ = now;
}

std::uint64_t LeaseHeartbeatMonitor::ms_since_renewal() const {
  const MonotonicInstant now = now_();
  MonotonicInstant last;
  {
    std::lock_guard lock(mu_);
    last = last_renewed_;
  }
  if (now <= last) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
}

std::uint64_t heartbeat_interval_ms(std::uint64_t lease_ms) {
  constexpr std::uint64_t kMaxIntervalMs = 24ull * 60 * 60 * 1000;
  return std::clamp<std::uint64_t>(lease_ms / 2, 1, kMaxIntervalMs);
}

bool renew_lease(journal::Journal& journal, const journal::FlowId& flow_id,
                 const journal::ProcessId& holder, std::uint64_t lease_ms,
                 LeaseHeartbeatMonitor& monitor) {
  auto acquired = journal.acquire_lease(flow_id, holder, lease_ms);
  if (!acquired.ok()) {
    VORN_LOG(kFlow, kWarn, "lease heartbeat renewal failed", {"flow", flow_id},
             {"error", acquired.error().text()});
    return false;
  }
  if (!*acquired) {
    VORN_LOG(kFlow, kWarn, "lease heartbeat: lease lost to another holder", {"flow", flow_id});
    return false;
  }
  monitor.mark_renewed();
  return true;
}

HeartbeatHandle::~HeartbeatHandle() {
  {
    std::lock_guard lock(stop_->mu);
    stop_->stopped = true;
  }
  stop_->cv.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<HeartbeatHandle> spawn_heartbeat(std::shared_ptr<journal::Journal> journal,
                                                 journal::FlowId flow_id, journal::ProcessId holder,
                                                 std::uint64_t lease_ms,
                                                 std::shared_ptr<LeaseHeartbeatMonitor> monitor) {
  std::unique_ptr<HeartbeatHandle> handle(new HeartbeatHandle());
  const auto interval = std::chrono::milliseconds(heartbeat_interval_ms(lease_ms));
  auto body = [stop = handle->stop_, journal = std::move(journal), flow_id,
               holder = std::move(holder), lease_ms, monitor = std::move(monitor), interval] {
    for (;;) {
      {
        std::unique_lock lock(stop->mu);
        if (stop->cv.wait_for(lock, interval, [&] { return stop->stopped; })) return;
      }
      renew_lease(*journal, flow_id, holder, lease_ms, *monitor);
    }
  };
  try {
    handle->thread_ = std::thread(std::move(body));
  } catch (const std::system_error& e) {
    VORN_LOG(kFlow, kWarn, "lease heartbeat thread could not be started", {"flow", flow_id},
             {"error", e.what()});
    return nullptr;
  }
  // Named from here rather than from the thread itself, so the name is in place as soon
  // as the handle exists. A failure only leaves the thread unnamed.
  const std::string os_name(kHeartbeatThreadName.substr(0, 15));
  pthread_setname_np(handle->thread_.native_handle(), os_name.c_str());
  return handle;
}

}  // namespace vorn::flow
