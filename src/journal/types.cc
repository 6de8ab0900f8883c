#include "journal/types.h"

#include <array>
#include <utility>

namespace vorn::journal {
namespace {

constexpr std::array<std::string_view, 4> kFlowStatusTexts = {"running", "completed", "failed",
                                                              "dead"};
constexpr std::array<std::string_view, 3> kStepStatusTexts = {"ok", "error", "running"};
constexpr std::array<std::string_view, 5> kStepKindTexts = {"effect", "time", "random",
                                                            "subprocess", "marker"};

template <class Enum, std::size_t N>
Result<Enum, Error> from_texts(const std::array<std::string_view, N>& texts,
                               std::string_view column, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (texts[i] == text) return static_cast<Enum>(i);
  }
  return Error::corrupt(column, text);
}

}  // namespace

std::string_view flow_status_text(FlowStatus status) {
  return kFlowStatusTexts[static_cast<std::size_t>(status)];
}

Result<FlowStatus, Error> flow_status_from_db(std::string_view text) {
  return from_texts<FlowStatus>(kFlowStatusTexts, "flows.status", text);
}

std::string_view step_status_text(StepStatus status) {
  return kStepStatusTexts[static_cast<std::size_t>(status)];
}

Result<StepStatus, Error> step_status_from_db(std::string_view text) {
  return from_texts<StepStatus>(kStepStatusTexts, "steps.outcome", text);
}

std::string_view step_kind_text(StepKind kind) {
  return kStepKindTexts[static_cast<std::size_t>(kind)];
}

Result<StepKind, Error> step_kind_from_db(std::string_view text) {
  return from_texts<StepKind>(kStepKindTexts, "steps.kind", text);
}

Result<ErrorClass, Error> error_class_from_db(std::string_view text) {
  ErrorClass c;
  if (error_class_from_text(text, &c)) return c;
  return Error::corrupt("steps.error_class", text);
}

}  // namespace vorn::journal
