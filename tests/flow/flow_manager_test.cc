#include "flow/flow_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/error_code.h"
#include "flow/flow_descriptor.h"
#include "flow_test_util.h"

namespace vorn::flow::testing {
namespace {

using journal::FlowStatus;
using journal::StepKind;
using journal::StepOutcome;
using journal::StepStatus;

TEST(FlowIdTest, JoinsEntrypointArgsHashAndExplicitKey) {
  struct Case {
    std::optional<std::string> explicit_key;
    std::string id;
  };
  for (const Case& c :
       std::vector<Case>{{"nightly", "py:m:f#h#nightly"}, {std::nullopt, "py:m:f#h#"}}) {
    EXPECT_EQ(flow_id_for(FlowDescriptor{"py:m:f", "h", c.explicit_key, "code"}), c.id);
  }
}

class FlowEntryTest : public FlowTest {
 protected:
  std::uint32_t entry_count() {
    auto counter = step_at(0);
    EXPECT_TRUE(counter.has_value());
    return counter ? counter->outcome.attempt : 0;
  }

  void expect_error(const Result<std::unique_ptr<FlowHandle>, VornError>& entered, ErrorCode code,
                    const std::string& message) {
    ASSERT_FALSE(entered.ok());
    EXPECT_EQ(entered.error().code, code);
    EXPECT_EQ(entered.error().message, message);
  }
};

TEST_F(FlowEntryTest, NewFlowIsBegunLeasedAndCountsItsFirstEntry) {
  auto handle = enter();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->flow_id(), kFlowId);
  EXPECT_EQ(handle->status_at_entry(), FlowStatus::kRunning);
  EXPECT_FALSE(handle->replay());

  const journal::FlowDescriptor row = flow_row();
  EXPECT_EQ(row.entrypoint, "py:app:main");
  EXPECT_EQ(row.args_hash, "a1");
  EXPECT_EQ(row.status, FlowStatus::kRunning);
  EXPECT_EQ(row.lease_holder, "pid-1");
  EXPECT_EQ(row.lease_expires, kT0 + static_cast<std::int64_t>(kLease));

  auto counter = step_at(0);
  ASSERT_TRUE(counter.has_value());
  EXPECT_EQ(counter->step_key, "flow:attempt");
  EXPECT_EQ(counter->outcome, (StepOutcome{StepKind::kMarker, 1, StepStatus::kOk, std::nullopt,
                                           std::nullopt, kT0, kT0}));
  EXPECT_EQ(step_rows(), std::vector<std::string>{"0|flow:attempt|marker|ok"});
}

TEST_F(FlowEntryTest, ExplicitKeysSeparateFlows) {
  FlowDescriptor keyed = descriptor();
  keyed.explicit_key = "k";
  auto plain = enter();
  auto other = enter(manager(), keyed);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->flow_id(), "py:app:main#a1#k");
  EXPECT_EQ(step_at(0, "py:app:main#a1#k")->outcome.attempt, 1u);
  EXPECT_EQ(entry_count(), 1u);
}

TEST_F(FlowEntryTest, FourthEntryMarksTheFlowDeadAndLaterEntriesAreRefused) {
  for (std::uint32_t n = 1; n <= 3; ++n) {
    auto handle = enter();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(entry_count(), n);
    handle.reset();  // left uncompleted, as by a crash
    clock_->advance(kLease + 1);
  }
  expect_error(manager().enter_flow(descriptor()), ErrorCode::kE032,
               "flow py:app:main#a1# exceeded its 3 attempt cap; marked dead (VORN-E032)");
  const journal::FlowDescriptor row = flow_row();
  EXPECT_EQ(row.status, FlowStatus::kDead);
  EXPECT_EQ(row.lease_holder, std::nullopt);
  EXPECT_EQ(entry_count(), 3u);

  expect_error(manager().enter_flow(descriptor()), ErrorCode::kE032,
               "flow py:app:main#a1# is dead; refusing to resume (VORN-E032)");
}

TEST_F(FlowEntryTest, AnotherHoldersLiveLeaseRefusesEntryWithoutCounting) {
  auto first = enter();
  expect_error(manager("pid-2").enter_flow(descriptor()), ErrorCode::kE030,
               "flow py:app:main#a1# is leased by another holder; not resuming (VORN-E030)");
  EXPECT_EQ(entry_count(), 1u);
  EXPECT_EQ(flow_row().lease_holder, "pid-1");

  first.reset();
  clock_->advance(kLease + 1);
  auto second = enter(manager("pid-2"));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(entry_count(), 2u);
  EXPECT_EQ(flow_row().lease_holder, "pid-2");
}

TEST_F(FlowEntryTest, SameHolderReentersItsOwnLiveLease) {
  auto first = enter();
  clock_->advance(10);
  auto second = enter();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(entry_count(), 2u);
  EXPECT_EQ(flow_row().lease_expires, kT0 + 10 + static_cast<std::int64_t>(kLease));
}

TEST_F(FlowEntryTest, AttemptCapIsCheckedBeforeTheLease) {
  std::unique_ptr<FlowHandle> live;
  for (int n = 1; n <= 3; ++n) live = enter();
  expect_error(manager("pid-2").enter_flow(descriptor()), ErrorCode::kE032,
               "flow py:app:main#a1# exceeded its 3 attempt cap; marked dead (VORN-E032)");
  EXPECT_EQ(flow_row().status, FlowStatus::kDead);
}

TEST_F(FlowEntryTest, CompletedFlowEntersAsPureReplayWithoutWriting) {
  {
    auto handle = enter();
    ScriptedEffect effect;
    step(*handle, request("svc"), effect);
    ASSERT_TRUE(handle->complete(FlowStatus::kCompleted));
  }
  const journal::FlowDescriptor before = flow_row();
  const std::vector<std::string> rows = step_rows();
  clock_->advance(kLease + 1);

  auto replay = enter(manager("pid-2"));
  ASSERT_NE(replay, nullptr);
  EXPECT_TRUE(replay->replay());
  EXPECT_EQ(replay->status_at_entry(), FlowStatus::kCompleted);
  EXPECT_FALSE(replay->code_changed());
  EXPECT_EQ(heartbeat_threads(), 0);
  EXPECT_TRUE(replay->complete(FlowStatus::kFailed));
  replay.reset();

  EXPECT_EQ(flow_row(), before);
  EXPECT_EQ(step_rows(), rows);
  EXPECT_EQ(step_at(0)->outcome.attempt, 1u);
}

TEST_F(FlowEntryTest, FailedFlowIsReopenedAndCounted) {
  {
    auto handle = enter();
    ASSERT_TRUE(handle->complete(FlowStatus::kFailed));
  }
  EXPECT_EQ(flow_row().status, FlowStatus::kFailed);
  EXPECT_EQ(flow_row().lease_holder, std::nullopt);

  auto handle = enter();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->status_at_entry(), FlowStatus::kFailed);
  EXPECT_FALSE(handle->replay());
  EXPECT_EQ(flow_row().status, FlowStatus::kRunning);
  EXPECT_EQ(flow_row().lease_holder, "pid-1");
  EXPECT_EQ(entry_count(), 2u);
}

TEST_F(FlowEntryTest, CodeHashFenceComparesTheBegunHashWithTheCallers) {
  struct Case {
    std::optional<std::string> begun, resumed;
    bool changed;
  };
  const std::vector<Case> cases = {
      {"c1", "c1", false},
      {"c1", "c2", true},
      {std::nullopt, "c2", false},
      {"c1", std::nullopt, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    FlowDescriptor d{"py:app:main", "fence" + std::to_string(i), std::nullopt, c.begun};
    auto first = enter(manager(), d);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->code_changed()) << i;
    first.reset();

    d.code_hash = c.resumed;
    auto resumed = enter(manager(), d);
    ASSERT_NE(resumed, nullptr);
    EXPECT_EQ(resumed->code_changed(), c.changed) << i;
    EXPECT_EQ(flow_row(flow_id_for(d)).code_hash, c.begun) << i;
  }
}

TEST_F(FlowEntryTest, JournalFailuresAreReportedWithTheFailedOperation) {
  struct Case {
    std::string sql;
    std::string message;  // exact, or a prefix when ending in ": "
  };
  const std::vector<Case> cases = {
      {"DROP TABLE steps; DROP TABLE flows", "begin_flow failed: journal storage error: "},
      {"DROP TABLE steps", "attempt lookup failed: journal storage error: "},
      {"INSERT INTO flows VALUES ('py:app:main#a1#', 'py:app:main', 'a1', NULL, 'running', "
       "NULL, NULL, 0, 0); INSERT INTO steps (flow_id, seq, step_key, kind, attempt, outcome, "
       "started_at) VALUES ('py:app:main#a1#', 0, 'flow:attempt', 'marker', -1, 'ok', 0)",
       "attempt lookup failed: journal column `steps.attempt` holds a value outside the schema "
       "contract: \"-1\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TempDir dir;
    auto journal = journal::SqliteJournal::open(dir.path() / "journal.db", clock_);
    ASSERT_TRUE(journal.ok());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "journal.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, c.sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    FlowManager m = manager();
    m.journal = *journal;
    auto entered = m.enter_flow(descriptor());
    ASSERT_FALSE(entered.ok());
    EXPECT_EQ(entered.error().code, ErrorCode::kE040);
    if (c.message.ends_with(": ")) {
      EXPECT_TRUE(entered.error().message.starts_with(c.message)) << entered.error().message;
    } else {
      EXPECT_EQ(entered.error().message, c.message);
    }
  }
}

TEST_F(FlowEntryTest, DroppingAHandleStopsItsHeartbeatAtOnceAndLeavesTheFlowRunning) {
  // With an hour's lease the heartbeat sleeps half an hour between renewals: the drop
  // must wake it rather than wait.
  LogCapture logs;
  auto handle = enter(manager("pid-1", 3'600'000));
  EXPECT_EQ(heartbeat_threads(), 1);
  handle.reset();
  EXPECT_EQ(heartbeat_threads(), 0);
  auto dropped = logs.with_message("flow handle dropped uncompleted; left running for recovery");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].level, log::Level::kDebug);
  EXPECT_EQ(dropped[0].fields, (std::map<std::string, std::string>{{"flow", kFlowId}}));
  const journal::FlowDescriptor row = flow_row();
  EXPECT_EQ(row.status, FlowStatus::kRunning);
  EXPECT_EQ(row.lease_holder, "pid-1");
}

TEST_F(FlowEntryTest, CompleteStampsTheStatusAndClearsTheLease) {
  LogCapture logs;
  auto handle = enter();
  ASSERT_TRUE(handle->complete(FlowStatus::kCompleted));
  handle.reset();
  EXPECT_TRUE(
      logs.with_message("flow handle dropped uncompleted; left running for recovery").empty());
  const journal::FlowDescriptor row = flow_row();
  EXPECT_EQ(row.status, FlowStatus::kCompleted);
  EXPECT_EQ(row.lease_holder, std::nullopt);
  EXPECT_EQ(row.lease_expires, std::nullopt);
}

}  // namespace
}  // namespace vorn::flow::testing
