#ifndef VORN_API_POLICY_FLOWS_POLICY_H_
#define VORN_API_POLICY_FLOWS_POLICY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// What a replayed flow does when a step does not match its recording.
enum class NondeterminismResponse : std::uint8_t { kFail, kWarn, kBranch };
// What entering a flow leased elsewhere would do (kept, not acted on).
enum class OnBusy : std::uint8_t { kSkip, kWait, kFail };

// "fail", "warn", "branch".
std::string_view nondeterminism_response_text(NondeterminismResponse r);
// "skip", "wait", "fail".
std::string_view on_busy_text(OnBusy b);

struct FlowMatchRule {
  std::vector<std::string> argv;

  bool operator==(const FlowMatchRule&) const = default;
};

struct FlowsPolicy {
  std::vector<std::string> entrypoints;
  NondeterminismResponse on_nondeterminism = NondeterminismResponse::kFail;
  OnBusy on_busy = OnBusy::kSkip;
  std::optional<std::map<std::string, FlowMatchRule>> match;

  bool operator==(const FlowsPolicy&) const = default;
};

}  // namespace vorn

#endif  // VORN_API_POLICY_FLOWS_POLICY_H_
