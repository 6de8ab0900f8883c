#ifndef VORN_ENGINE_RUNTIME_H_
#define VORN_ENGINE_RUNTIME_H_

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <optional>

#include "api/records.h"
#include "engine/effect.h"

namespace vorn {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;
using Millis = std::chrono::milliseconds;

// What the engine needs from whatever drives it: the clock, sleeping, and running one
// attempt of an effect against an optional deadline. Every wait the engine performs goes
// through here, so a runtime with a virtual clock makes all of them instant.
//
// An operation either completes inline (the awaiter never suspends) or suspends the
// calling coroutine and resumes it later from the runtime's own scheduling.
class Runtime {
 public:
  virtual ~Runtime() = default;

  virtual Instant now() const = 0;

  // Sleeps `ms` milliseconds of this runtime's clock. Returns true when the sleep was
  // performed inline; otherwise arranges for `resume_later` to be resumed after it.
  virtual bool sleep_inline(std::uint64_t ms) = 0;
  virtual void resume_after(std::uint64_t ms, std::coroutine_handle<> resume_later) = 0;

  // Runs attempt `attempt` of `effect`. An absent result means the deadline passed
  // before the effect answered (the attempt was abandoned). A synchronous effect always
  // delivers its own result. Returns true when the result is already in `*out`.
  virtual bool attempt_inline(Effect& effect, std::uint32_t attempt,
                              std::optional<Instant> deadline,
                              std::optional<AttemptResult>* out) = 0;
  virtual void attempt_then_resume(Effect& effect, std::uint32_t attempt,
                                   std::optional<Instant> deadline,
                                   std::optional<AttemptResult>* out,
                                   std::coroutine_handle<> resume_later) = 0;

  struct SleepAwaiter {
    Runtime* rt;
    std::uint64_t ms;
    bool await_ready() { return rt->sleep_inline(ms); }
    void await_suspend(std::coroutine_handle<> h) { rt->resume_after(ms, h); }
    void await_resume() const noexcept {}
  };
  SleepAwaiter sleep(std::uint64_t ms) { return {this, ms}; }

  struct AttemptAwaiter {
    Runtime* rt;
    Effect* effect;
    std::uint32_t attempt;
    std::optional<Instant> deadline;
    std::optional<AttemptResult> result;
    bool await_ready() { return rt->attempt_inline(*effect, attempt, deadline, &result); }
    void await_suspend(std::coroutine_handle<> h) {
      rt->attempt_then_resume(*effect, attempt, deadline, &result, h);
    }
    std::optional<AttemptResult> await_resume() { return std::move(result); }
  };
  AttemptAwaiter run_attempt(Effect& effect, std::uint32_t attempt,
                             std::optional<Instant> deadline) {
    return {this, &effect, attempt, deadline, std::nullopt};
  }
};

}  // namespace vorn

#endif  // VORN_ENGINE_RUNTIME_H_
