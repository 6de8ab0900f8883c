#ifndef VORN_FLOW_STEP_PLAN_H_
#define VORN_FLOW_STEP_PLAN_H_

#include <cstdint>
#include <optional>

#include "api/records.h"
#include "journal/records.h"
#include "journal/types.h"

namespace vorn::flow {

// What the journal says about a step about to run at some seq.
struct StepPlan {
  enum class Kind : std::uint8_t {
    kReplay,    // a terminal step was recorded under the same key: substitute `recorded`
    kLive,      // nothing usable recorded: run the call for real
    kDiverged,  // another step was recorded here, under `recorded_key`
  };

  Kind kind = Kind::kLive;
  journal::StepOutcome recorded;  // kReplay only
  journal::StepKey recorded_key;  // kDiverged only

  static StepPlan replay(journal::StepOutcome recorded);
  static StepPlan live();
  static StepPlan diverged(journal::StepKey recorded_key);
};

// "{target}#{args_hash}", with "-" for an absent args hash.
journal::StepKey step_key(const Request& request);

// The plan for `step_key` given what is recorded at its seq: nothing -> live; the same
// key (byte comparison) -> replay, except a step still marked running (its run crashed or
// was cancelled mid-call), which is run again; another key -> diverged.
StepPlan plan_from_recorded(std::optional<journal::KeyedStep> recorded,
                            const journal::StepKey& step_key);

}  // namespace vorn::flow

#endif  // VORN_FLOW_STEP_PLAN_H_
