#include "binding/records_py.h"

#include <string>

#include "binding/errors.h"
#include "binding/py_json.h"
#include "binding/py_strings.h"

namespace vorn::py {

namespace {

// Reads a str into `out`; false when `obj` is not an exact str or not encodable.
bool exact_str(PyObject* obj, std::string* out) {
  if (!PyUnicode_CheckExact(obj)) return false;
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!data) {
    PyErr_Clear();
    return false;
  }
  out->assign(data, static_cast<std::size_t>(n));
  return true;
}

enum class RequestKey { kV, kTarget, kOp, kIdempotent, kArgsHash, kOther };

// Which request member `key` names. Keys written as literals are the interned strings
// themselves; keys built at run time (for example by json.loads) are compared by value.
RequestKey request_key(PyObject* key) {
  const Strings& s = strings();
  PyObject* const names[] = {s.v, s.target, s.op, s.idempotent, s.args_hash};
  for (int i = 0; i < 5; ++i) {
    if (key == names[i]) return static_cast<RequestKey>(i);
  }
  if (!PyUnicode_CheckExact(key)) return RequestKey::kOther;
  for (int i = 0; i < 5; ++i) {
    if (PyUnicode_Compare(key, names[i]) == 0) return static_cast<RequestKey>(i);
  }
  return RequestKey::kOther;
}

// The common shape of a request, read straight from the dict: exactly the known keys with
// well-typed values. Anything else is left to the general path, which also produces the
// exact error texts.
std::optional<Request> decode_request_fast(PyObject* obj) {
  if (!PyDict_CheckExact(obj)) return std::nullopt;
  Request r;
  bool has_v = false, has_target = false, has_op = false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    switch (request_key(key)) {
      case RequestKey::kV: {
        if (!PyLong_CheckExact(value)) return std::nullopt;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow || v < 0 || v > 0xffffffffLL) return std::nullopt;
        r.v = static_cast<std::uint32_t>(v);
        has_v = true;
        break;
      }
      case RequestKey::kTarget:
        if (!exact_str(value, &r.target)) return std::nullopt;
        has_target = true;
        break;
      case RequestKey::kOp:
        if (!exact_str(value, &r.op)) return std::nullopt;
        has_op = true;
        break;
      case RequestKey::kIdempotent:
        if (!PyBool_Check(value)) return std::nullopt;
        r.idempotent = value == Py_True;
        break;
      case RequestKey::kArgsHash:
        if (value != Py_None && !exact_str(value, &r.args_hash.emplace())) return std::nullopt;
        break;
      case RequestKey::kOther:
        return std::nullopt;
    }
  }
  if (!has_v || !has_target || !has_op) return std::nullopt;
  return r;
}

// The common shape of a success: {"status": "ok", "payload": ...} and nothing else.
std::optional<AttemptResult> decode_attempt_fast(PyObject* obj) {
  if (!PyDict_CheckExact(obj) || PyDict_GET_SIZE(obj) != 2) return std::nullopt;
  const Strings& s = strings();
  PyObject* status = PyDict_GetItemWithError(obj, s.status);
  PyObject* payload = status ? PyDict_GetItemWithError(obj, s.payload) : nullptr;
  if (!payload) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyUnicode_CheckExact(status) || PyUnicode_Compare(status, s.ok) != 0) return std::nullopt;
  auto value = to_json(payload);
  if (!value.ok()) return std::nullopt;
  return AttemptResult::success(std::move(value).value());
}

}  // namespace

Result<Request, VornError> decode_request(PyObject* obj) {
  if (auto fast = decode_request_fast(obj)) return std::move(*fast);
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
  if (auto fast = decode_attempt_fast(obj)) return std::move(*fast);
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

// Sets dict[key] = value, taking ownership of `value`; false when it is null or fails.
bool set(PyObject* dict, PyObject* key, Ref value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

Ref u64(std::uint64_t v) {
  return Ref::steal(PyLong_FromUnsignedLongLong(v));
}

Ref borrowed(PyObject* o) {
  return Ref::borrow(o);
}

Ref error_to_py(const OutcomeError& e) {
  const Strings& s = strings();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return d;
  if (!set(d.get(), s.code, borrowed(s.codes[static_cast<int>(e.code)])) ||
      !set(d.get(), s.klass, borrowed(s.classes[static_cast<int>(e.error_class)])) ||
      (e.http_status && !set(d.get(), s.http_status, u64(*e.http_status))) ||
      !set(d.get(), s.message, str(e.message)) ||
      (e.original && !set(d.get(), s.original, from_json(*e.original)))) {
    return Ref();
  }
  return d;
}

Ref waits_to_py(const std::vector<std::uint64_t>& waits) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(waits.size())));
  for (std::size_t i = 0; list && i < waits.size(); ++i) {
    PyObject* w = PyLong_FromUnsignedLongLong(waits[i]);
    if (!w) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), w);
  }
  return list;
}

}  // namespace

PyObject* outcome_to_py(const Outcome& o, std::optional<bool> replayed) {
  const Strings& s = strings();
  Ref d = Ref::steal(_PyDict_NewPresized(12));
  PyObject* dict = d.get();
  bool ok = dict && set(dict, s.v, u64(o.v)) &&
            set(dict, s.result, borrowed(o.ok ? s.ok : s.error_text)) &&
            (!o.payload || set(dict, s.payload, from_json(*o.payload))) &&
            (!o.error || set(dict, s.error, error_to_py(*o.error))) &&
            set(dict, s.attempts, u64(o.attempts)) &&
            set(dict, s.from_cache, borrowed(o.from_cache ? Py_True : Py_False)) &&
            set(dict, s.waits_ms, waits_to_py(o.waits_ms)) &&
            set(dict, s.throttled, borrowed(o.throttled ? Py_True : Py_False)) &&
            set(dict, s.throttle_wait_ms, u64(o.throttle_wait_ms)) &&
            set(dict, s.breaker, borrowed(o.breaker == BreakerState::kOpen ? s.open : s.closed)) &&
            set(dict, s.trace_id, str(o.trace_id)) &&
            (!replayed || set(dict, s.replayed, borrowed(*replayed ? Py_True : Py_False)));
  if (!ok) return raise(ErrorCode::kE040, "outcome not encodable: " + take_exception_text());
  return d.release();
}

}  // namespace vorn::py
