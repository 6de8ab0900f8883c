#ifndef VORN_API_ERROR_CODE_H_
#define VORN_API_ERROR_CODE_H_

#include <cstdint>
#include <string_view>

namespace vorn {

// The stable error codes shared with the front end. The text of each value is
// its nine-character name; the declaration order is the published order.
// E002, E005, E013, E020 and E033 belong to the code set but are never produced.
enum class ErrorCode : std::uint8_t {
  kE001,  // the policy document is invalid
  kE002,
  kE003,  // the request envelope cannot be decoded
  kE004,  // the request envelope version is not 1
  kE005,
  kE010,  // retryable failures used up the attempt budget
  kE011,  // an attempt exceeded the policy timeout
  kE012,  // the breaker is open; the call was not attempted
  kE013,
  kE014,  // retryable failure of a non-idempotent call
  kE015,  // failure the policy does not retry
  kE016,  // polling did not reach a terminal value in time
  kE020,
  kE030,  // flow leased by another holder, or lease lost
  kE031,  // nondeterminism
  kE032,  // the flow is dead
  kE033,
  kE040,  // journal missing or failing, or an operation used in the wrong state
};

inline constexpr int kErrorCodeCount = 18;

// "VORN-E001" ... "VORN-E040".
std::string_view error_code_text(ErrorCode code);

// Classification of a failed attempt, made by the front end.
enum class ErrorClass : std::uint8_t { kConn, kTimeout, kHttp, kCancelled, kOther };

std::string_view error_class_text(ErrorClass c);
// Exact, case-sensitive inverse of error_class_text.
bool error_class_from_text(std::string_view text, ErrorClass* out);

// The breaker state vocabulary. Outcomes and reports only ever carry kClosed or kOpen.
enum class BreakerState : std::uint8_t { kClosed, kOpen, kHalfOpen };

std::string_view breaker_state_text(BreakerState s);

}  // namespace vorn

#endif  // VORN_API_ERROR_CODE_H_
