#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/handle.h"
#include "binding/log_sink.h"
#include "events/event_sink.h"
#include "journal/clock.h"
#include "journal/sqlite_journal.h"

namespace vorn::py {

namespace {

std::string os_error_text(const std::error_code& ec) {
  return ec.message() + " (os error " + std::to_string(ec.value()) + ")";
}

// Opens the SQLite journal at `path`, creating its missing parent directories.
Result<std::shared_ptr<journal::Journal>, VornError> open_journal(const std::string& path) {
  const std::filesystem::path p(path);
  const std::filesystem::path parent = p.parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) {
      return VornError{ErrorCode::kE040,
                       "journal dir " + parent.string() + ": " + os_error_text(ec)};
    }
  }
  auto opened = journal::SqliteJournal::open(p, std::make_shared<journal::SystemClock>());
  if (!opened.ok()) {
    return VornError{ErrorCode::kE040, "journal open " + path + ": " + opened.error().text()};
  }
  return std::shared_ptr<journal::Journal>(std::move(opened).value());
}

PyObject* handle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  VORN_PY_GUARD_BEGIN
  static const char* kNames[] = {"paused", "journal_path", nullptr};
  PyObject* paused_obj = Py_False;
  const char* journal_path = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O!z:VornCore", const_cast<char**>(kNames),
                                   &PyBool_Type, &paused_obj, &journal_path)) {
    return nullptr;
  }
  const bool paused = paused_obj == Py_True;
  refresh_log_levels();

  auto runtime = std::make_unique<RuntimeBox>(paused);
  // The engine's start instant comes from the handle's own clock, virtual when paused.
  auto engine = std::make_shared<Engine>(runtime->rt.now(), events::EventSink::from_env());
  if (journal_path && *journal_path) {
    auto journal = open_journal(journal_path);
    if (!journal.ok()) return raise(journal.error());
    engine->attach_journal(std::move(journal).value());
  }

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* h = reinterpret_cast<HandleObject*>(self);
  new (&h->engine) std::shared_ptr<Engine>(std::move(engine));
  new (&h->runtime) std::unique_ptr<RuntimeBox>(std::move(runtime));
  new (&h->active_flow) std::shared_ptr<FlowSlot>(std::make_shared<FlowSlot>());
  h->paused = paused;
  return self;
  VORN_PY_GUARD_END
}

void handle_dealloc(PyObject* self) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  std::shared_ptr<Engine> engine = std::move(h->engine);
  std::unique_ptr<RuntimeBox> runtime = std::move(h->runtime);
  std::shared_ptr<FlowSlot> slot = std::move(h->active_flow);
  h->engine.~shared_ptr();
  h->runtime.~unique_ptr();
  h->active_flow.~shared_ptr();
  {
    // Dropping an open flow joins its heartbeat thread and dropping the engine drains the
    // event writer; either may need the interpreter lock to log, so release it meanwhile.
    GilRelease nogil;
    slot.reset();
    engine.reset();
    runtime.reset();
  }
  Py_TYPE(self)->tp_free(self);
}

#define VORN_METHOD(name, flags, doc)                                                            \
  {                                                                                              \
#name, reinterpret_cast < PyCFunction>(reinterpret_cast <void (*)()>(handle_##name)), flags, \
        doc                                                                                      \
  }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    VORN_METHOD(configure, kFast,
                "configure($self, policy)\n--\n\n"
                "Validate a policy document and replace the handle's whole policy. Raises "
                "VornCoreError (VORN-E001) naming the offending field; on failure the previous "
                "policy stays in force. Runtime state (breakers, buckets, caches, metrics) is "
                "kept."),
    VORN_METHOD(execute, kFast,
                "execute($self, request, effect, idempotency_key=None)\n--\n\n"
                "Run one intercepted call under the policy and return the outcome dict. "
                "effect(attempt) performs one real attempt and returns an attempt-result dict. "
                "Failures of the call are returned as outcomes, never raised; a bad request "
                "raises VornCoreError (VORN-E003). While a flow is open the call is a journaled "
                "step and the dict ends with \"replayed\"."),
    VORN_METHOD(report, METH_NOARGS,
                "report($self)\n--\n\n"
                "The deterministic report: per-target counters, breaker state and opens, and "
                "the handle's clock reading in ms since creation."),
    VORN_METHOD(flush_events, METH_NOARGS,
                "flush_events($self)\n--\n\n"
                "Block until every event emitted so far is written to the live feed file (at "
                "most 5 seconds). Returns at once when the feed is off."),
    VORN_METHOD(advance_clock, kFast,
                "advance_clock($self, ms)\n--\n\n"
                "Move a paused handle's virtual clock forward by ms milliseconds. Raises "
                "VornCoreError (VORN-E040) on a real-time handle."),
    VORN_METHOD(enter_flow, kFast,
                "enter_flow($self, entrypoint, args_hash, code_hash=None, explicit_key=None, "
                "lease_ms=None)\n--\n\n"
                "Begin or resume a durable flow and make it the handle's active flow. Returns "
                "{\"flow_id\", \"replay\", \"status\"}. Raises VornCoreError when no journal is "
                "attached (VORN-E040), the flow is leased elsewhere (VORN-E030) or dead "
                "(VORN-E032)."),
    VORN_METHOD(exit_flow, kFast,
                "exit_flow($self, status)\n--\n\n"
                "Close the active flow with status \"completed\" or \"failed\" and stop its lease "
                "heartbeat. A no-op when no flow is open."),
    VORN_METHOD(recorded_idempotency_key, kFast,
                "recorded_idempotency_key($self, step_key)\n--\n\n"
                "The idempotency key the crashed attempt of the open flow's next step used, when "
                "that step is recorded as running under step_key; otherwise None."),
    VORN_METHOD(flows_by_entrypoint, kFast,
                "flows_by_entrypoint($self, entrypoint)\n--\n\n"
                "Every journaled flow of the entry point, any status, oldest first."),
    VORN_METHOD(steps_for_flow, kFast,
                "steps_for_flow($self, flow_id)\n--\n\n"
                "Every journaled step of the flow in sequence order, payloads decoded."),
    VORN_METHOD(resolve_target, kFast,
                "resolve_target($self, method, host, scheme=None, port=None, path=None)\n--\n\n"
                "The policy target key an outbound request belongs to: an LLM provider key, an "
                "exact host key, the most specific pattern key, or the host itself."),
    VORN_METHOD(layer, kFast,
                "layer($self, target, key)\n--\n\n"
                "The raw configured value of key for target (target block, then LLM defaults, "
                "then outbound defaults), exactly as written; None when unset."),
    VORN_METHOD(known_llm_hosts, METH_NOARGS | METH_STATIC,
                "known_llm_hosts()\n--\n\n"
                "The fixed list of (host, provider) pairs that resolve to \"llm:\" targets."),
    VORN_METHOD(journal_time, kFast,
                "journal_time($self, key, now_ms)\n--\n\n"
                "Journal a clock reading of the open flow: returns now_ms on a live run and the "
                "recorded value on replay."),
    VORN_METHOD(journal_random, kFast,
                "journal_random($self, key, data)\n--\n\n"
                "Journal a random draw of the open flow: returns data on a live run and the "
                "recorded bytes on replay."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"persistent", handle_persistent, nullptr,
     "True when a journal is attached (durable flows and the persistent cache are available).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject HandleType = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(&t, 1);
  t.tp_name = "vorn_core.VornCore";
  t.tp_basicsize = sizeof(HandleObject);
  t.tp_dealloc = handle_dealloc;
  // Final, with no instance dict and no weak references.
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc =
      "VornCore(paused=False, journal_path=None)\n--\n\n"
      "A handle on the vorn core: one engine with its policy, per-target state and live "
      "event feed. paused=True runs it on a virtual clock that moves only by timer jumps and "
      "advance_clock. journal_path attaches an SQLite journal for durable flows and the "
      "persistent cache.";
  t.tp_methods = kMethods;
  t.tp_getset = kGetSet;
  t.tp_new = handle_new;
  return t;
}();

}  // namespace vorn::py
