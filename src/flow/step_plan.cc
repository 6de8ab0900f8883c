#include "flow/step_plan.h"

#include <utility>

namespace vorn::flow {

StepPlan StepPlan::replay(journal::StepOutcome recorded) {
  StepPlan plan;
  plan.kind = Kind::kReplay;
  plan.recorded = std::move(recorded);
  return plan;
}

StepPlan StepPlan::live() {
  return StepPlan{};
}

StepPlan StepPlan::diverged(journal::StepKey recorded_key) {
  StepPlan plan;
  plan.kind = Kind::kDiverged;
  plan.recorded_key = std::move(recorded_key);
  return plan;
}

journal::StepKey step_key(const Request& request) {
  return request.target + "#" + request.args_hash.value_or("-");
}

StepPlan plan_from_recorded(std::optional<journal::KeyedStep> recorded,
                            const journal::StepKey& step_key) {
  if (!recorded) return StepPlan::live();
  if (recorded->step_key != step_key) return StepPlan::diverged(std::move(recorded->step_key));
  if (recorded->outcome.status == journal::StepStatus::kRunning) return StepPlan::live();
  return StepPlan::replay(std::move(recorded->outcome));
}

}  // namespace vorn::flow
