#ifndef VORN_API_POLICY_SCHEDULE_H_
#define VORN_API_POLICY_SCHEDULE_H_

#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "api/policy/duration.h"
#include "api/policy/parse_error.h"
#include "api/result.h"

namespace vorn {

// How the waits of one schedule segment grow.
struct SchedulePrimary {
  enum class Form : std::uint8_t { kExponential, kFixed };

  Form form = Form::kFixed;
  // Exponential form: the k-th wait is initial × factor^(k−1), capped at `max`.
  DurationMs initial = 0;
  double factor = 1.0;
  DurationMs max = std::numeric_limits<DurationMs>::max();  // the largest value: no cap
  bool jitter = false;
  // Fixed form: every wait.
  DurationMs fixed = 0;

  static SchedulePrimary exponential(DurationMs initial, double factor,
                                     DurationMs max = std::numeric_limits<DurationMs>::max(),
                                     bool jitter = false);
  static SchedulePrimary fixed_wait(DurationMs wait);

  // The k-th wait of this form (k >= 1). Exponential: the product is taken in double
  // precision, a NaN product is replaced by `max`, the result is rounded half away
  // from zero and clamped into [0, 2^64-1].
  DurationMs wait(std::uint64_t k) const;

  bool operator==(const SchedulePrimary&) const = default;
};

// One "primary [upTo bound]" piece of a schedule.
struct ScheduleSegment {
  bool bounded = false;
  DurationMs bound = 0;  // meaningful only when bounded
  SchedulePrimary primary;

  bool operator==(const ScheduleSegment&) const = default;
};

// The waits before successive retries. After parsing, every segment except the last is
// bounded and the last is not.
struct Schedule {
  std::vector<ScheduleSegment> segments;

  // "exp(200ms, x2, max 30s, jitter)".
  static Schedule default_schedule();

  // The wait before the retry that follows failed attempt n (0 counts as 1), and
  // whether it is to be jittered (only waits of an exponential form with `jitter`).
  // A segment hands off to the next once the sum of its waits exceeds its bound. An
  // empty schedule yields (0, false). Pure; the walk restarts from the first segment.
  std::pair<std::uint64_t, bool> wait_and_jitter(std::uint64_t n) const;

  bool operator==(const Schedule&) const = default;
};

// Reads one segment's primary: "exp({duration}, x{factor}[, max {duration}][, jitter])"
// (extra parts in any order, the last "max" counting) or "fixed({duration})", trimmed.
// The factor is any text parse_float_literal accepts, unchecked (0, negative, inf and
// NaN included). Errors have kind "schedule" and the given text as input.
Result<SchedulePrimary, ParseError> parse_schedule_primary(std::string_view text);

// Reads "primary [upTo duration] (andThen primary [upTo duration])*", tokens split at
// white space. Every error has kind "schedule" and the whole text as input; only a
// misplaced bound (bounded last segment or unbounded earlier one) carries a detail.
Result<Schedule, ParseError> parse_schedule(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_SCHEDULE_H_
