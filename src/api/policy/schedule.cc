#include "api/policy/schedule.h"

#include <cmath>
#include <string>

#include "api/policy/float_literal.h"
#include "api/policy/unicode_space.h"

namespace vorn {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::string_view kBoundDetail =
    "`upTo` must bound every segment except the last, and never the last (an unbounded "
    "segment never hands off; a bounded tail would leave attempts without a wait \u2014 cap "
    "total retrying with `attempts`)";

// base^exp by repeated squaring, the way an integer power of a double is usually
// computed, so the result matches that evaluation order exactly.
double int_pow(double base, std::uint64_t exp) {
  double r = 1.0;
  while (true) {
    if (exp & 1) r *= base;
    exp >>= 1;
    if (exp == 0) break;
    base *= base;
  }
  return r;
}

std::uint64_t to_u64_saturating(double v) {
  if (!(v > 0)) return 0;  // negative, zero and NaN
  if (v >= 18446744073709551616.0) return kU64Max;
  return static_cast<std::uint64_t>(v);
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}

// Whether the k-th wait of an exponential form and every later one are 0: the cap is 0,
// or the factor cannot grow the product and it is already far below one half (the
// margin absorbs rounding in the power).
bool stays_zero(const SchedulePrimary& p, std::uint64_t k) {
  if (p.max == 0) return true;
  if (std::isnan(p.factor) || std::fabs(p.factor) > 1.0) return false;
  double product = static_cast<double>(p.initial) * int_pow(p.factor, k - 1);
  return std::fabs(product) < 0.25;
}

bool can_hand_off(const Schedule& s, std::size_t seg) {
  return s.segments[seg].bounded && seg + 1 < s.segments.size();
}

}  // namespace

SchedulePrimary SchedulePrimary::exponential(DurationMs initial, double factor, DurationMs max,
                                             bool jitter) {
  SchedulePrimary p;
  p.form = Form::kExponential;
  p.initial = initial;
  p.factor = factor;
  p.max = max;
  p.jitter = jitter;
  return p;
}

SchedulePrimary SchedulePrimary::fixed_wait(DurationMs wait) {
  SchedulePrimary p;
  p.form = Form::kFixed;
  p.fixed = wait;
  return p;
}

DurationMs SchedulePrimary::wait(std::uint64_t k) const {
  if (form == Form::kFixed) return fixed;
  double product = static_cast<double>(initial) * int_pow(factor, k == 0 ? 0 : k - 1);
  double capped =
      std::isnan(product) ? static_cast<double>(max) : std::fmin(product, static_cast<double>(max));
  return to_u64_saturating(std::round(capped));
}

Schedule Schedule::default_schedule() {
  Schedule s;
  s.segments.push_back(
      ScheduleSegment{false, 0, SchedulePrimary::exponential(200, 2.0, 30000, true)});
  return s;
}

std::pair<std::uint64_t, bool> Schedule::wait_and_jitter(std::uint64_t n) const {
  if (segments.empty()) return {0, false};
  if (n == 0) n = 1;
  std::size_t seg = 0;
  std::uint64_t k = 1;    // index of the next wait within the current segment
  std::uint64_t cum = 0;  // sum of the waits this segment has handed out
  std::uint64_t r = 1;    // retry number the next wait belongs to
  while (true) {
    const SchedulePrimary& p = segments[seg].primary;
    if (!can_hand_off(*this, seg)) {
      // Nothing follows: the answer is this segment's wait for retry n.
      return {p.wait(k + (n - r)), p.form == SchedulePrimary::Form::kExponential && p.jitter};
    }
    std::uint64_t w = 0;
    if (p.form == SchedulePrimary::Form::kFixed) {
      // Constant waits: jump straight to the last wait before the hand-off, or to n.
      w = p.fixed;
      std::uint64_t bound = segments[seg].bound;
      std::uint64_t inside = kU64Max;  // waits the segment can still add without passing bound
      if (w != 0) inside = cum > bound ? 0 : (bound - cum) / w;
      if (inside >= n - r + 1) return {w, false};
      r += inside;
      k += inside;
      cum = sat_add(cum, inside * w);
      cum = sat_add(cum, w);
    } else {
      w = p.wait(k);
      // Zero waits never move the sum, so such a segment keeps answering 0.
      if (w == 0 && stays_zero(p, k)) return {0, p.jitter};
      cum = sat_add(cum, w);
    }
    while (can_hand_off(*this, seg) && cum > segments[seg].bound) {
      ++seg;
      k = 1;
      w = segments[seg].primary.wait(1);
      cum = w;
    }
    if (r == n) {
      const SchedulePrimary& q = segments[seg].primary;
      return {w, q.form == SchedulePrimary::Form::kExponential && q.jitter};
    }
    ++k;
    ++r;
  }
}

Result<SchedulePrimary, ParseError> parse_schedule_primary(std::string_view text) {
  auto fail = [&] { return parse_error(text, "schedule"); };
  std::string_view s = trim_space(text);
  if (s.size() > 4 && s.starts_with("exp(") && s.ends_with(")")) {
    std::string_view inner = s.substr(4, s.size() - 5);
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
      std::size_t comma = inner.find(',', start);
      parts.push_back(trim_space(inner.substr(start, comma - start)));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (parts.size() < 2) return fail();
    auto initial = parse_duration(parts[0]);
    if (!initial.ok()) return fail();
    if (!parts[1].starts_with('x')) return fail();
    std::optional<double> factor = parse_float_literal(parts[1].substr(1));
    if (!factor) return fail();
    SchedulePrimary p = SchedulePrimary::exponential(*initial, *factor);
    for (std::size_t i = 2; i < parts.size(); ++i) {
      if (parts[i] == "jitter") {
        p.jitter = true;
      } else if (parts[i].starts_with("max ")) {
        auto max = parse_duration(parts[i].substr(4));
        if (!max.ok()) return fail();
        p.max = *max;
      } else {
        return fail();
      }
    }
    return p;
  }
  if (s.size() > 6 && s.starts_with("fixed(") && s.ends_with(")")) {
    auto wait = parse_duration(s.substr(6, s.size() - 7));
    if (!wait.ok()) return fail();
    return SchedulePrimary::fixed_wait(*wait);
  }
  return fail();
}

Result<Schedule, ParseError> parse_schedule(std::string_view text) {
  auto fail = [&] { return parse_error(text, "schedule"); };
  std::vector<std::string_view> tokens = split_space(text);
  if (tokens.empty()) return fail();

  Schedule schedule;
  std::size_t begin = 0;
  while (begin <= tokens.size()) {
    std::size_t end = begin;
    while (end < tokens.size() && tokens[end] != "andThen") ++end;
    if (end == begin) return fail();  // empty segment

    ScheduleSegment segment;
    std::size_t primary_end = end;
    for (std::size_t i = begin; i < end; ++i) {
      if (tokens[i] != "upTo") continue;
      if (i + 2 != end || i == begin) return fail();
      auto bound = parse_duration(tokens[i + 1]);
      if (!bound.ok()) return fail();
      segment.bounded = true;
      segment.bound = *bound;
      primary_end = i;
      break;
    }
    std::string joined;
    for (std::size_t i = begin; i < primary_end; ++i) {
      if (i > begin) joined += ' ';
      joined += tokens[i];
    }
    auto primary = parse_schedule_primary(joined);
    if (!primary.ok()) return fail();
    segment.primary = *primary;
    schedule.segments.push_back(segment);
    begin = end + 1;  // past "andThen"; equals tokens.size() + 1 after the last segment
  }

  for (std::size_t i = 0; i < schedule.segments.size(); ++i) {
    bool last = i + 1 == schedule.segments.size();
    if (schedule.segments[i].bounded == last) {
      ParseError e = fail();
      e.detail = kBoundDetail;
      return e;
    }
  }
  return schedule;
}

}  // namespace vorn
