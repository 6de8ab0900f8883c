#ifndef VORN_ENGINE_ATTEMPT_ERROR_H_
#define VORN_ENGINE_ATTEMPT_ERROR_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "api/records.h"
#include "engine/trace_ref.h"

namespace vorn {

// The outcome error for a call whose attempt `n` of `max` ended it with `code` (E010,
// E011, E014 or E015). The message names the operation and the failure's class and status;
// trailing white space is removed before the trace reference is appended.
OutcomeError terminal_attempt_error(ErrorCode code, AttemptError failure, std::string_view op,
                                    std::uint32_t n, std::uint32_t max,
                                    const std::optional<TraceRef>& trace);

// `text` without trailing Unicode white space.
std::string_view trim_end(std::string_view text);

}  // namespace vorn

#endif  // VORN_ENGINE_ATTEMPT_ERROR_H_
