#ifndef VORN_ENGINE_CURRENT_THREAD_RUNTIME_H_
#define VORN_ENGINE_CURRENT_THREAD_RUNTIME_H_

#include <cstdint>

#include "engine/runtime.h"
#include "engine/task.h"

namespace vorn {

// A handle's private runtime: it runs one call at a time entirely on the calling thread.
// Every operation completes inline, so driving a call never hands work to another thread.
//
// With `paused` the clock is virtual: it starts at the construction instant, stands still
// while nothing waits, and a sleep completes by jumping it forward instead of sleeping.
// Without it, the clock is the monotonic clock and sleeps are real.
//
// Not thread-safe: its owner serialises use (the binding's `runtime` lock).
class CurrentThreadRuntime final : public Runtime {
 public:
  explicit CurrentThreadRuntime(bool paused);

  bool paused() const { return paused_; }

  Instant now() const override;
  bool sleep_inline(std::uint64_t ms) override;
  void resume_after(std::uint64_t ms, std::coroutine_handle<> resume_later) override;
  bool attempt_inline(Effect& effect, std::uint32_t attempt, std::optional<Instant> deadline,
                      std::optional<AttemptResult>* out) override;
  void attempt_then_resume(Effect& effect, std::uint32_t attempt, std::optional<Instant> deadline,
                           std::optional<AttemptResult>* out,
                           std::coroutine_handle<> resume_later) override;

  // Moves a paused clock forward by `ms` (saturating). No effect on a real clock.
  void advance(std::uint64_t ms);

  // Runs `task` to completion on the calling thread and returns its value.
  template <class T>
  T block_on(Task<T> task) {
    task.start();
    // Every awaiter of this runtime completes inline, so the task is finished here.
    return task.take();
  }

 private:
  const bool paused_;
  Instant virtual_now_;  // meaningful only when paused_
};

// `at` plus `ms`, or Instant::max() when that is beyond the clock's range.
Instant add_ms_saturating(Instant at, std::uint64_t ms);

// Whole milliseconds from `from` to `to` (0 when `to` is earlier), saturating.
std::uint64_t whole_ms_between(Instant from, Instant to);

}  // namespace vorn

#endif  // VORN_ENGINE_CURRENT_THREAD_RUNTIME_H_
