#ifndef VORN_BINDING_HANDLE_H_
#define VORN_BINDING_HANDLE_H_

#include "binding/py_ref.h"

#include <memory>
#include <mutex>
#include <optional>

#include "binding/fifo_mutex.h"
#include "engine/current_thread_runtime.h"
#include "engine/engine.h"
#include "flow/flow_handle.h"

namespace vorn::py {

// The open flow of a handle, behind a first-come-first-served mutex. Shared so that work
// still pending can keep it alive.
struct FlowSlot {
  FifoMutex mu;
  std::unique_ptr<flow::FlowHandle> flow;  // guarded by mu
};

// A handle's private runtime behind its lock. Synchronous paths that drive the runtime
// (execute, report, advance_clock, enter_flow) take `mu` with the interpreter lock released.
// The runtime runs one call at a time on the thread that drives it, so a thread that holds
// `mu` and is inside an effect may use `rt` directly without locking again.
struct RuntimeBox {
  explicit RuntimeBox(bool paused) : rt(paused) {}
  FifoMutex mu;
  CurrentThreadRuntime rt;  // guarded by mu
};

// The instance layout of `VornCore`. Members are constructed in place after tp_alloc and
// destroyed in tp_dealloc.
struct HandleObject {
  PyObject_HEAD std::shared_ptr<Engine> engine;
  std::unique_ptr<RuntimeBox> runtime;
  std::shared_ptr<FlowSlot> active_flow;
  bool paused;
};

extern PyTypeObject HandleType;

// Runs `fn(rt)` on the handle's runtime under its lock, waiting for the lock with the
// interpreter lock released. A thread that already holds it (it is inside a synchronous
// effect of this handle's running call) uses the runtime directly instead of waiting for
// itself forever.
template <class Fn>
decltype(auto) with_runtime(RuntimeBox& box, Fn&& fn) {
  if (box.mu.held_by_this_thread()) return fn(box.rt);
  GilRelease nogil;
  std::lock_guard lock(box.mu);
  return fn(box.rt);
}

// True exactly while this thread is inside a synchronous effect called by the binding.
extern thread_local bool in_effect;

// Method implementations, one group per file.
PyObject* handle_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* handle_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* handle_report(PyObject* self, PyObject* unused);
PyObject* handle_flush_events(PyObject* self, PyObject* unused);
PyObject* handle_advance_clock(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* handle_layer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* handle_resolve_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* handle_known_llm_hosts(PyObject* unused_self, PyObject* unused);
PyObject* handle_persistent(PyObject* self, void* unused);
PyObject* handle_enter_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* handle_exit_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* handle_journal_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* handle_journal_random(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* handle_recorded_idempotency_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* handle_steps_for_flow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* handle_flows_by_entrypoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);

}  // namespace vorn::py

#endif  // VORN_BINDING_HANDLE_H_
