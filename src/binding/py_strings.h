#ifndef VORN_BINDING_PY_STRINGS_H_
#define VORN_BINDING_PY_STRINGS_H_

#include "binding/py_ref.h"

#include "api/error_code.h"

namespace vorn::py {

// Interned Python strings for the keys and fixed values of the dicts the binding builds
// and reads on every call, created once when the module is executed. Building a dict
// from them avoids creating and interning a key string per item.
struct Strings {
  // Outcome and error keys.
  PyObject *v, *result, *payload, *error, *attempts, *from_cache, *waits_ms, *throttled,
      *throttle_wait_ms, *breaker, *trace_id, *replayed, *code, *klass, *http_status, *message,
      *original;
  // Request and attempt-result keys.
  PyObject *target, *op, *idempotent, *args_hash, *status, *retry_after_ms;
  // Fixed values.
  PyObject *ok, *error_text, *closed, *open;
  PyObject* codes[kErrorCodeCount];
  PyObject* classes[5];
};

// Creates the strings (once); returns false with a Python exception set on failure.
bool init_strings();
const Strings& strings();

}  // namespace vorn::py

#endif  // VORN_BINDING_PY_STRINGS_H_
