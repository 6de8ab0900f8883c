#include "binding/records_py.h"

#include <string>

#include "binding/errors.h"
#include "binding/py_json.h"

namespace vorn::py {

Result<Request, VornError> decode_request(PyObject* obj) {
  auto value = to_json(obj);
  if (!value.ok()) {
    return VornError{ErrorCode::kE003, "request envelope not decodable: " + value.error()};
  }
  Json& json = value.value();
  if (json.is_object() && !json.contains("idempotent")) json["idempotent"] = false;
  auto request = vorn::decode_request(json);
  if (!request.ok()) {
    return VornError{ErrorCode::kE003, "request envelope invalid: " + request.error()};
  }
  return std::move(request).value();
}

AttemptResult decode_attempt(PyObject* obj) {
  constexpr const char* kPrefix = "effect result is not a valid attempt result: ";
  auto value = to_json(obj);
  if (!value.ok()) return AttemptResult::failure(ErrorClass::kOther, kPrefix + value.error());
  auto result = decode_attempt_result(value.value());
  if (!result.ok()) return AttemptResult::failure(ErrorClass::kOther, kPrefix + result.error());
  return std::move(result).value();
}

AttemptResult invoke_sync_effect(PyObject* effect, std::uint32_t attempt) {
  Ref number = Ref::steal(PyLong_FromUnsignedLong(attempt));
  Ref returned = number ? Ref::steal(PyObject_CallOneArg(effect, number.get())) : Ref();
  if (!returned) {
    return AttemptResult::failure(ErrorClass::kOther,
                                  "effect callback raised: " + take_exception_text());
  }
  return decode_attempt(returned.get());
}

namespace {

bool set(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

Ref u64(std::uint64_t v) {
  return Ref::steal(PyLong_FromUnsignedLongLong(v));
}

Ref boolean(bool b) {
  return Ref::borrow(b ? Py_True : Py_False);
}

Ref error_to_py(const OutcomeError& e) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return d;
  if (!set(d.get(), "code", str(error_code_text(e.code))) ||
      !set(d.get(), "class", str(error_class_text(e.error_class))) ||
      (e.http_status && !set(d.get(), "http_status", u64(*e.http_status))) ||
      !set(d.get(), "message", str(e.message)) ||
      (e.original && !set(d.get(), "original", from_json(*e.original)))) {
    return Ref();
  }
  return d;
}

}  // namespace

PyObject* outcome_to_py(const Outcome& o, std::optional<bool> replayed) {
  Ref d = Ref::steal(PyDict_New());
  bool ok = d && set(d.get(), "v", u64(o.v)) && set(d.get(), "result", str(o.ok ? "ok" : "error"));
  if (ok && o.payload) ok = set(d.get(), "payload", from_json(*o.payload));
  if (ok && o.error) ok = set(d.get(), "error", error_to_py(*o.error));
  if (ok) {
    Ref waits = Ref::steal(PyList_New(static_cast<Py_ssize_t>(o.waits_ms.size())));
    for (std::size_t i = 0; waits && i < o.waits_ms.size(); ++i) {
      PyObject* w = PyLong_FromUnsignedLongLong(o.waits_ms[i]);
      if (!w) {
        waits = Ref();
        break;
      }
      PyList_SET_ITEM(waits.get(), static_cast<Py_ssize_t>(i), w);
    }
    ok = set(d.get(), "attempts", u64(o.attempts)) &&
         set(d.get(), "from_cache", boolean(o.from_cache)) &&
         set(d.get(), "waits_ms", std::move(waits)) &&
         set(d.get(), "throttled", boolean(o.throttled)) &&
         set(d.get(), "throttle_wait_ms", u64(o.throttle_wait_ms)) &&
         set(d.get(), "breaker", str(breaker_state_text(o.breaker))) &&
         set(d.get(), "trace_id", str(o.trace_id));
  }
  if (ok && replayed) ok = set(d.get(), "replayed", boolean(*replayed));
  if (!ok) return raise(ErrorCode::kE040, "outcome not encodable: " + take_exception_text());
  return d.release();
}

}  // namespace vorn::py
