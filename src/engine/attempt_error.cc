#include "engine/attempt_error.h"

#include <string>

namespace vorn {

namespace {

// Length of the white space character that ends `text`, or 0.
std::size_t trailing_space_len(std::string_view t) {
  if (t.empty()) return 0;
  const auto b = [&](std::size_t from_end) {
    return static_cast<unsigned char>(t[t.size() - from_end]);
  };
  const unsigned char last = b(1);
  if (last == ' ' || (last >= 0x09 && last <= 0x0d)) return 1;
  if (t.size() >= 2 && b(2) == 0xc2 && (last == 0x85 || last == 0xa0)) return 2;
  if (t.size() >= 3) {
    const unsigned char c0 = b(3), c1 = b(2);
    if (c0 == 0xe1 && c1 == 0x9a && last == 0x80) return 3;  // U+1680
    if (c0 == 0xe2 && c1 == 0x80 &&
        (last <= 0x8a || last == 0xa8 || last == 0xa9 || last == 0xaf)) {
      return last >= 0x80 ? 3 : 0;  // U+2000-200A, U+2028, U+2029, U+202F
    }
    if (c0 == 0xe2 && c1 == 0x81 && last == 0x9f) return 3;  // U+205F
    if (c0 == 0xe3 && c1 == 0x80 && last == 0x80) return 3;  // U+3000
  }
  return 0;
}

}  // namespace

std::string_view trim_end(std::string_view text) {
  while (std::size_t n = trailing_space_len(text)) text.remove_suffix(n);
  return text;
}

OutcomeError terminal_attempt_error(ErrorCode code, AttemptError failure, std::string_view op,
                                    std::uint32_t n, std::uint32_t max,
                                    const std::optional<TraceRef>& trace) {
  std::string detail(error_class_text(failure.error_class));
  if (failure.http_status) detail += " " + std::to_string(*failure.http_status);
  std::string message(op);
  switch (code) {
    case ErrorCode::kE010:
      message += " failed " + std::to_string(n) + "/" + std::to_string(max) +
                 " attempts (last: " + detail + "). " + failure.message;
      break;
    case ErrorCode::kE011:
      message += " exceeded its policy timeout on attempt " + std::to_string(n) + "/" +
                 std::to_string(max) + ". " + failure.message;
      break;
    case ErrorCode::kE014:
      message += " failed (" + detail +
                 "). Not retried: call is not idempotent \xe2\x80\x94 observed, not retried. " +
                 failure.message;
      break;
    default:
      message +=
          " failed (" + detail + "); error class is not retryable per policy. " + failure.message;
      break;
  }
  message.resize(trim_end(message).size());
  append_trace_ref(message, trace);
  return OutcomeError{code, failure.error_class, failure.http_status, std::move(message),
                      std::move(failure.original)};
}

}  // namespace vorn
