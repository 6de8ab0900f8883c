#ifndef VORN_API_POLICY_CONDITION_H_
#define VORN_API_POLICY_CONDITION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "api/policy/parse_error.h"
#include "api/result.h"

namespace vorn {

// One entry of a retry policy's `on` list: an error class keyword, a status family,
// or one exact HTTP status.
struct Condition {
  enum class Kind : std::uint8_t { kConn, kTimeout, kCancelled, kOther, k4xx, k5xx, kStatus };

  Kind kind = Kind::kConn;
  std::uint16_t status = 0;  // 100-599 when kind is kStatus, else 0

  static Condition of(Kind kind) { return Condition{kind, 0}; }
  static Condition exact(std::uint16_t status) { return Condition{Kind::kStatus, status}; }

  // The text the condition was written as: "conn", ..., "5xx", "429".
  std::string text() const;

  bool operator==(const Condition&) const = default;
};

// Reads "conn", "timeout", "cancelled", "other", "4xx", "5xx" or exactly three ASCII
// digits from 100 to 599; nothing is trimmed. Errors have kind "retry condition".
Result<Condition, ParseError> parse_condition(std::string_view text);

}  // namespace vorn

#endif  // VORN_API_POLICY_CONDITION_H_
