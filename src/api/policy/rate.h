#ifndef VORN_API_POLICY_RATE_H_
#define VORN_API_POLICY_RATE_H_

#include <cstdint>
#include <string_view>

#include "api/policy/parse_error.h"
#include "api/result.h"

namespace vorn {

// At most `count` calls per `period_ms`. count is never 0; period_ms is 1000, 60000
// or 3600000.
struct Rate {
  std::uint64_t count = 1;
  std::uint64_t period_ms = 1000;

  bool operator==(const Rate&) const = default;
};

// Reads "{count}/{period}" with period "s", "sec", "min", "h" or "hour"; white space
// is allowed around the whole text and around each side. count is a nonzero unsigned
// 64-bit decimal with an optional leading '+'. Errors have kind "rate".
Result<Rate, ParseError> parse_rate(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_RATE_H_
