#ifndef VORN_JOURNAL_TYPES_H_
#define VORN_JOURNAL_TYPES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/error_code.h"
#include "api/result.h"
#include "journal/error.h"

namespace vorn::journal {

// Identifiers are opaque text to the journal.
using FlowId = std::string;     // "{entrypoint}#{args_hash}#{explicit_key}"
using StepKey = std::string;    // "{target}#{args_hash}", a value key, or a "flow:..." marker
using ProcessId = std::string;  // lease holder, "pid-{pid}"
using CacheKey = std::string;   // "{target}#{args_hash}"

// Payload and cache value bytes, stored and returned verbatim.
using Bytes = std::vector<std::uint8_t>;

// Each enumeration has one stored text per value (its only external form). The
// `*_from_db` functions are the exact, case-sensitive inverse; any other text, the
// empty text included, is a corrupt error naming the column the value came from.

enum class FlowStatus : std::uint8_t { kRunning, kCompleted, kFailed, kDead };
enum class StepStatus : std::uint8_t { kOk, kError, kRunning };
enum class StepKind : std::uint8_t { kEffect, kTime, kRandom, kSubprocess, kMarker };

// "running", "completed", "failed", "dead".
std::string_view flow_status_text(FlowStatus status);
// Column "flows.status".
Result<FlowStatus, Error> flow_status_from_db(std::string_view text);

// "ok", "error", "running".
std::string_view step_status_text(StepStatus status);
// Column "steps.outcome".
Result<StepStatus, Error> step_status_from_db(std::string_view text);

// "effect", "time", "random", "subprocess", "marker".
std::string_view step_kind_text(StepKind kind);
// Column "steps.kind".
Result<StepKind, Error> step_kind_from_db(std::string_view text);

// ErrorClass texts are vorn::error_class_text. Column "steps.error_class".
Result<ErrorClass, Error> error_class_from_db(std::string_view text);

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_TYPES_H_
