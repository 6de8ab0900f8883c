#include "api/policy/condition.h"

namespace vorn {

std::string Condition::text() const {
  switch (kind) {
    case Kind::kConn:
      return "conn";
    case Kind::kTimeout:
      return "timeout";
    case Kind::kCancelled:
      return "cancelled";
    case Kind::kOther:
      return "other";
    case Kind::k4xx:
      return "4xx";
    case Kind::k5xx:
      return "5xx";
    case Kind::kStatus:
      break;
  }
  return std::to_string(status);
}

Result<Condition, ParseError> parse_condition(std::string_view text) {
  if (text == "conn") return Condition::of(Condition::Kind::kConn);
  if (text == "timeout") return Condition::of(Condition::Kind::kTimeout);
  if (text == "cancelled") return Condition::of(Condition::Kind::kCancelled);
  if (text == "other") return Condition::of(Condition::Kind::kOther);
  if (text == "4xx") return Condition::of(Condition::Kind::k4xx);
  if (text == "5xx") return Condition::of(Condition::Kind::k5xx);
  if (text.size() == 3) {
    unsigned value = 0;
    bool digits = true;
    for (char c : text) {
      if (c < '0' || c > '9') digits = false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (digits && value >= 100 && value <= 599)
      return Condition::exact(static_cast<std::uint16_t>(value));
  }
  return parse_error(text, "retry condition");
}

}  // namespace vorn
