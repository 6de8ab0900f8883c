#include "journal/records.h"

#include <limits>
#include <utility>

namespace vorn::journal {

Result<FlowDescriptor, Error> flow_from_row(FlowRowData row) {
  auto status = flow_status_from_db(row.status);
  if (!status.ok()) return std::move(status).error();
  return FlowDescriptor{std::move(row.flow_id),
                        std::move(row.entrypoint),
                        std::move(row.args_hash),
                        std::move(row.code_hash),
                        *status,
                        std::move(row.lease_holder),
                        row.lease_expires,
                        row.created_at,
                        row.updated_at};
}

Result<StepOutcome, Error> step_from_row(StepRowData row) {
  std::optional<ErrorClass> error_class;
  if (row.error_class) {
    auto c = error_class_from_db(*row.error_class);
    if (!c.ok()) return std::move(c).error();
    error_class = *c;
  }
  auto kind = step_kind_from_db(row.kind);
  if (!kind.ok()) return std::move(kind).error();
  if (row.attempt < 0 || row.attempt > std::numeric_limits<std::uint32_t>::max()) {
    return Error::corrupt("steps.attempt", row.attempt);
  }
  auto status = step_status_from_db(row.outcome);
  if (!status.ok()) return std::move(status).error();
  return StepOutcome{*kind,       static_cast<std::uint32_t>(row.attempt),
                     *status,     std::move(row.payload),
                     error_class, row.started_at,
                     row.ended_at};
}

Result<KeyedStep, Error> keyed_step_from_row(KeyedStepRow row) {
  auto outcome = step_from_row(std::move(row.row));
  if (!outcome.ok()) return std::move(outcome).error();
  return KeyedStep{std::move(row.step_key), std::move(outcome).value()};
}

Result<std::int64_t, Error> to_i64(std::string_view column, std::uint64_t value) {
  if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Error::corrupt(column, value);
  }
  return static_cast<std::int64_t>(value);
}

std::int64_t add_ms_saturating(std::int64_t now_ms, std::uint64_t duration_ms) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t ms = duration_ms > static_cast<std::uint64_t>(kMax)
                        ? kMax
                        : static_cast<std::int64_t>(duration_ms);
  std::int64_t sum;
  if (__builtin_add_overflow(now_ms, ms, &sum)) return kMax;
  return sum;
}

}  // namespace vorn::journal
