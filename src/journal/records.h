#ifndef VORN_JOURNAL_RECORDS_H_
#define VORN_JOURNAL_RECORDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/error_code.h"
#include "api/result.h"
#include "journal/error.h"
#include "journal/types.h"

namespace vorn::journal {

// Argument of Journal::begin_flow.
struct NewFlow {
  FlowId flow_id;
  std::string entrypoint;  // e.g. "py:pipeline.ingest:main"
  std::string args_hash;
  std::optional<std::string> code_hash;  // fences deploys during replay
};

// One flow row as read. Timestamps are milliseconds since the Unix epoch.
struct FlowDescriptor {
  FlowId flow_id;
  std::string entrypoint;
  std::string args_hash;
  std::optional<std::string> code_hash;
  FlowStatus status = FlowStatus::kRunning;
  std::optional<ProcessId> lease_holder;      // absent when unleased
  std::optional<std::int64_t> lease_expires;  // absent when unleased
  std::int64_t created_at = 0;
  std::int64_t updated_at = 0;

  bool operator==(const FlowDescriptor&) const = default;
};

// One step row without its key.
struct StepOutcome {
  StepKind kind = StepKind::kEffect;
  // Attempts the step consumed: 0 for value steps, markers and running steps; the
  // engine's attempt count for a finished effect step; the entry number for the
  // "flow:attempt" marker.
  std::uint32_t attempt = 0;
  StepStatus status = StepStatus::kRunning;
  std::optional<Bytes> payload;           // verbatim; never interpreted here
  std::optional<ErrorClass> error_class;  // failed effect steps only
  std::int64_t started_at = 0;
  std::optional<std::int64_t> ended_at;  // absent while running

  bool operator==(const StepOutcome&) const = default;
};

// A step together with the key it was recorded under.
struct KeyedStep {
  StepKey step_key;
  StepOutcome outcome;

  bool operator==(const KeyedStep&) const = default;
};

// Raw rows as a backend reads them, before validation: enumerations still as text.
struct FlowRowData {
  std::string flow_id;
  std::string entrypoint;
  std::string args_hash;
  std::optional<std::string> code_hash;
  std::string status;
  std::optional<std::string> lease_holder;
  std::optional<std::int64_t> lease_expires;
  std::int64_t created_at = 0;
  std::int64_t updated_at = 0;
};

struct StepRowData {
  std::string kind;
  std::int64_t attempt = 0;
  std::string outcome;
  std::optional<Bytes> payload;
  std::optional<std::string> error_class;
  std::int64_t started_at = 0;
  std::optional<std::int64_t> ended_at;
};

struct KeyedStepRow {
  std::string step_key;
  StepRowData row;
};

// Converts `status`; everything else moves across unchanged.
Result<FlowDescriptor, Error> flow_from_row(FlowRowData row);

// Checks, in this order, reporting the first failure: error_class (when present,
// "steps.error_class"), kind ("steps.kind"), attempt within 0..4294967295
// ("steps.attempt", the integer in decimal), outcome ("steps.outcome").
Result<StepOutcome, Error> step_from_row(StepRowData row);

Result<KeyedStep, Error> keyed_step_from_row(KeyedStepRow row);

// Values up to INT64_MAX convert unchanged; larger ones are a corrupt error for
// `column` (static text) with the value in decimal. Backends use it for "seq".
Result<std::int64_t, Error> to_i64(std::string_view column, std::uint64_t value);

// `now_ms` plus a duration in milliseconds, saturating at INT64_MAX.
std::int64_t add_ms_saturating(std::int64_t now_ms, std::uint64_t duration_ms);

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_RECORDS_H_
