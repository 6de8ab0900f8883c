#include "api/error_code.h"

#include <array>

namespace vorn {

std::string_view error_code_text(ErrorCode code) {
  static constexpr std::array<std::string_view, kErrorCodeCount> kTexts = {
      "VORN-E001", "VORN-E002", "VORN-E003", "VORN-E004", "VORN-E005", "VORN-E010",
      "VORN-E011", "VORN-E012", "VORN-E013", "VORN-E014", "VORN-E015", "VORN-E016",
      "VORN-E020", "VORN-E030", "VORN-E031", "VORN-E032", "VORN-E033", "VORN-E040"};
  return kTexts[static_cast<std::size_t>(code)];
}

namespace {
constexpr std::array<std::string_view, 5> kClassTexts = {"conn", "timeout", "http", "cancelled",
                                                         "other"};
}  // namespace

std::string_view error_class_text(ErrorClass c) {
  return kClassTexts[static_cast<std::size_t>(c)];
}

bool error_class_from_text(std::string_view text, ErrorClass* out) {
  for (std::size_t i = 0; i < kClassTexts.size(); ++i) {
    if (kClassTexts[i] == text) {
      *out = static_cast<ErrorClass>(i);
      return true;
    }
  }
  return false;
}

std::string_view breaker_state_text(BreakerState s) {
  switch (s) {
    case BreakerState::kClosed:
      return "closed";
    case BreakerState::kOpen:
      return "open";
    case BreakerState::kHalfOpen:
      return "half_open";
  }
  return "closed";
}

}  // namespace vorn
