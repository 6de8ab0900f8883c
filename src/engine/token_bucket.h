#ifndef VORN_ENGINE_TOKEN_BUCKET_H_
#define VORN_ENGINE_TOKEN_BUCKET_H_

#include <cstdint>

namespace vorn {

// A per-target token bucket that never refuses: a call takes its token at once, even when
// that drives the bucket negative, and is told how long to wait for it. So a burst is
// spread out at the configured rate in the order the calls arrive.
//
// Tokens are scaled by the period in ms (one token = period units), so refills at
// `count` units per elapsed ms are exact integers.
class TokenBucket {
 public:
  // Updates the bucket for a call at `now_ms` (engine elapsed ms) under a rate of `count`
  // per `period_ms`, takes one token, and returns the wait in ms (0 means go now).
  std::uint64_t plan_admit(std::uint64_t now_ms, std::uint64_t count, std::uint64_t period_ms);

  __int128 tokens() const { return tokens_; }

 private:
  __int128 tokens_ = 0;  // negative while calls wait for tokens already handed out
  std::uint64_t last_ms_ = 0;
  bool primed_ = false;
};

}  // namespace vorn

#endif  // VORN_ENGINE_TOKEN_BUCKET_H_
