#include "engine/token_bucket.h"

#include <algorithm>
#include <limits>

namespace vorn {

namespace {

constexpr __int128 kMax = static_cast<__int128>((static_cast<unsigned __int128>(1) << 127) - 1);
constexpr __int128 kMin = -kMax - 1;

__int128 mul_sat(__int128 a, __int128 b) {
  __int128 r;
  if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? kMin : kMax;
  return r;
}

__int128 add_sat(__int128 a, __int128 b) {
  __int128 r;
  if (__builtin_add_overflow(a, b, &r)) return b < 0 ? kMin : kMax;
  return r;
}

}  // namespace

std::uint64_t TokenBucket::plan_admit(std::uint64_t now_ms, std::uint64_t count,
                                      std::uint64_t period_ms) {
  const __int128 capacity = mul_sat(count, period_ms);
  if (!primed_) {
    tokens_ = capacity;
    last_ms_ = now_ms;
    primed_ = true;
  }
  const std::uint64_t elapsed = now_ms >= last_ms_ ? now_ms - last_ms_ : 0;
  last_ms_ = std::max(last_ms_, now_ms);
  tokens_ = std::min(add_sat(tokens_, mul_sat(elapsed, count)), capacity);
  tokens_ = add_sat(tokens_, -static_cast<__int128>(period_ms));
  if (tokens_ >= 0) return 0;
  // Deficit / count, rounded up.
  const __int128 deficit = tokens_ == kMin ? kMax : -tokens_;
  const __int128 wait = add_sat(add_sat(deficit, count), -1) / count;
  constexpr __int128 kU64Max = std::numeric_limits<std::uint64_t>::max();
  return wait > kU64Max ? std::numeric_limits<std::uint64_t>::max()
                        : static_cast<std::uint64_t>(wait);
}

}  // namespace vorn
