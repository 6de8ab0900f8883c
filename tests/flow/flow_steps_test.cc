#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/codec/step_payload.h"
#include "api/error_code.h"
#include "flow/flow_handle.h"
#include "flow/step_plan.h"
#include "flow_test_util.h"

namespace vorn::flow::testing {
namespace {

using journal::FlowStatus;
using journal::StepKind;
using journal::StepOutcome;
using journal::StepStatus;

std::optional<Json> decoded(const std::optional<journal::Bytes>& bytes) {
  return bytes ? decode_payload(*bytes) : std::nullopt;
}

void expect_refusal(const StepResult& result, ErrorCode code, const std::string& message,
                    std::uint64_t seq, const std::string& flow_id = "py:app:main#a1#") {
  EXPECT_FALSE(result.replayed);
  EXPECT_FALSE(result.outcome.ok);
  ASSERT_TRUE(result.outcome.error.has_value());
  EXPECT_EQ(result.outcome.error->code, code);
  EXPECT_EQ(result.outcome.error->error_class, ErrorClass::kOther);
  EXPECT_EQ(result.outcome.error->message, message);
  EXPECT_EQ(result.outcome.attempts, 0u);
  EXPECT_EQ(result.outcome.trace_id, "flow-" + flow_id + "-s" + std::to_string(seq));
}

TEST(StepKeyTest, IsTargetAndArgsHashWithADashForNone) {
  EXPECT_EQ(step_key(request("api.example.com", "h1")), "api.example.com#h1");
  EXPECT_EQ(step_key(request("llm:openai")), "llm:openai#-");
}

using FlowStepTest = FlowTest;

TEST_F(FlowStepTest, LiveStepRecordsRunningThenTerminalAroundTheEngineCall) {
  struct Case {
    std::string name;
    std::vector<AttemptResult> script;
    bool ok;
    std::uint32_t attempts;
    std::optional<ErrorClass> error_class;
  };
  AttemptResult http = AttemptResult::failure(ErrorClass::kHttp, "bad request");
  http.error.http_status = 400;
  const std::vector<Case> cases = {
      {"ok", {AttemptResult::success(Json{{"id", 7}})}, true, 1, std::nullopt},
      {"error", {http}, false, 1, ErrorClass::kHttp},
      {"retried",
       {AttemptResult::failure(ErrorClass::kConn, "reset"),
        AttemptResult::success(Json{{"id", 7}})},
       true,
       2,
       std::nullopt},
  };
  ASSERT_TRUE(engine_->configure(
      Json{{"target", {{"svc", {{"retry", {{"attempts", 3}, {"schedule", "fixed(10ms)"}}}}}}}}));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    FlowDescriptor d{"py:app:main", c.name, std::nullopt, std::nullopt};
    const journal::FlowId id = flow_id_for(d);
    auto handle = enter(manager(), d);
    ASSERT_NE(handle, nullptr);
    clock_->advance(5);
    const std::int64_t started = clock_->now_ms();

    ScriptedEffect effect(c.script);
    std::optional<journal::KeyedStep> in_flight;
    effect.on_call = [&] {
      if (!in_flight) in_flight = step_at(1, id);
      clock_->advance(100);
    };
    StepResult result = step(*handle, request("svc", "h1", true), effect, "idem-" + c.name);

    ASSERT_TRUE(in_flight.has_value());
    EXPECT_EQ(in_flight->step_key, "svc#h1");
    EXPECT_EQ(in_flight->outcome.kind, StepKind::kEffect);
    EXPECT_EQ(in_flight->outcome.status, StepStatus::kRunning);
    EXPECT_EQ(in_flight->outcome.attempt, 0u);
    EXPECT_EQ(in_flight->outcome.started_at, started);
    EXPECT_EQ(in_flight->outcome.ended_at, std::nullopt);
    EXPECT_EQ(decoded(in_flight->outcome.payload), (Json{{"idempotency_key", "idem-" + c.name}}));

    EXPECT_FALSE(result.replayed);
    EXPECT_EQ(result.outcome.ok, c.ok);
    EXPECT_EQ(result.outcome.attempts, c.attempts);
    EXPECT_EQ(result.outcome.trace_id, "t-00000" + std::to_string(i + 1));
    auto done = step_at(1, id);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->outcome.status, c.ok ? StepStatus::kOk : StepStatus::kError);
    EXPECT_EQ(done->outcome.attempt, result.outcome.attempts);
    EXPECT_EQ(done->outcome.error_class, c.error_class);
    EXPECT_EQ(decoded(done->outcome.payload),
              c.ok ? std::optional<Json>(Json{{"id", 7}}) : std::nullopt);
    EXPECT_EQ(done->outcome.started_at, started);
    EXPECT_EQ(done->outcome.ended_at, clock_->now_ms());
  }
}

TEST_F(FlowStepTest, StepWithoutIdempotencyKeyRecordsNoRunningPayload) {
  auto handle = enter();
  ScriptedEffect effect;
  std::optional<journal::KeyedStep> in_flight;
  effect.on_call = [&] { in_flight = step_at(1); };
  step(*handle, request("svc"), effect);
  ASSERT_TRUE(in_flight.has_value());
  EXPECT_EQ(in_flight->outcome.payload, std::nullopt);
}

TEST_F(FlowStepTest, JournalFailuresDuringAStepAreLoggedAndTheStepStillRuns) {
  auto handle = enter();
  LogCapture logs;
  exec("DROP TABLE steps");
  ScriptedEffect effect;
  StepResult result = step(*handle, request("svc"), effect);
  EXPECT_TRUE(result.outcome.ok);
  EXPECT_FALSE(result.replayed);
  EXPECT_EQ(effect.calls, 1);

  auto planning = logs.with_message("step_at failed; executing live");
  ASSERT_EQ(planning.size(), 1u);
  EXPECT_EQ(planning[0].fields["flow"], kFlowId);
  EXPECT_EQ(planning[0].fields["seq"], "1");
  EXPECT_TRUE(planning[0].fields["error"].starts_with("journal storage error: "));
  auto writes = logs.with_message("record_step failed; step not journaled");
  ASSERT_EQ(writes.size(), 2u);  // the running and the terminal record
  EXPECT_EQ(writes[1].fields["seq"], "1");
}

TEST_F(FlowStepTest, ResumeReplaysRecordedStepsInOrderWithoutCallingTheEffect) {
  AttemptResult timeout = AttemptResult::failure(ErrorClass::kTimeout, "slow");
  {
    auto handle = enter();
    ScriptedEffect ok({AttemptResult::success(Json{{"n", 1}})});
    ScriptedEffect failing({timeout});
    step(*handle, request("svc-a"), ok);
    step(*handle, request("svc-b"), failing);
  }
  const std::vector<std::string> rows = step_rows();
  clock_->advance(kLease + 1);

  auto handle = enter(manager("pid-2"));
  ScriptedEffect effect;
  StepResult first = step(*handle, request("svc-a"), effect);
  EXPECT_TRUE(first.replayed);
  EXPECT_TRUE(first.outcome.ok);
  EXPECT_EQ(first.outcome.payload, (Json{{"n", 1}}));
  EXPECT_EQ(first.outcome.attempts, 1u);
  EXPECT_EQ(first.outcome.v, 1u);
  EXPECT_FALSE(first.outcome.from_cache);
  EXPECT_TRUE(first.outcome.waits_ms.empty());
  EXPECT_FALSE(first.outcome.throttled);
  EXPECT_EQ(first.outcome.throttle_wait_ms, 0u);
  EXPECT_EQ(first.outcome.breaker, BreakerState::kClosed);
  EXPECT_EQ(first.outcome.trace_id, "flow-py:app:main#a1#-s1");

  StepResult second = step(*handle, request("svc-b"), effect);
  EXPECT_TRUE(second.replayed);
  EXPECT_FALSE(second.outcome.ok);
  ASSERT_TRUE(second.outcome.error.has_value());
  EXPECT_EQ(second.outcome.error->code, ErrorCode::kE015);
  EXPECT_EQ(second.outcome.error->error_class, ErrorClass::kTimeout);
  EXPECT_EQ(second.outcome.error->message, "replayed failed step");
  EXPECT_EQ(second.outcome.attempts, 1u);
  EXPECT_EQ(second.outcome.trace_id, "flow-py:app:main#a1#-s2");
  EXPECT_EQ(effect.calls, 0);
  EXPECT_EQ(step_rows(), rows);

  StepResult third = step(*handle, request("svc-c"), effect);
  EXPECT_FALSE(third.replayed);
  EXPECT_EQ(effect.calls, 1);
  EXPECT_EQ(step_at(3)->step_key, "svc-c#-");
}

TEST_F(FlowStepTest, ReplayedOkStepWithoutPayloadHasNone) {
  auto handle = enter();
  ASSERT_TRUE(journal_->record_step(
      kFlowId, 1, "svc#-",
      StepOutcome{StepKind::kEffect, 3, StepStatus::kOk, std::nullopt, std::nullopt, kT0, kT0}));
  ScriptedEffect effect;
  StepResult result = step(*handle, request("svc"), effect);
  EXPECT_TRUE(result.replayed);
  EXPECT_TRUE(result.outcome.ok);
  EXPECT_EQ(result.outcome.payload, std::nullopt);
  EXPECT_EQ(result.outcome.attempts, 3u);
}

TEST_F(FlowStepTest, StepLeftRunningByACrashRunsAgainAndKeepsItsStart) {
  {
    auto handle = enter();
    ASSERT_TRUE(
        journal_->record_step(kFlowId, 1, "svc#-",
                              StepOutcome{StepKind::kEffect, 0, StepStatus::kRunning, std::nullopt,
                                          std::nullopt, kT0 + 1, std::nullopt}));
  }
  clock_->advance(1'000);
  auto handle = enter();
  ScriptedEffect effect;
  StepResult result = step(*handle, request("svc"), effect);
  EXPECT_FALSE(result.replayed);
  EXPECT_EQ(effect.calls, 1);
  auto row = step_at(1);
  EXPECT_EQ(row->outcome.status, StepStatus::kOk);
  EXPECT_EQ(row->outcome.started_at, kT0 + 1);
  EXPECT_EQ(row->outcome.ended_at, kT0 + 1'000);
}

// The first run calls svc-a to svc-d; the resume calls svc-a, svc-x, svc-c, svc-d.
TEST_F(FlowStepTest, DivergenceFollowsTheNondeterminismResponse) {
  struct Case {
    std::string mode;
    bool code_changed;
    std::vector<std::string> rows;
    std::uint64_t marker_seq;  // 0: no marker
    std::string marker_mode;
  };
  const std::vector<std::string> warn_rows = {
      "0|flow:attempt|marker|ok", "1|svc-a#-|effect|ok", "2|flow:branch:warn|marker|ok",
      "3|svc-x#-|effect|ok",      "4|svc-c#-|effect|ok", "5|svc-d#-|effect|ok"};
  const std::vector<Case> cases = {
      {"fail",
       false,
       {"0|flow:attempt|marker|ok", "1|svc-a#-|effect|ok", "2|svc-b#-|effect|ok",
        "3|svc-c#-|effect|ok", "4|svc-d#-|effect|ok"},
       0,
       ""},
      {"warn", false, warn_rows, 2, "warn"},
      {"fail", true, warn_rows, 2, "warn"},
      {"branch",
       false,
       {"0|flow:attempt|marker|ok", "1|svc-a#-|effect|ok", "2|svc-b#-|effect|ok",
        "3|svc-c#-|effect|ok", "4|svc-d#-|effect|ok", "1000002|flow:branch:branch|marker|ok",
        "1000003|svc-x#-|effect|ok", "1000004|svc-c#-|effect|ok", "1000005|svc-d#-|effect|ok"},
       1'000'002,
       "branch"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.mode + (c.code_changed ? " with changed code" : ""));
    FlowDescriptor d{"py:app:main", "div" + std::to_string(i), std::nullopt, "code-1"};
    const journal::FlowId id = flow_id_for(d);
    configure("fail");
    {
      auto first = enter(manager(), d);
      ScriptedEffect effect;
      for (const char* target : {"svc-a", "svc-b", "svc-c", "svc-d"}) {
        step(*first, request(target), effect);
      }
    }

    configure(c.mode);
    LogCapture logs;
    if (c.code_changed) d.code_hash = "code-2";
    auto handle = enter(manager(), d);
    ASSERT_EQ(handle->code_changed(), c.code_changed);
    ScriptedEffect effect;
    EXPECT_TRUE(step(*handle, request("svc-a"), effect).replayed);
    StepResult diverged = step(*handle, request("svc-x"), effect);
    StepResult after = step(*handle, request("svc-c"), effect);
    StepResult last = step(*handle, request("svc-d"), effect);
    if (c.marker_seq == 0) {
      expect_refusal(
          diverged, ErrorCode::kE031,
          "flow " + id + " diverged at step 2: expected svc-b#-, got svc-x#- (VORN-E031)", 2, id);
      // Replay was not abandoned: the next calls are compared with seq 3 and 4 again.
      EXPECT_TRUE(after.replayed);
      EXPECT_TRUE(last.replayed);
      EXPECT_EQ(effect.calls, 0);
      EXPECT_TRUE(logs.with_message("flow nondeterminism; abandoning replay").empty());
    } else {
      EXPECT_FALSE(diverged.replayed);
      EXPECT_TRUE(diverged.outcome.ok);
      EXPECT_FALSE(after.replayed);
      EXPECT_FALSE(last.replayed);
      EXPECT_EQ(effect.calls, 3);
      auto marker = step_at(c.marker_seq, id);
      ASSERT_TRUE(marker.has_value());
      EXPECT_EQ(marker->outcome.kind, StepKind::kMarker);
      EXPECT_EQ(marker->outcome.attempt, 0u);
      EXPECT_EQ(decoded(marker->outcome.payload),
                (Json{{"expected", "svc-b#-"}, {"mode", c.marker_mode}, {"observed", "svc-x#-"}}));
      auto warned = logs.with_message("flow nondeterminism; abandoning replay");
      ASSERT_EQ(warned.size(), 1u);
      EXPECT_EQ(warned[0].level, log::Level::kWarn);
      EXPECT_EQ(warned[0].fields, (std::map<std::string, std::string>{{"expected", "svc-b#-"},
                                                                      {"flow", id},
                                                                      {"mode", c.marker_mode},
                                                                      {"observed", "svc-x#-"},
                                                                      {"seq", "2"}}));
    }
    EXPECT_EQ(step_rows(id), c.rows);
  }
}

TEST_F(FlowStepTest, PureReplayRefusesWhatTheCompletedFlowDidNotRecord) {
  {
    auto handle = enter();
    ScriptedEffect effect;
    step(*handle, request("svc-a"), effect);
    step(*handle, request("svc-b"), effect);
    ASSERT_TRUE(handle->complete(FlowStatus::kCompleted));
  }
  const std::vector<std::string> rows = step_rows();
  configure("warn");  // a pure replay never branches
  auto handle = enter();
  ASSERT_TRUE(handle->replay());
  ScriptedEffect effect;
  EXPECT_TRUE(step(*handle, request("svc-a"), effect).replayed);
  expect_refusal(step(*handle, request("svc-x"), effect), ErrorCode::kE031,
                 "flow py:app:main#a1# replay reached unrecorded step 2 (svc-x#-); the completed "
                 "flow's code changed (VORN-E031)",
                 2);
  expect_refusal(step(*handle, request("svc-c"), effect), ErrorCode::kE031,
                 "flow py:app:main#a1# replay reached unrecorded step 3 (svc-c#-); the completed "
                 "flow's code changed (VORN-E031)",
                 3);
  EXPECT_EQ(effect.calls, 0);
  EXPECT_EQ(step_rows(), rows);
}

TEST_F(FlowStepTest, LiveStepIsRefusedOnceTheLeaseIsLost) {
  struct Case {
    std::string name;
    std::uint64_t lease;
    std::function<void(FlowTest&)> before_step;
    bool lost;
  };
  const std::vector<Case> cases = {
      {"held", kLease, [](FlowTest&) {}, false},
      {"taken by another holder", kLease,
       [](FlowTest& t) {
         t.clock_->advance(kLease + 1);
         ASSERT_TRUE(*t.journal_->acquire_lease(kFlowId, "pid-2", kLease));
       },
       true},
      {"cleared by a status change", kLease,
       [](FlowTest& t) { ASSERT_TRUE(t.journal_->complete_flow(kFlowId, FlowStatus::kRunning)); },
       true},
      {"renewals lapsed for a whole lease", kLease,
       [](FlowTest& t) { t.monotonic_.advance(kLease); }, true},
      {"renewals lapsed just short of the lease", kLease,
       [](FlowTest& t) { t.monotonic_.advance(kLease - 1); }, false},
      {"zero lease", 0, [](FlowTest&) {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture logs;  // outlives the handle and its heartbeat thread
    ASSERT_TRUE(journal_->complete_flow(kFlowId, FlowStatus::kFailed));  // free from earlier cases
    auto handle = enter(manager("pid-1", c.lease));
    ASSERT_NE(handle, nullptr);
    c.before_step(*this);
    EXPECT_EQ(handle->lease_lost(), c.lost);

    const std::vector<std::string> rows = step_rows();
    ScriptedEffect effect;
    StepResult result = step(*handle, request("svc"), effect);
    auto warned =
        logs.with_message("lease lost before live step; refusing to double-execute (VORN-E030)");
    EXPECT_EQ(warned.size(), c.lost ? 1u : 0u);
    if (!warned.empty()) {
      EXPECT_EQ(warned[0].fields,
                (std::map<std::string, std::string>{{"flow", kFlowId}, {"seq", "1"}}));
    }
    if (c.lost) {
      expect_refusal(result, ErrorCode::kE030,
                     "flow py:app:main#a1# lost its lease before step 1; another holder may be "
                     "resuming it (VORN-E030). Refusing to run the effect to avoid double "
                     "execution.",
                     1);
      EXPECT_EQ(effect.calls, 0);
      EXPECT_EQ(step_rows(), rows);
    } else {
      EXPECT_TRUE(result.outcome.ok);
      EXPECT_EQ(effect.calls, 1);
    }
    exec("DELETE FROM steps");  // restart the entry count
    handle.reset();
    clock_->advance(kLease + 1);
  }
}

TEST_F(FlowStepTest, LostLeaseStopsADivergenceBeforeItsMarker) {
  {
    auto handle = enter();
    ScriptedEffect effect;
    step(*handle, request("svc-a"), effect);
  }
  configure("warn");
  auto handle = enter();
  clock_->advance(kLease + 1);
  ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-2", kLease));
  const std::vector<std::string> rows = step_rows();
  ScriptedEffect effect;
  StepResult result = step(*handle, request("svc-x"), effect);
  ASSERT_TRUE(result.outcome.error.has_value());
  EXPECT_EQ(result.outcome.error->code, ErrorCode::kE030);
  EXPECT_EQ(effect.calls, 0);
  EXPECT_EQ(step_rows(), rows);
}

TEST_F(FlowStepTest, StepSuspendedOnAnAsynchronousRuntimeIsRunningUntilResumed) {
  auto handle = enter();
  SuspendingRuntime rt;
  ScriptedEffect effect;
  const Request req = request("svc", "h1");
  Task<StepResult> task = handle->execute_step_with_idempotency_key(rt, req, effect, "idem-1");
  task.start();
  ASSERT_FALSE(task.done());
  ASSERT_TRUE(rt.pending());
  EXPECT_EQ(step_at(1)->outcome.status, StepStatus::kRunning);
  EXPECT_EQ(effect.calls, 0);

  rt.finish();
  ASSERT_TRUE(task.done());
  StepResult result = task.take();
  EXPECT_TRUE(result.outcome.ok);
  EXPECT_FALSE(result.replayed);
  EXPECT_EQ(effect.calls, 1);
  EXPECT_EQ(step_at(1)->outcome.status, StepStatus::kOk);
}

}  // namespace
}  // namespace vorn::flow::testing
