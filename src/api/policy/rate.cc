#include "api/policy/rate.h"

#include "api/policy/unicode_space.h"

namespace vorn {

Result<Rate, ParseError> parse_rate(std::string_view text) {
  auto fail = [&] { return parse_error(text, "rate"); };
  std::string_view s = trim_space(text);
  std::size_t slash = s.find('/');
  if (slash == std::string_view::npos) return fail();

  std::string_view left = trim_space(s.substr(0, slash));
  if (!left.empty() && left.front() == '+') left.remove_prefix(1);
  if (left.empty()) return fail();
  std::uint64_t count = 0;
  for (char c : left) {
    if (c < '0' || c > '9') return fail();
    if (__builtin_mul_overflow(count, 10u, &count) ||
        __builtin_add_overflow(count, static_cast<std::uint64_t>(c - '0'), &count))
      return fail();
  }
  if (count == 0) return fail();

  std::string_view right = trim_space(s.substr(slash + 1));
  std::uint64_t period = 0;
  if (right == "s" || right == "sec") {
    period = 1000;
  } else if (right == "min") {
    period = 60000;
  } else if (right == "h" || right == "hour") {
    period = 3600000;
  } else {
    return fail();
  }
  return Rate{count, period};
}

}  // namespace vorn
