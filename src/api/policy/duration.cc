#include "api/policy/duration.h"

#include "api/policy/unicode_space.h"

namespace vorn {

Result<DurationMs, ParseError> parse_duration(std::string_view text) {
  auto fail = [&] { return parse_error(text, "duration"); };
  std::string_view s = trim_space(text);
  std::size_t digits = 0;
  std::uint64_t number = 0;
  while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
    std::uint64_t d = static_cast<std::uint64_t>(s[digits] - '0');
    if (__builtin_mul_overflow(number, 10u, &number) || __builtin_add_overflow(number, d, &number))
      return fail();
    ++digits;
  }
  if (digits == 0) return fail();
  std::string_view unit = s.substr(digits);
  std::uint64_t multiplier = 0;
  if (unit == "ms") {
    multiplier = 1;
  } else if (unit == "s") {
    multiplier = 1000;
  } else if (unit == "m") {
    multiplier = 60000;
  } else if (unit == "h") {
    multiplier = 3600000;
  } else {
    return fail();
  }
  DurationMs ms = 0;
  if (__builtin_mul_overflow(number, multiplier, &ms)) return fail();
  return ms;
}

}  // namespace vorn
