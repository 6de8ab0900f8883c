#include "binding/args.h"
#include "binding/errors.h"
#include "binding/handle.h"
#include "binding/py_json.h"
#include "events/event_sink.h"

namespace vorn::py {

PyObject* handle_report(PyObject* self, PyObject*) {
  VORN_PY_GUARD_BEGIN
  auto* h = reinterpret_cast<HandleObject*>(self);
  Json report = with_runtime(*h->runtime,
                             [&](CurrentThreadRuntime& rt) { return h->engine->report(rt.now()); });
  Ref out = from_json(report);
  if (!out) return raise(ErrorCode::kE040, "report not encodable: " + take_exception_text());
  return out.release();
  VORN_PY_GUARD_END
}

PyObject* handle_flush_events(PyObject* self, PyObject*) {
  VORN_PY_GUARD_BEGIN
  auto* h = reinterpret_cast<HandleObject*>(self);
  if (events::EventSink* sink = h->engine->sink()) {
    GilRelease nogil;
    sink->flush();
  }
  Py_RETURN_NONE;
  VORN_PY_GUARD_END
}

PyObject* handle_advance_clock(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("advance_clock", args, nargs, kwnames, {"ms"}, 1, a)) return nullptr;
  std::uint64_t ms = 0;
  if (!arg_u64("advance_clock", "ms", a[0], &ms)) return nullptr;
  auto* h = reinterpret_cast<HandleObject*>(self);
  if (!h->paused) {
    return raise(ErrorCode::kE040,
                 "advance_clock requires a paused=True handle (harness only); this handle runs "
                 "on the real clock");
  }
  with_runtime(*h->runtime, [ms](CurrentThreadRuntime& rt) { rt.advance(ms); });
  Py_RETURN_NONE;
  VORN_PY_GUARD_END
}

PyObject* handle_layer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[2];
  if (!bind_args("layer", args, nargs, kwnames, {"target", "key"}, 2, a)) return nullptr;
  std::string_view target, key;
  if (!arg_str("layer", "target", a[0], &target) || !arg_str("layer", "key", a[1], &key)) {
    return nullptr;
  }
  auto value = reinterpret_cast<HandleObject*>(self)->engine->layer(target, key);
  if (!value) Py_RETURN_NONE;
  Ref out = from_json(*value);
  if (!out) return raise(ErrorCode::kE040, "layer not encodable: " + take_exception_text());
  return out.release();
  VORN_PY_GUARD_END
}

PyObject* handle_resolve_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  constexpr const char* kFn = "resolve_target";
  PyObject* a[5];
  if (!bind_args(kFn, args, nargs, kwnames, {"method", "host", "scheme", "port", "path"}, 2, a)) {
    return nullptr;
  }
  std::string_view method, host;
  std::optional<std::string_view> scheme, path;
  std::optional<std::uint16_t> port;
  if (!arg_str(kFn, "method", a[0], &method) || !arg_str(kFn, "host", a[1], &host) ||
      !arg_opt_str(kFn, "scheme", a[2], &scheme) || !arg_opt_str(kFn, "path", a[4], &path)) {
    return nullptr;
  }
  if (a[3] && a[3] != Py_None) {
    std::uint64_t p = 0;
    if (!arg_u64(kFn, "port", a[3], &p)) return nullptr;
    if (p > 65535) {
      PyErr_SetString(PyExc_OverflowError, "resolve_target() argument 'port' must be 0 to 65535");
      return nullptr;
    }
    port = static_cast<std::uint16_t>(p);
  }
  std::string key = reinterpret_cast<HandleObject*>(self)->engine->resolve_target(
      method, host, scheme, port, path);
  return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
  VORN_PY_GUARD_END
}

PyObject* handle_known_llm_hosts(PyObject*, PyObject*) {
  VORN_PY_GUARD_BEGIN
  auto hosts = Engine::known_llm_hosts();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hosts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    PyObject* pair = Py_BuildValue("(ss)", hosts[i].first.c_str(), hosts[i].second.c_str());
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
  VORN_PY_GUARD_END
}

PyObject* handle_persistent(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<HandleObject*>(self)->engine->journal() != nullptr);
}

}  // namespace vorn::py
