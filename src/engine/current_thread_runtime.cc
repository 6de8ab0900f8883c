#include "engine/current_thread_runtime.h"

#include <limits>
#include <thread>

namespace vorn {

Instant add_ms_saturating(Instant at, std::uint64_t ms) {
  using Rep = Instant::duration::rep;
  constexpr Rep kNsPerMs = 1'000'000;
  const Rep room = (Instant::max() - at).count();
  if (ms > static_cast<std::uint64_t>(room / kNsPerMs)) return Instant::max();
  return at + std::chrono::nanoseconds(static_cast<Rep>(ms) * kNsPerMs);
}

std::uint64_t whole_ms_between(Instant from, Instant to) {
  if (to <= from) return 0;
  auto ms = std::chrono::duration_cast<Millis>(to - from).count();
  return static_cast<std::uint64_t>(ms);
}

CurrentThreadRuntime::CurrentThreadRuntime(bool paused)
    : paused_(paused), virtual_now_(Clock::now()) {}

Instant CurrentThreadRuntime::now() const {
  return paused_ ? virtual_now_ : Clock::now();
}

bool CurrentThreadRuntime::sleep_inline(std::uint64_t ms) {
  if (paused_) {
    advance(ms);
  } else if (ms > 0) {
    // Capped so that an absurd wait cannot overflow the sleep; it still never ends in
    // practice, which is what such a wait asks for.
    constexpr std::uint64_t kMaxSleepMs = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    std::this_thread::sleep_for(Millis(std::min(ms, kMaxSleepMs)));
  }
  return true;
}

void CurrentThreadRuntime::resume_after(std::uint64_t ms, std::coroutine_handle<> resume_later) {
  sleep_inline(ms);
  resume_later.resume();
}

bool CurrentThreadRuntime::attempt_inline(Effect& effect, std::uint32_t attempt,
                                          std::optional<Instant> /*deadline*/,
                                          std::optional<AttemptResult>* out) {
  // A synchronous effect finishes in one step, so it always delivers its own result and
  // the deadline never gets a chance to end it.
  out->emplace(effect.call(attempt));
  return true;
}

void CurrentThreadRuntime::attempt_then_resume(Effect& effect, std::uint32_t attempt,
                                               std::optional<Instant> deadline,
                                               std::optional<AttemptResult>* out,
                                               std::coroutine_handle<> resume_later) {
  attempt_inline(effect, attempt, deadline, out);
  resume_later.resume();
}

void CurrentThreadRuntime::advance(std::uint64_t ms) {
  if (paused_) virtual_now_ = add_ms_saturating(virtual_now_, ms);
}

}  // namespace vorn
