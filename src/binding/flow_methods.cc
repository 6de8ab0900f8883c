#include <unistd.h>

#include <string>

#include "api/codec/step_payload.h"
#include "api/text.h"
#include "binding/args.h"
#include "binding/errors.h"
#include "binding/handle.h"
#include "binding/py_json.h"
#include "flow/flow_manager.h"
#include "journal/clock.h"
#include "journal/journal.h"

namespace vorn::py {

namespace {

constexpr const char* kNoJournal =
    "Tier 2 durable flows require a native core with a journal; this core is in-memory. Pass a "
    "journal_path (the front end attaches one under .vorn/).";

HandleObject* handle_of(PyObject* self) {
  return reinterpret_cast<HandleObject*>(self);
}

Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

// Whether this thread is inside a call of this handle that holds its flow slot (running
// its synchronous effect, or a logging handler the call reached): waiting for the slot
// would then wait for ourselves forever.
bool inside_own_step(HandleObject* h) {
  return h->active_flow->mu.held_by_this_thread();
}

// Takes the open flow out of the slot (leaving it empty) or swaps `replacement` in,
// waiting for the slot with the interpreter lock released. Returns the previous flow.
std::unique_ptr<flow::FlowHandle> swap_flow(FlowSlot& slot,
                                            std::unique_ptr<flow::FlowHandle> replacement) {
  GilRelease nogil;
  std::lock_guard lock(slot.mu);
  std::swap(slot.flow, replacement);
  return replacement;
}

// Drops a flow handle with the interpreter lock released: it joins the heartbeat thread,
// which may be waiting for the interpreter lock to log a warning.
void drop_flow(std::unique_ptr<flow::FlowHandle> handle) {
  if (!handle) return;
  GilRelease nogil;
  handle.reset();
}

// Runs `fn(flow)` on the open flow with the slot held; `fn` is not called when no flow is
// open. The interpreter lock is released for the whole wait and call.
template <class Fn>
auto with_open_flow(FlowSlot& slot, Fn&& fn) {
  GilRelease nogil;
  std::lock_guard lock(slot.mu);
  using R = decltype(fn(*slot.flow));
  if (!slot.flow) return std::optional<R>();
  return std::optional<R>(fn(*slot.flow));
}

std::string_view status_text(journal::FlowStatus s) {
  return journal::flow_status_text(s);
}

}  // namespace

PyObject* handle_enter_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  constexpr const char* kFn = "enter_flow";
  PyObject* a[5];
  if (!bind_args(kFn, args, nargs, kwnames,
                 {"entrypoint", "args_hash", "code_hash", "explicit_key", "lease_ms"}, 2, a)) {
    return nullptr;
  }
  std::string_view entrypoint, args_hash;
  std::optional<std::string_view> code_hash, explicit_key;
  std::uint64_t lease_ms = 30'000;
  if (!arg_str(kFn, "entrypoint", a[0], &entrypoint) ||
      !arg_str(kFn, "args_hash", a[1], &args_hash) ||
      !arg_opt_str(kFn, "code_hash", a[2], &code_hash) ||
      !arg_opt_str(kFn, "explicit_key", a[3], &explicit_key) ||
      (a[4] && a[4] != Py_None && !arg_u64(kFn, "lease_ms", a[4], &lease_ms))) {
    return nullptr;
  }
  HandleObject* h = handle_of(self);
  std::shared_ptr<journal::Journal> journal = h->engine->journal();
  if (!journal) return raise(ErrorCode::kE040, kNoJournal);
  if (inside_own_step(h)) {
    // Replacing the open flow would pull it out from under the step that is running it.
    return raise(ErrorCode::kE040,
                 "enter_flow called from inside an effect of this handle's running call; enter "
                 "the flow before the call or after it returns");
  }

  flow::FlowManager manager;
  manager.holder = "pid-" + std::to_string(::getpid());
  manager.lease = lease_ms;
  manager.max_attempts = 3;
  manager.engine = h->engine;
  manager.journal = std::move(journal);
  manager.clock = std::make_shared<journal::SystemClock>();
  flow::FlowDescriptor descriptor{
      std::string(entrypoint), std::string(args_hash),
      explicit_key ? std::optional<std::string>(*explicit_key) : std::nullopt,
      code_hash ? std::optional<std::string>(*code_hash) : std::nullopt};

  auto entered = with_runtime(
      *h->runtime, [&](CurrentThreadRuntime&) { return manager.enter_flow(descriptor); });
  if (!entered.ok()) return raise(entered.error());
  std::unique_ptr<flow::FlowHandle> handle = std::move(entered).value();

  Ref info = Ref::steal(PyDict_New());
  if (!info || PyDict_SetItemString(info.get(), "flow_id", str(handle->flow_id()).get()) < 0 ||
      PyDict_SetItemString(info.get(), "replay", handle->replay() ? Py_True : Py_False) < 0 ||
      PyDict_SetItemString(info.get(), "status",
                           str(status_text(handle->status_at_entry())).get()) < 0) {
    drop_flow(std::move(handle));
    return raise(ErrorCode::kE040, "flow info not encodable: " + take_exception_text());
  }
  drop_flow(swap_flow(*h->active_flow, std::move(handle)));
  return info.release();
  VORN_PY_GUARD_END
}

PyObject* handle_exit_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("exit_flow", args, nargs, kwnames, {"status"}, 1, a)) return nullptr;
  std::string_view status;
  if (!arg_str("exit_flow", "status", a[0], &status)) return nullptr;
  journal::FlowStatus final_status;
  if (status == "completed") {
    final_status = journal::FlowStatus::kCompleted;
  } else if (status == "failed") {
    final_status = journal::FlowStatus::kFailed;
  } else {
    return raise(ErrorCode::kE040,
                 "exit_flow status must be \"completed\" or \"failed\", got " + quote(status));
  }
  HandleObject* h = handle_of(self);
  if (inside_own_step(h)) {
    return raise(ErrorCode::kE040,
                 "exit_flow called from inside an effect of this handle's running call; exit "
                 "the flow after the call returns");
  }
  std::unique_ptr<flow::FlowHandle> handle = swap_flow(*h->active_flow, nullptr);
  if (!handle) Py_RETURN_NONE;
  auto completed = handle->complete(final_status);
  drop_flow(std::move(handle));
  if (!completed.ok()) return raise(completed.error());
  Py_RETURN_NONE;
  VORN_PY_GUARD_END
}

PyObject* handle_journal_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  constexpr const char* kFn = "journal_time";
  PyObject* a[2];
  if (!bind_args(kFn, args, nargs, kwnames, {"key", "now_ms"}, 2, a)) return nullptr;
  std::string_view key;
  std::int64_t now_ms = 0;
  if (!arg_str(kFn, "key", a[0], &key) || !arg_i64(kFn, "now_ms", a[1], &now_ms)) return nullptr;
  // A read made inside a running effect is neither journaled nor substituted: on replay the
  // effect does not run, so its incidental reads never happen.
  HandleObject* h = handle_of(self);
  if (in_effect || inside_own_step(h)) return PyLong_FromLongLong(now_ms);
  auto value = with_open_flow(*h->active_flow,
                              [&](flow::FlowHandle& f) { return f.journal_time(key, now_ms); });
  if (!value) return raise(ErrorCode::kE040, "journal_time called outside a flow");
  if (!value->ok()) return raise(value->error());
  return PyLong_FromLongLong(value->value());
  VORN_PY_GUARD_END
}

PyObject* handle_journal_random(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  constexpr const char* kFn = "journal_random";
  PyObject* a[2];
  if (!bind_args(kFn, args, nargs, kwnames, {"key", "data"}, 2, a)) return nullptr;
  std::string_view key;
  if (!arg_str(kFn, "key", a[0], &key)) return nullptr;
  if (PyUnicode_Check(a[1]) || !PyObject_CheckBuffer(a[1])) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'data' must be a bytes-like object, not %.200s",
                 kFn, Py_TYPE(a[1])->tp_name);
    return nullptr;
  }
  journal::Bytes data;
  {
    Py_buffer view;
    if (PyObject_GetBuffer(a[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
    const auto* p = static_cast<const std::uint8_t*>(view.buf);
    data.assign(p, p + view.len);
    PyBuffer_Release(&view);
  }
  HandleObject* h = handle_of(self);
  if (in_effect || inside_own_step(h)) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
  }
  auto value = with_open_flow(*h->active_flow,
                              [&](flow::FlowHandle& f) { return f.journal_random(key, data); });
  if (!value) return raise(ErrorCode::kE040, "journal_random called outside a flow");
  if (!value->ok()) return raise(value->error());
  const journal::Bytes& out = value->value();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
  VORN_PY_GUARD_END
}

PyObject* handle_recorded_idempotency_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("recorded_idempotency_key", args, nargs, kwnames, {"step_key"}, 1, a)) {
    return nullptr;
  }
  std::string_view step_key;
  if (!arg_str("recorded_idempotency_key", "step_key", a[0], &step_key)) return nullptr;
  HandleObject* h = handle_of(self);
  // A call made inside a running effect is passed straight through and never journaled,
  // so no recorded key is due for it.
  if (inside_own_step(h)) Py_RETURN_NONE;
  auto key = with_open_flow(
      *h->active_flow, [&](flow::FlowHandle& f) { return f.recorded_idempotency_key(step_key); });
  if (!key || !*key) Py_RETURN_NONE;
  return str(**key).release();
  VORN_PY_GUARD_END
}

namespace {

bool set_item(PyObject* d, const char* key, Ref value) {
  return value && PyDict_SetItemString(d, key, value.get()) == 0;
}

Ref opt_i64(const std::optional<std::int64_t>& v) {
  return v ? Ref::steal(PyLong_FromLongLong(*v)) : Ref::borrow(Py_None);
}

Ref opt_str(const std::optional<std::string>& v) {
  return v ? str(*v) : Ref::borrow(Py_None);
}

Ref step_to_py(const journal::KeyedStep& step) {
  const journal::StepOutcome& o = step.outcome;
  Ref payload = Ref::borrow(Py_None);
  if (o.payload) {
    if (auto value = decode_payload(*o.payload)) payload = from_json(*value);
  }
  Ref d = Ref::steal(PyDict_New());
  if (!d || !set_item(d.get(), "attempt", Ref::steal(PyLong_FromUnsignedLong(o.attempt))) ||
      !set_item(d.get(), "ended_at", opt_i64(o.ended_at)) ||
      !set_item(d.get(), "kind", str(journal::step_kind_text(o.kind))) ||
      !set_item(d.get(), "payload", std::move(payload)) ||
      !set_item(d.get(), "started_at", Ref::steal(PyLong_FromLongLong(o.started_at))) ||
      !set_item(d.get(), "status", str(journal::step_status_text(o.status))) ||
      !set_item(d.get(), "step_key", str(step.step_key))) {
    return Ref();
  }
  return d;
}

Ref flow_to_py(const journal::FlowDescriptor& f) {
  Ref d = Ref::steal(PyDict_New());
  if (!d || !set_item(d.get(), "args_hash", str(f.args_hash)) ||
      !set_item(d.get(), "code_hash", opt_str(f.code_hash)) ||
      !set_item(d.get(), "created_at", Ref::steal(PyLong_FromLongLong(f.created_at))) ||
      !set_item(d.get(), "entrypoint", str(f.entrypoint)) ||
      !set_item(d.get(), "flow_id", str(f.flow_id)) ||
      !set_item(d.get(), "status", str(journal::flow_status_text(f.status))) ||
      !set_item(d.get(), "updated_at", Ref::steal(PyLong_FromLongLong(f.updated_at)))) {
    return Ref();
  }
  return d;
}

// Reads a list from the engine's journal and converts each item; the journal is reached
// only through the engine's slot, so this never waits for the flow slot or the runtime.
template <class Read, class Convert>
PyObject* history_read(HandleObject* h, const char* name, Read&& read, Convert&& convert) {
  std::shared_ptr<journal::Journal> journal = h->engine->journal();
  if (!journal) return raise(ErrorCode::kE040, kNoJournal);
  auto rows = read(*journal);
  if (!rows.ok()) return raise(ErrorCode::kE040, std::string(name) + ": " + rows.error().text());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.value().size())));
  for (std::size_t i = 0; list && i < rows.value().size(); ++i) {
    Ref item = convert(rows.value()[i]);
    if (!item) {
      list = Ref();
      break;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  if (!list) {
    return raise(ErrorCode::kE040, std::string(name) + " not encodable: " + take_exception_text());
  }
  return list.release();
}

}  // namespace

PyObject* handle_steps_for_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("steps_for_flow", args, nargs, kwnames, {"flow_id"}, 1, a)) return nullptr;
  std::string_view flow_id;
  if (!arg_str("steps_for_flow", "flow_id", a[0], &flow_id)) return nullptr;
  return history_read(
      handle_of(self), "steps_for_flow",
      [&](journal::Journal& j) { return j.steps_for_flow(std::string(flow_id)); }, step_to_py);
  VORN_PY_GUARD_END
}

PyObject* handle_flows_by_entrypoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("flows_by_entrypoint", args, nargs, kwnames, {"entrypoint"}, 1, a)) {
    return nullptr;
  }
  std::string_view entrypoint;
  if (!arg_str("flows_by_entrypoint", "entrypoint", a[0], &entrypoint)) return nullptr;
  return history_read(
      handle_of(self), "flows_by_entrypoint",
      [&](journal::Journal& j) { return j.flows_by_entrypoint(entrypoint); }, flow_to_py);
  VORN_PY_GUARD_END
}

}  // namespace vorn::py
