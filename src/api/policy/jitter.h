#ifndef VORN_API_POLICY_JITTER_H_
#define VORN_API_POLICY_JITTER_H_

#include <cstdint>

namespace vorn {

// A small, fast, non-cryptographic generator (SplitMix64). Not thread-safe; each
// thread uses its own.
class JitterRng {
 public:
  explicit JitterRng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();

 private:
  std::uint64_t state_;
};

// A wait drawn uniformly from the integers [wait / 2, wait] (wait / 2 rounded down);
// a wait of 0 stays 0. Uses `rng` for the draw.
std::uint64_t apply_jitter(std::uint64_t wait, JitterRng& rng);

// The same, with a generator private to the calling thread, seeded once per thread
// from the system's entropy source.
std::uint64_t apply_jitter(std::uint64_t wait);

}  // namespace vorn

#endif  // VORN_API_POLICY_JITTER_H_
