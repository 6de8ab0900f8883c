#include "journal/clock.h"

#include <time.h>

#include <limits>

namespace vorn::journal {

std::int64_t wall_ms_from(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (seconds < 0) return 0;
  std::int64_t ms;
  if (__builtin_mul_overflow(seconds, std::int64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, nanoseconds / 1'000'000, &ms)) {
    return kMax;
  }
  return ms;
}

std::int64_t SystemClock::now_ms() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return wall_ms_from(ts.tv_sec, ts.tv_nsec);
}

}  // namespace vorn::journal
