#include "binding/py_strings.h"

namespace vorn::py {

namespace {

Strings g_strings;  // written once under the interpreter lock, then only read
bool g_ready = false;

bool intern(PyObject** slot, std::string_view text) {
  *slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!*slot) return false;
  PyUnicode_InternInPlace(slot);
  return true;
}

}  // namespace

bool init_strings() {
  if (g_ready) return true;
  Strings& s = g_strings;
  struct Item {
    PyObject** slot;
    const char* text;
  };
  const Item items[] = {
      {&s.v, "v"},
      {&s.result, "result"},
      {&s.payload, "payload"},
      {&s.error, "error"},
      {&s.attempts, "attempts"},
      {&s.from_cache, "from_cache"},
      {&s.waits_ms, "waits_ms"},
      {&s.throttled, "throttled"},
      {&s.throttle_wait_ms, "throttle_wait_ms"},
      {&s.breaker, "breaker"},
      {&s.trace_id, "trace_id"},
      {&s.replayed, "replayed"},
      {&s.code, "code"},
      {&s.klass, "class"},
      {&s.http_status, "http_status"},
      {&s.message, "message"},
      {&s.original, "original"},
      {&s.target, "target"},
      {&s.op, "op"},
      {&s.idempotent, "idempotent"},
      {&s.args_hash, "args_hash"},
      {&s.status, "status"},
      {&s.retry_after_ms, "retry_after_ms"},
      {&s.ok, "ok"},
      {&s.error_text, "error"},
      {&s.closed, "closed"},
      {&s.open, "open"},
  };
  for (const Item& item : items) {
    if (!intern(item.slot, item.text)) return false;
  }
  for (int i = 0; i < kErrorCodeCount; ++i) {
    if (!intern(&s.codes[i], error_code_text(static_cast<ErrorCode>(i)))) return false;
  }
  for (int i = 0; i < 5; ++i) {
    if (!intern(&s.classes[i], error_class_text(static_cast<ErrorClass>(i)))) return false;
  }
  g_ready = true;
  return true;
}

const Strings& strings() {
  return g_strings;
}

}  // namespace vorn::py
