#ifndef VORN_API_POLICY_DURATION_H_
#define VORN_API_POLICY_DURATION_H_

#include <cstdint>
#include <string_view>

#include "api/policy/parse_error.h"
#include "api/result.h"

namespace vorn {

// A count of milliseconds. Zero is valid; places that forbid it check themselves.
using DurationMs = std::uint64_t;

// Reads "{digits}{unit}" with unit "ms", "s", "m" or "h" (case-sensitive, nothing
// between number and unit), after trimming surrounding white space. Signs, fractions,
// a missing unit and values whose millisecond count does not fit in 64 bits are
// rejected with a ParseError of kind "duration" carrying the untrimmed text.
Result<DurationMs, ParseError> parse_duration(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_DURATION_H_
