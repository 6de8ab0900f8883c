#include "api/policy/flows_policy.h"

namespace vorn {

std::string_view nondeterminism_response_text(NondeterminismResponse r) {
  switch (r) {
    case NondeterminismResponse::kFail:
      return "fail";
    case NondeterminismResponse::kWarn:
      return "warn";
    case NondeterminismResponse::kBranch:
      return "branch";
  }
  return "fail";
}

std::string_view on_busy_text(OnBusy b) {
  switch (b) {
    case OnBusy::kSkip:
      return "skip";
    case OnBusy::kWait:
      return "wait";
    case OnBusy::kFail:
      return "fail";
  }
  return "skip";
}

}  // namespace vorn
