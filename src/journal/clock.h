#ifndef VORN_JOURNAL_CLOCK_H_
#define VORN_JOURNAL_CLOCK_H_

#include <atomic>
#include <cstdint>
#include <string>

namespace vorn::journal {

// The source of "now" for every timestamp a journal writes or compares. Implementations
// must be safe to call from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the Unix epoch.
  virtual std::int64_t now_ms() const = 0;
  // A printable name for diagnostics.
  virtual std::string name() const = 0;
};

// The system wall clock. Stateless.
class SystemClock final : public Clock {
 public:
  std::int64_t now_ms() const override;
  std::string name() const override { return "SystemClock"; }
};

// Wall-clock reading (seconds and nanoseconds since the epoch, as from CLOCK_REALTIME)
// as milliseconds: seconds * 1000 + nanoseconds / 1'000'000. A time before the epoch
// reads 0; a value beyond INT64_MAX reads INT64_MAX.
std::int64_t wall_ms_from(std::int64_t seconds, std::int64_t nanoseconds);

// A clock that moves only when told to; for tests and simulations.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t now_ms = 0) : now_ms_(now_ms) {}
  std::int64_t now_ms() const override { return now_ms_.load(std::memory_order_relaxed); }
  std::string name() const override { return "ManualClock"; }
  void set(std::int64_t now_ms) { now_ms_.store(now_ms, std::memory_order_relaxed); }
  void advance(std::int64_t delta_ms) { now_ms_.fetch_add(delta_ms, std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> now_ms_;
};

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_CLOCK_H_
