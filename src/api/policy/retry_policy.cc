#include "api/policy/retry_policy.h"

#include <algorithm>

namespace vorn {

std::vector<Condition> RetryPolicy::default_conditions() {
  return {Condition::of(Condition::Kind::kConn), Condition::of(Condition::Kind::kTimeout),
          Condition::exact(429), Condition::of(Condition::Kind::k5xx)};
}

bool RetryPolicy::is_retryable(ErrorClass error_class, std::optional<std::uint16_t> status) const {
  auto holds = [&](Condition c) { return std::find(on.begin(), on.end(), c) != on.end(); };
  switch (error_class) {
    case ErrorClass::kHttp: {
      if (!status) return false;
      if (holds(Condition::exact(*status))) return true;
      if (*status >= 500 && *status <= 599) return holds(Condition::of(Condition::Kind::k5xx));
      if (*status >= 400 && *status <= 499) return holds(Condition::of(Condition::Kind::k4xx));
      return false;
    }
    case ErrorClass::kConn:
      return holds(Condition::of(Condition::Kind::kConn));
    case ErrorClass::kTimeout:
      return holds(Condition::of(Condition::Kind::kTimeout));
    case ErrorClass::kCancelled:
      return holds(Condition::of(Condition::Kind::kCancelled));
    case ErrorClass::kOther:
      return holds(Condition::of(Condition::Kind::kOther));
  }
  return false;
}

}  // namespace vorn
