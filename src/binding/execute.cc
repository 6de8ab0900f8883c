#include <exception>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/handle.h"
#include "binding/log_sink.h"
#include "binding/py_json.h"
#include "binding/records_py.h"

namespace vorn::py {

thread_local bool in_effect = false;

namespace {

// The attempt function handed to the engine for a synchronous call. The engine runs on
// the calling thread with the interpreter lock released; each attempt takes it back just
// for the Python call, marking the thread as inside an effect meanwhile.
class SyncEffect final : public Effect {
 public:
  SyncEffect(PyObject* effect, PyThreadState** released) : effect_(effect), released_(released) {}

  AttemptResult call(std::uint32_t attempt) override {
    // Restores the thread's state on every exit, unwinding included.
    struct Scope {
      PyThreadState** released;
      bool saved;
      explicit Scope(PyThreadState** r) : released(r), saved(in_effect) {
        PyEval_RestoreThread(*released);
        in_effect = true;
      }
      ~Scope() {
        in_effect = saved;
        *released = PyEval_SaveThread();
      }
    } scope(released_);
    return invoke_sync_effect(effect_, attempt);
  }

 private:
  PyObject* effect_;
  PyThreadState** released_;  // the thread state to restore; updated on every release
};

}  // namespace

PyObject* handle_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[1];
  if (!bind_args("configure", args, nargs, kwnames, {"policy"}, 1, a)) return nullptr;
  auto* h = reinterpret_cast<HandleObject*>(self);
  auto document = to_json(a[0]);
  if (!document.ok()) return raise(ErrorCode::kE001, "policy not decodable: " + document.error());
  refresh_log_levels();
  auto status = h->engine->configure(document.value());
  if (!status.ok()) return raise(status.error());
  Py_RETURN_NONE;
  VORN_PY_GUARD_END
}

PyObject* handle_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  VORN_PY_GUARD_BEGIN
  PyObject* a[3];
  if (!bind_args("execute", args, nargs, kwnames, {"request", "effect", "idempotency_key"}, 2, a)) {
    return nullptr;
  }
  std::optional<std::string_view> key_view;
  if (!arg_opt_str("execute", "idempotency_key", a[2], &key_view)) return nullptr;
  auto request = decode_request(a[0]);
  if (!request.ok()) return raise(request.error());
  PyObject* effect = a[1];

  auto* h = reinterpret_cast<HandleObject*>(self);
  // Called from inside a synchronous effect, or from code the running call reaches in some
  // other way on this thread (a logging handler): one direct attempt, no locks, no layers.
  // Waiting for the runtime this thread already holds would never end.
  if (in_effect || h->runtime->mu.held_by_this_thread()) {
    return outcome_to_py(outcome_from_single_attempt(invoke_sync_effect(effect, 1)));
  }

  std::optional<std::string> idempotency_key;
  if (key_view) idempotency_key.emplace(*key_view);
  Ref keep_effect = Ref::borrow(effect);
  std::shared_ptr<Engine> engine = h->engine;
  std::shared_ptr<FlowSlot> slot = h->active_flow;
  RuntimeBox& box = *h->runtime;

  Outcome outcome;
  std::optional<bool> replayed;
  std::exception_ptr failure;
  PyThreadState* released = PyEval_SaveThread();
  try {
    SyncEffect sync_effect(effect, &released);
    std::lock_guard runtime_lock(box.mu);
    std::lock_guard flow_lock(slot->mu);
    if (slot->flow) {
      flow::StepResult step = box.rt.block_on(slot->flow->execute_step_with_idempotency_key(
          box.rt, request.value(), sync_effect, std::move(idempotency_key)));
      outcome = std::move(step.outcome);
      replayed = step.replayed;
    } else {
      outcome = box.rt.block_on(engine->execute(box.rt, request.value(), sync_effect));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(released);
  if (failure) std::rethrow_exception(failure);
  return outcome_to_py(outcome, replayed);
  VORN_PY_GUARD_END
}

}  // namespace vorn::py
