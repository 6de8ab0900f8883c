#ifndef VORN_BINDING_PY_JSON_H_
#define VORN_BINDING_PY_JSON_H_

#include "api/json.h"
#include "api/result.h"
#include "binding/py_ref.h"

namespace vorn::py {

// The one conversion from Python objects to JSON values, shared by requests, policies,
// attempt results and every other JSON-valued argument. Tried in this order: None, bool,
// int (must fit 64 bits), list/tuple, dict (str keys only), str, bytes-like (refused),
// float (NaN and infinities become null), set/frozenset, other sequences, other mappings,
// dataclass instances; anything else is refused as "unsupported type {qualname}".
// Nesting is bounded, so cyclic or absurdly deep input yields an error, never a crash.
// Requires the interpreter lock. Leaves no Python exception set.
Result<Json, std::string> to_json(PyObject* obj);

// JSON value to a new Python object: objects become dicts (keys in ascending byte order),
// arrays lists, null None. Returns null with a Python exception set on failure (for
// example a string that is not valid UTF-8).
Ref from_json(const Json& value);

// The text of the pending Python exception as "{type}: {text}", clearing it.
std::string take_exception_text();

}  // namespace vorn::py

#endif  // VORN_BINDING_PY_JSON_H_
