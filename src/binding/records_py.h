#ifndef VORN_BINDING_RECORDS_PY_H_
#define VORN_BINDING_RECORDS_PY_H_

#include "binding/py_ref.h"

#include <optional>

#include "api/records.h"
#include "api/result.h"

namespace vorn::py {

// Python request object to Request: "request envelope not decodable: ..." when it does
// not convert to JSON, "request envelope invalid: ..." when the JSON is not a request
// (both VORN-E003). A missing "idempotent" means false.
Result<Request, VornError> decode_request(PyObject* obj);

// The effect's return value to an attempt result; never fails: a value that is not an
// attempt result becomes an error attempt of class "other".
AttemptResult decode_attempt(PyObject* obj);

// Calls `effect(attempt)` once; an exception it raises becomes an error attempt.
AttemptResult invoke_sync_effect(PyObject* effect, std::uint32_t attempt);

// Outcome to a new dict in the published key order, with "replayed" appended when given.
// On failure raises VORN-E040 "outcome not encodable: ..." and returns null.
PyObject* outcome_to_py(const Outcome& outcome, std::optional<bool> replayed = std::nullopt);

}  // namespace vorn::py

#endif  // VORN_BINDING_RECORDS_PY_H_
