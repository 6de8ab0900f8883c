#include "api/policy/policy.h"

namespace vorn {

namespace {

std::string inert_warning(std::string_view path) {
  std::string text = "policy ";
  text += path;
  text +=
      ".breaker sets `failures` (count mode) alongside rate-mode knobs "
      "(window/failure_rate/min_calls), which are inert in count mode. Remove `failures` to "
      "select rate mode.";
  return text;
}

bool has_inert_knobs(const std::optional<TargetPolicy>& block) {
  return block && block->breaker && block->breaker->has_inert_rate_knobs();
}

}  // namespace

NondeterminismResponse Policy::nondeterminism_response() const {
  return flows ? flows->on_nondeterminism : NondeterminismResponse::kFail;
}

std::optional<std::string> Policy::telemetry_otlp_endpoint() const {
  if (!telemetry) return std::nullopt;
  return telemetry->otlp_endpoint;
}

std::vector<std::string> Policy::inert_breaker_warnings() const {
  std::vector<std::string> out;
  if (has_inert_knobs(defaults.outbound)) out.push_back(inert_warning("defaults.outbound"));
  if (has_inert_knobs(defaults.llm)) out.push_back(inert_warning("defaults.llm"));
  for (const auto& [name, block] : target) {
    if (block.breaker && block.breaker->has_inert_rate_knobs())
      out.push_back(inert_warning("target.\"" + name + "\""));
  }
  return out;
}

}  // namespace vorn
