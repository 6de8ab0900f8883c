#include "flow/heartbeat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "flow_test_util.h"

namespace vorn::flow::testing {
namespace {

TEST(HeartbeatIntervalTest, IsHalfTheLeaseAtLeastOneMillisecond) {
  struct Case {
    std::uint64_t lease, interval;
  };
  for (const Case& c : std::vector<Case>{{0, 1},
                                         {1, 1},
                                         {2, 1},
                                         {3, 1},
                                         {30'000, 15'000},
                                         {std::numeric_limits<std::uint64_t>::max(), 86'400'000}}) {
    EXPECT_EQ(heartbeat_interval_ms(c.lease), c.interval) << c.lease;
  }
}

TEST(LeaseHeartbeatMonitorTest, MeasuresMonotonicTimeSinceTheLastRenewal) {
  FakeMonotonic monotonic;
  LeaseHeartbeatMonitor monitor(monotonic.now_fn());
  EXPECT_EQ(monitor.ms_since_renewal(), 0u);
  monotonic.advance(250);
  EXPECT_EQ(monitor.ms_since_renewal(), 250u);
  monitor.mark_renewed();
  EXPECT_EQ(monitor.ms_since_renewal(), 0u);
  monotonic.advance(7);
  EXPECT_EQ(monitor.ms_since_renewal(), 7u);
}

class HeartbeatTest : public FlowTest {
 protected:
  HeartbeatTest() {
    EXPECT_TRUE(journal_->begin_flow({kFlowId, "py:app:main", "a1", std::nullopt}).ok());
  }
};

TEST_F(HeartbeatTest, RenewalMarksTheMonitorOnlyWhenTheLeaseIsHeld) {
  enum class Setup { kFree, kOwnLease, kOtherHoldersLiveLease, kCompleted };
  struct Case {
    Setup setup;
    bool renewed;
  };
  for (const Case& c : std::vector<Case>{{Setup::kFree, true},
                                         {Setup::kOwnLease, true},
                                         {Setup::kOtherHoldersLiveLease, false},
                                         {Setup::kCompleted, false}}) {
    SCOPED_TRACE(static_cast<int>(c.setup));
    ASSERT_TRUE(journal_->complete_flow(kFlowId, journal::FlowStatus::kRunning));
    if (c.setup == Setup::kOwnLease) {
      ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-1", 10));
    }
    if (c.setup == Setup::kOtherHoldersLiveLease) {
      ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-2", kLease));
    }
    if (c.setup == Setup::kCompleted) {
      // Completed is final, so this case runs last on the shared row.
      ASSERT_TRUE(journal_->complete_flow(kFlowId, journal::FlowStatus::kCompleted));
    }
    const journal::FlowDescriptor before = flow_row();

    LeaseHeartbeatMonitor monitor(monotonic_.now_fn());
    monotonic_.advance(100);
    EXPECT_EQ(renew_lease(*journal_, kFlowId, "pid-1", kLease, monitor), c.renewed);
    EXPECT_EQ(monitor.ms_since_renewal(), c.renewed ? 0u : 100u);
    if (c.renewed) {
      EXPECT_EQ(flow_row().lease_holder, "pid-1");
      EXPECT_EQ(flow_row().lease_expires, clock_->now_ms() + static_cast<std::int64_t>(kLease));
    } else {
      EXPECT_EQ(flow_row(), before);
    }
  }
}

TEST_F(HeartbeatTest, FailedRenewalsAreLoggedAndLeaveTheMonitorAlone) {
  LogCapture logs;
  ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-2", kLease));
  LeaseHeartbeatMonitor monitor(monotonic_.now_fn());
  monotonic_.advance(100);
  EXPECT_FALSE(renew_lease(*journal_, kFlowId, "pid-1", kLease, monitor));
  auto lost = logs.with_message("lease heartbeat: lease lost to another holder");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].level, log::Level::kWarn);
  EXPECT_EQ(lost[0].fields, (std::map<std::string, std::string>{{"flow", kFlowId}}));

  exec("DROP TABLE steps; DROP TABLE outbox; DROP TABLE flows");
  EXPECT_FALSE(renew_lease(*journal_, kFlowId, "pid-1", kLease, monitor));
  auto failed = logs.with_message("lease heartbeat renewal failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, log::Level::kWarn);
  EXPECT_EQ(failed[0].fields["flow"], kFlowId);
  EXPECT_TRUE(failed[0].fields["error"].starts_with("journal storage error: "))
      << failed[0].fields["error"];
  EXPECT_EQ(monitor.ms_since_renewal(), 100u);
}

TEST_F(HeartbeatTest, ThreadRenewsTheLeaseEveryIntervalUntilDropped) {
  ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-1", 2));
  auto monitor = std::make_shared<LeaseHeartbeatMonitor>(monotonic_.now_fn());
  monotonic_.advance(500);
  clock_->advance(1'000);
  auto heartbeat = spawn_heartbeat(journal_, kFlowId, "pid-1", 2, monitor);
  ASSERT_NE(heartbeat, nullptr);
  EXPECT_EQ(heartbeat_threads(), 1);

  // The interval is 1 ms of real time; wait for the renewal the thread will make.
  const std::int64_t renewed_until = kT0 + 1'000 + 2;
  for (int i = 0; i < 10'000; ++i) {
    if (flow_row().lease_expires == renewed_until && monitor->ms_since_renewal() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(flow_row().lease_expires, renewed_until);
  EXPECT_EQ(monitor->ms_since_renewal(), 0u);

  heartbeat.reset();
  EXPECT_EQ(heartbeat_threads(), 0);
}

}  // namespace
}  // namespace vorn::flow::testing
