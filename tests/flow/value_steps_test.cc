#include "flow/value_steps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "api/codec/step_payload.h"
#include "api/error_code.h"
#include "flow/flow_handle.h"
#include "flow_test_util.h"

namespace vorn::flow::testing {
namespace {

using journal::Bytes;
using journal::FlowStatus;
using journal::StepKind;
using journal::StepOutcome;
using journal::StepStatus;

constexpr char kTimeKey[] = "py:time.time#-";
constexpr char kRandomKey[] = "py:random.random#-";

Bytes encoded(const Json& value) {
  return encode_payload(value).value();
}

TEST(TimePayloadTest, ReadsBackOnlySigned64BitIntegers) {
  constexpr std::int64_t kFallback = 42;
  struct Case {
    std::string name;
    Bytes bytes;
    std::int64_t expected;
  };
  const std::vector<Case> cases = {
      {"integer", time_payload(1'000), 1'000},
      {"negative", encoded(Json(-5)), -5},
      {"largest signed", encoded(Json(std::numeric_limits<std::int64_t>::max())),
       std::numeric_limits<std::int64_t>::max()},
      {"above signed range", encoded(Json(std::numeric_limits<std::uint64_t>::max())), kFallback},
      {"float", encoded(Json(1.5)), kFallback},
      {"string", encoded(Json("1000")), kFallback},
      {"untagged integer", {0x05}, 5},
      {"empty", {}, kFallback},
      {"not msgpack", {0xC1}, kFallback},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(time_from_payload(c.bytes, kFallback), c.expected) << c.name;
  }
}

TEST(IdempotencyKeyPayloadTest, ReadsOnlyAStringMember) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"written form", idempotency_key_payload("k-1").value(), "k-1"},
      {"number", encoded(Json{{"idempotency_key", 5}}), std::nullopt},
      {"other member", encoded(Json{{"key", "k-1"}}), std::nullopt},
      {"not an object", encoded(Json::array({"k-1"})), std::nullopt},
      {"not msgpack", {0xC1}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(idempotency_key_from_payload(c.bytes), c.expected) << c.name;
  }
}

using ValueStepTest = FlowTest;

TEST_F(ValueStepTest, TimeReadIsRecordedThenReplayed) {
  {
    auto handle = enter();
    clock_->advance(3);
    auto read = handle->journal_time(kTimeKey, 1'000);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, 1'000);
  }
  auto recorded = step_at(1);
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(recorded->step_key, kTimeKey);
  EXPECT_EQ(recorded->outcome, (StepOutcome{StepKind::kTime, 0, StepStatus::kOk,
                                            time_payload(1'000), std::nullopt, kT0 + 3, kT0 + 3}));

  clock_->advance(kLease);
  auto handle = enter();
  auto replayed = handle->journal_time(kTimeKey, 2'000);
  ASSERT_TRUE(replayed.ok());
  EXPECT_EQ(*replayed, 1'000);
  EXPECT_EQ(step_at(1), recorded);
}

TEST_F(ValueStepTest, RandomDrawReplaysTheRecordedBytesWhateverTheirLength) {
  const Bytes first = {1, 2, 3};
  {
    auto handle = enter();
    auto draw = handle->journal_random(kRandomKey, first);
    ASSERT_TRUE(draw.ok());
    EXPECT_EQ(*draw, first);
  }
  EXPECT_EQ(step_at(1)->outcome.kind, StepKind::kRandom);
  EXPECT_EQ(step_at(1)->outcome.payload, first);

  auto handle = enter();
  auto draw = handle->journal_random(kRandomKey, Bytes{9, 9, 9, 9, 9});
  ASSERT_TRUE(draw.ok());
  EXPECT_EQ(*draw, first);
}

TEST_F(ValueStepTest, ReadsShareTheSequenceWithCallsSoReorderingDiverges) {
  {
    auto handle = enter();
    ASSERT_TRUE(handle->journal_time(kTimeKey, 1'000).ok());
    ScriptedEffect effect;
    step(*handle, request("svc", "h1"), effect);
  }
  EXPECT_EQ(step_rows(),
            (std::vector<std::string>{"0|flow:attempt|marker|ok", "1|py:time.time#-|time|ok",
                                      "2|svc#h1|effect|ok"}));

  auto handle = enter();
  ScriptedEffect effect;
  StepResult call = step(*handle, request("svc", "h1"), effect);
  ASSERT_TRUE(call.outcome.error.has_value());
  EXPECT_EQ(call.outcome.error->code, ErrorCode::kE031);
  EXPECT_EQ(call.outcome.error->message,
            "flow py:app:main#a1# diverged at step 1: expected py:time.time#-, got svc#h1 "
            "(VORN-E031)");
  auto read = handle->journal_time(kTimeKey, 2'000);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code, ErrorCode::kE031);
  EXPECT_EQ(read.error().message,
            "flow py:app:main#a1# diverged at step 2: expected svc#h1, got py:time.time#- "
            "(VORN-E031)");
  EXPECT_EQ(effect.calls, 0);
}

TEST_F(ValueStepTest, DivergentReadUnderWarnOrBranchRecordsAMarkerAndTheLiveValue) {
  struct Case {
    std::string mode;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {"warn",
       {"0|flow:attempt|marker|ok", "1|flow:branch:warn|marker|ok",
        "2|py:random.random#-|random|ok", "3|py:time.time#-|time|ok"}},
      {"branch",
       {"0|flow:attempt|marker|ok", "1|py:time.time#-|time|ok",
        "1000001|flow:branch:branch|marker|ok", "1000002|py:random.random#-|random|ok",
        "1000003|py:time.time#-|time|ok"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    FlowDescriptor d{"py:app:main", c.mode, std::nullopt, std::nullopt};
    const journal::FlowId id = flow_id_for(d);
    configure("fail");
    {
      auto first = enter(manager(), d);
      ASSERT_TRUE(first->journal_time(kTimeKey, 1'000).ok());
    }
    configure(c.mode);
    auto handle = enter(manager(), d);
    auto draw = handle->journal_random(kRandomKey, Bytes{7});
    ASSERT_TRUE(draw.ok());
    EXPECT_EQ(*draw, Bytes{7});
    // Replay is abandoned: the recorded reading is no longer substituted.
    auto read = handle->journal_time(kTimeKey, 2'000);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, 2'000);
    EXPECT_EQ(step_rows(id), c.rows);
  }
}

TEST_F(ValueStepTest, CompletedFlowReplaysReadsAndRefusesUnrecordedOnes) {
  {
    auto handle = enter();
    ASSERT_TRUE(handle->journal_time(kTimeKey, 1'000).ok());
    ASSERT_TRUE(handle->complete(FlowStatus::kCompleted));
  }
  const std::vector<std::string> rows = step_rows();
  auto handle = enter();
  ASSERT_TRUE(handle->replay());
  auto replayed = handle->journal_time(kTimeKey, 2'000);
  ASSERT_TRUE(replayed.ok());
  EXPECT_EQ(*replayed, 1'000);
  auto beyond = handle->journal_time(kTimeKey, 3'000);
  ASSERT_FALSE(beyond.ok());
  EXPECT_EQ(beyond.error().code, ErrorCode::kE031);
  EXPECT_EQ(beyond.error().message,
            "flow py:app:main#a1# replay reached unrecorded step 2 (py:time.time#-); the completed "
            "flow's code changed (VORN-E031)");
  EXPECT_EQ(step_rows(), rows);
}

TEST_F(ValueStepTest, ReadAfterLosingTheLeaseIsNotJournaledOverTheNewHolder) {
  auto handle = enter();
  clock_->advance(kLease + 1);
  ASSERT_TRUE(*journal_->acquire_lease(kFlowId, "pid-2", kLease));
  const std::vector<std::string> rows = step_rows();
  auto read = handle->journal_time(kTimeKey, 1'000);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, 1'000);
  EXPECT_EQ(step_rows(), rows);
}

// The first run is cancelled inside its call: the step stays running with its key.
TEST_F(ValueStepTest, RecordedIdempotencyKeyIsOfferedForTheCrashedStepOnly) {
  const Request req = request("svc", "h1");
  {
    auto handle = enter();
    SuspendingRuntime rt;
    ScriptedEffect effect;
    Task<StepResult> task = handle->execute_step_with_idempotency_key(rt, req, effect, "idem-1");
    task.start();
    ASSERT_TRUE(rt.pending());
  }
  ASSERT_EQ(step_at(1)->outcome.status, StepStatus::kRunning);

  clock_->advance(kLease + 1);
  auto handle = enter();
  EXPECT_EQ(handle->recorded_idempotency_key("svc#h1"), "idem-1");
  EXPECT_EQ(handle->recorded_idempotency_key("svc#h1"), "idem-1");  // a peek never advances
  EXPECT_EQ(handle->recorded_idempotency_key("svc#h2"), std::nullopt);
  EXPECT_EQ(handle->recorded_idempotency_key("other#h1"), std::nullopt);

  ScriptedEffect effect;
  std::optional<journal::KeyedStep> in_flight;
  effect.on_call = [&] { in_flight = step_at(1); };
  StepResult result = step(*handle, req, effect, "idem-1");
  EXPECT_FALSE(result.replayed);
  EXPECT_EQ(effect.calls, 1);
  EXPECT_EQ(idempotency_key_from_payload(*in_flight->outcome.payload), "idem-1");
  EXPECT_EQ(handle->recorded_idempotency_key("svc#h1"), std::nullopt);
}

TEST_F(ValueStepTest, RecordedIdempotencyKeyIsAbsentWithoutARunningKeyedStep) {
  struct Case {
    std::string name;
    StepStatus status;
    std::optional<Bytes> payload;
    bool complete_first;
  };
  const std::vector<Case> cases = {
      {"running without key", StepStatus::kRunning, std::nullopt, false},
      {"terminal", StepStatus::kOk, idempotency_key_payload("idem-1"), false},
      {"pure replay", StepStatus::kRunning, idempotency_key_payload("idem-1"), true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    FlowDescriptor d{"py:app:main", "peek" + std::to_string(i), std::nullopt, std::nullopt};
    const journal::FlowId id = flow_id_for(d);
    {
      auto first = enter(manager(), d);
      ASSERT_TRUE(journal_->record_step(
          id, 1, "svc#h1",
          StepOutcome{StepKind::kEffect, 0, c.status, c.payload, std::nullopt, kT0, std::nullopt}));
      if (c.complete_first) {
        ASSERT_TRUE(first->complete(FlowStatus::kCompleted));
      }
    }
    auto handle = enter(manager(), d);
    EXPECT_EQ(handle->recorded_idempotency_key("svc#h1"), std::nullopt);
  }
}

}  // namespace
}  // namespace vorn::flow::testing
