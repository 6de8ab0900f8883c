#ifndef VORN_API_POLICY_POLL_POLICY_H_
#define VORN_API_POLICY_POLL_POLICY_H_

#include <string>
#include <vector>

#include "api/policy/duration.h"

namespace vorn {

// When a polled response is final: its `field` holds one of the `terminal` texts.
// Both are non-empty after validation.
struct PollUntil {
  std::string field;
  std::vector<std::string> terminal;

  bool operator==(const PollUntil&) const = default;
};

struct PollPolicy {
  DurationMs interval = 0;  // nonzero after validation
  DurationMs deadline = 0;
  PollUntil until;

  bool operator==(const PollPolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_POLL_POLICY_H_
