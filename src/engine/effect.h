#ifndef VORN_ENGINE_EFFECT_H_
#define VORN_ENGINE_EFFECT_H_

#include <cstdint>

#include "api/records.h"

namespace vorn {

// The caller's attempt function: given the attempt number (1, 2, ...) it performs one
// real attempt of the call. The engine never looks inside it.
class Effect {
 public:
  virtual ~Effect() = default;

  // Runs attempt `attempt` to completion on the calling thread and always yields a
  // result (a failure of the underlying call is an error result, never an exception).
  virtual AttemptResult call(std::uint32_t attempt) = 0;
};

}  // namespace vorn

#endif  // VORN_ENGINE_EFFECT_H_
