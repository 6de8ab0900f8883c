#ifndef VORN_ENGINE_CALL_H_
#define VORN_ENGINE_CALL_H_

#include <optional>

#include "api/policy/resolved_policy.h"
#include "api/records.h"
#include "engine/breaker.h"
#include "engine/effect.h"
#include "engine/engine.h"
#include "engine/runtime.h"
#include "engine/target_metrics.h"
#include "engine/trace_ref.h"

namespace vorn {

// Everything one call carries through the chain. Lives in the call's coroutine frame.
struct Engine::Call {
  Runtime& rt;
  const Request& request;
  Effect& effect;
  Outcome outcome;
  std::optional<TraceRef> trace;
  ResolvedPolicy policy;
  // The target's entries in the engine's State; stable for the engine's life, touched only
  // under the state lock.
  TargetMetrics* metrics = nullptr;
  Breaker* breaker = nullptr;  // set by admission when the policy has a breaker
};

}  // namespace vorn

#endif  // VORN_ENGINE_CALL_H_
