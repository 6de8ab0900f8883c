#include "engine/engine.h"

#include <gtest/gtest.h>

#include "engine/attempt_error.h"
#include "engine_test_support.h"

namespace vorn {
namespace {

using testing::EngineFixture;
using testing::fail;
using testing::make_request;
using testing::ScriptedEffect;

// A paused runtime whose attempts never answer before their deadline, as an asynchronous
// effect that hangs would: an attempt with a deadline is abandoned when it passes.
class HangingRuntime final : public Runtime {
 public:
  Instant now() const override { return inner.now(); }
  bool sleep_inline(std::uint64_t ms) override { return inner.sleep_inline(ms); }
  void resume_after(std::uint64_t ms, std::coroutine_handle<> h) override {
    inner.resume_after(ms, h);
  }
  bool attempt_inline(Effect& effect, std::uint32_t attempt, std::optional<Instant> deadline,
                      std::optional<AttemptResult>* out) override {
    if (!deadline) return inner.attempt_inline(effect, attempt, deadline, out);
    inner.advance(whole_ms_between(inner.now(), *deadline));
    out->reset();
    return true;
  }
  void attempt_then_resume(Effect& effect, std::uint32_t attempt, std::optional<Instant> deadline,
                           std::optional<AttemptResult>* out, std::coroutine_handle<> h) override {
    attempt_inline(effect, attempt, deadline, out);
    h.resume();
  }
  CurrentThreadRuntime inner{true};
};

TEST(Engine, NoPolicyMakesOneAttempt) {
  EngineFixture f;
  ScriptedEffect ok({AttemptResult::success(Json{{"a", 1}})});
  Outcome o = f.run(make_request(), ok);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.attempts, 1u);
  EXPECT_EQ(*o.payload, (Json{{"a", 1}}));
  EXPECT_EQ(o.trace_id, "t-000001");

  ScriptedEffect conn({fail(ErrorClass::kConn, "refused")});
  o = f.run(make_request(), conn);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, ErrorCode::kE010);
  EXPECT_EQ(o.error->message, "GET /x failed 1/1 attempts (last: conn). refused");
  EXPECT_EQ(o.trace_id, "t-000002");

  ScriptedEffect not_found({fail(ErrorClass::kHttp, "", 404)});
  o = f.run(make_request(), not_found);
  EXPECT_EQ(o.error->code, ErrorCode::kE015);
  EXPECT_EQ(o.error->message, "GET /x failed (http 404); error class is not retryable per policy.");
}

TEST(Engine, EnvelopeVersionIsCheckedBeforeAnything) {
  EngineFixture f;
  f.configure(R"({"target": {"api": {"breaker": {"failures": 1}}}})");
  ScriptedEffect effect({AttemptResult::success(nullptr)});
  Request r = make_request();
  r.v = 0;
  Outcome o = f.run(r, effect);
  EXPECT_EQ(o.error->code, ErrorCode::kE004);
  EXPECT_EQ(o.error->message, "unsupported envelope version 0");
  EXPECT_TRUE(effect.calls.empty());
  Json report = f.engine->report(f.rt.now());
  EXPECT_EQ(report["targets"]["api"]["calls"], 1);
  EXPECT_EQ(report["targets"]["api"]["failures"], 1);
  EXPECT_EQ(report["targets"]["api"]["breaker_opens"], 0);
}

TEST(Engine, TimedOutAttemptsEndWithE011) {
  HangingRuntime rt;
  Engine engine(rt.now(), nullptr);
  ASSERT_TRUE(engine
                  .configure(Json::parse(R"j({"target": {"api": {"timeout": "50ms",
                      "retry": {"attempts": 2, "schedule": "fixed(10ms)"}}}})j"))
                  .ok());
  ScriptedEffect effect({AttemptResult::success(nullptr)});
  const Request idempotent = make_request();
  Task<Outcome> task = engine.execute(rt, idempotent, effect);
  task.start();
  ASSERT_TRUE(task.done());
  Outcome o = task.take();
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, ErrorCode::kE011);
  EXPECT_EQ(o.error->error_class, ErrorClass::kTimeout);
  EXPECT_EQ(o.error->message,
            "GET /x exceeded its policy timeout on attempt 2/2. no response "
            "within 50ms");
  EXPECT_EQ(o.waits_ms, std::vector<std::uint64_t>{10});
  EXPECT_EQ(engine.elapsed_ms(rt.now()), 110u);

  // A request that is not idempotent gets no deadline at all.
  const Request not_idempotent = make_request("api", false);
  Outcome plain = [&] {
    Task<Outcome> t = engine.execute(rt, not_idempotent, effect);
    t.start();
    return t.take();
  }();
  EXPECT_TRUE(plain.ok);
}

TEST(AttemptError, MessagesTrimTrailingUnicodeSpace) {
  AttemptError failure;
  failure.error_class = ErrorClass::kConn;
  failure.message = "reset \t\xe3\x80\x80\xc2\xa0";  // ends with U+3000 and U+00A0
  OutcomeError e = terminal_attempt_error(ErrorCode::kE014, failure, "POST /x", 1, 3, std::nullopt);
  EXPECT_EQ(e.message,
            "POST /x failed (conn). Not retried: call is not idempotent \xe2\x80\x94 observed, not "
            "retried. reset");
  std::string run = "abc";
  failure.message = "";
  e = terminal_attempt_error(ErrorCode::kE010, failure, "op", 3, 3, TraceRef{&run, 7});
  EXPECT_EQ(e.message, "op failed 3/3 attempts (last: conn). trace: vorn trace abc#7");
}

TEST(Engine, IndependentEnginesCountTheirOwnCalls) {
  EngineFixture a, b;
  ScriptedEffect effect({AttemptResult::success(nullptr)});
  EXPECT_EQ(a.run(make_request(), effect).trace_id, "t-000001");
  EXPECT_EQ(a.run(make_request(), effect).trace_id, "t-000002");
  EXPECT_EQ(b.run(make_request(), effect).trace_id, "t-000001");
}

}  // namespace
}  // namespace vorn
