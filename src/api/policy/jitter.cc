#include "api/policy/jitter.h"

#include <chrono>
#include <random>
#include <thread>

namespace vorn {

namespace {

std::uint64_t thread_seed() {
  std::uint64_t seed = 0;
  try {
    std::random_device rd;
    seed = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    // No entropy source: fall back to the clock mixed with the thread's identity.
  }
  seed ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())) << 1;
  return seed;
}

}  // namespace

std::uint64_t JitterRng::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t apply_jitter(std::uint64_t wait, JitterRng& rng) {
  if (wait == 0) return 0;
  std::uint64_t low = wait / 2;
  std::uint64_t span = wait - low + 1;  // at most 2^63 + 1: no overflow
  // Unbiased draw in [0, span) by multiplication with rejection of the short tail.
  unsigned __int128 m = static_cast<unsigned __int128>(rng.next()) * span;
  std::uint64_t frac = static_cast<std::uint64_t>(m);
  if (frac < span) {
    std::uint64_t threshold = (0 - span) % span;
    while (frac < threshold) {
      m = static_cast<unsigned __int128>(rng.next()) * span;
      frac = static_cast<std::uint64_t>(m);
    }
  }
  return low + static_cast<std::uint64_t>(m >> 64);
}

std::uint64_t apply_jitter(std::uint64_t wait) {
  thread_local JitterRng rng(thread_seed());
  return apply_jitter(wait, rng);
}

}  // namespace vorn
