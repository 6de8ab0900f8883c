#ifndef VORN_API_RECORDS_H_
#define VORN_API_RECORDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/error_code.h"
#include "api/json.h"
#include "api/result.h"

namespace vorn {

// The request envelope of one intercepted call.
struct Request {
  std::uint32_t v = 1;      // envelope version; only 1 is served
  std::string target;       // policy target key; all per-target state is keyed by it
  std::string op;           // short label, the subject of failure messages
  bool idempotent = false;  // whether the call may be repeated
  std::optional<std::string> args_hash;
};

// Why one attempt failed, as the front end classified it.
struct AttemptError {
  ErrorClass error_class = ErrorClass::kOther;
  std::optional<std::uint16_t> http_status;
  std::optional<std::uint64_t> retry_after_ms;
  std::string message;
  std::optional<Json> original;  // absent when not given or null
};

// What one call of the effect produced: a payload, or an error.
struct AttemptResult {
  bool ok = false;
  Json payload;        // when ok; may be null
  AttemptError error;  // when !ok

  static AttemptResult success(Json payload) { return {true, std::move(payload), {}}; }
  static AttemptResult failure(ErrorClass c, std::string message) {
    AttemptResult r;
    r.error.error_class = c;
    r.error.message = std::move(message);
    return r;
  }
};

// The error part of a failed outcome.
struct OutcomeError {
  ErrorCode code = ErrorCode::kE040;
  ErrorClass error_class = ErrorClass::kOther;
  std::optional<std::uint16_t> http_status;
  std::string message;
  std::optional<Json> original;
};

// The result of one intercepted call. Encoded in member order; `payload` only when ok,
// `error` only when not.
struct Outcome {
  std::uint32_t v = 1;
  bool ok = false;
  std::optional<Json> payload;
  std::optional<OutcomeError> error;
  std::uint32_t attempts = 0;
  bool from_cache = false;
  std::vector<std::uint64_t> waits_ms;
  bool throttled = false;
  std::uint64_t throttle_wait_ms = 0;
  BreakerState breaker = BreakerState::kClosed;
  std::string trace_id;
};

// Decodes a request from its JSON form. The error is the decoder's text, for example
// "missing field `target`" or "invalid type: integer `5`, expected a string"; the caller
// prefixes it ("request envelope invalid: ..."). A missing "idempotent" means false.
Result<Request, std::string> decode_request(const Json& value);

// Decodes an attempt result ({"status": "ok", "payload": ...} or {"status": "error",
// "class": ...}); the error is the decoder's text.
Result<AttemptResult, std::string> decode_attempt_result(const Json& value);

// The "t-000001" form of a call number: at least six digits, zero padded.
std::string trace_id_for(std::uint64_t call_number);

// The single-attempt outcome of a call passed straight through ("t-nested").
Outcome outcome_from_single_attempt(AttemptResult attempt);

}  // namespace vorn

#endif  // VORN_API_RECORDS_H_
