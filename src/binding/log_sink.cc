#include "binding/log_sink.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "api/log.h"
#include "binding/py_ref.h"

namespace vorn::py {

namespace {

constexpr const char* kLoggerNames[log::kTargetCount] = {"vornex_core.engine", "vornex_core.flow",
                                                         "vornex_core.events"};

int python_level(log::Level level) {
  switch (level) {
    case log::Level::kTrace:
      return 5;
    case log::Level::kDebug:
      return 10;
    case log::Level::kInfo:
      return 20;
    case log::Level::kWarn:
      return 30;
    default:
      return 40;
  }
}

log::Level threshold_for(long effective) {
  if (effective <= 5) return log::Level::kTrace;
  if (effective <= 10) return log::Level::kDebug;
  if (effective <= 20) return log::Level::kInfo;
  if (effective <= 30) return log::Level::kWarn;
  if (effective <= 40) return log::Level::kError;
  return log::Level::kOff;
}

// A thread that waits for the interpreter lock once finalization has begun is ended by
// the interpreter in the middle of our frames, whose destructors then touch Python
// without the lock and abort the process. Native threads (a flow's heartbeat, the event
// writer) may log at any time, so the sink closes at exit, from an atexit hook (run
// before finalization begins), and waits there for the writes already under way.
std::atomic<int> g_writing{0};
std::atomic<bool> g_closed{false};

class PythonSink final : public log::Sink {
 public:
  // The loggers live as long as the process; guarded by the interpreter lock.
  PyObject* loggers[log::kTargetCount] = {};

  void write(log::Target target, log::Level level, std::string_view message,
             std::initializer_list<log::Field> fields) override {
    g_writing.fetch_add(1);
    struct Done {
      ~Done() { g_writing.fetch_sub(1); }
    } done;  // outlives `gil` below
    if (g_closed.load() || !Py_IsInitialized() || _Py_IsFinalizing()) return;
    GilAcquire gil;
    PyObject* logger = loggers[static_cast<int>(target)];
    if (!logger) return;
    // Logging must never disturb the caller: whatever fails here is dropped.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
    emit(logger, level, message, fields);
    PyErr_Clear();
    PyErr_Restore(saved_type, saved_value, saved_tb);
  }

 private:
  static void emit(PyObject* logger, log::Level level, std::string_view message,
                   std::initializer_list<log::Field> fields) {
    Ref field_dict = Ref::steal(PyDict_New());
    if (!field_dict) return;
    for (const auto& f : fields) {
      Ref v = Ref::steal(
          PyUnicode_DecodeUTF8(f.value.data(), static_cast<Py_ssize_t>(f.value.size()), "replace"));
      std::string name(f.name);
      if (!v || PyDict_SetItemString(field_dict.get(), name.c_str(), v.get()) < 0) return;
    }
    Ref extra = Ref::steal(Py_BuildValue("{s:O}", "vorn_fields", field_dict.get()));
    Ref msg = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    Ref log_fn = Ref::steal(PyObject_GetAttrString(logger, "log"));
    Ref args = Ref::steal(Py_BuildValue("(iO)", python_level(level), msg.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "extra", extra.get()));
    if (!extra || !msg || !log_fn || !args || !kwargs) return;
    Ref r = Ref::steal(PyObject_Call(log_fn.get(), args.get(), kwargs.get()));
  }
};

PythonSink g_sink;

// The atexit hook: drops every later record and waits, without the interpreter lock, for
// the writes in progress. Bounded, so a handler that never returns cannot hang the exit.
PyObject* close_sink(PyObject*, PyObject*) {
  g_closed.store(true);
  Py_BEGIN_ALLOW_THREADS;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (g_writing.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyMethodDef kCloseSink = {"_close_log_sink", close_sink, METH_NOARGS, nullptr};

}  // namespace

void install_log_sink() {
  if (g_sink.loggers[0]) return;
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) {
    PyErr_Clear();
    return;
  }
  for (int i = 0; i < log::kTargetCount; ++i) {
    g_sink.loggers[i] = PyObject_CallMethod(logging.get(), "getLogger", "s", kLoggerNames[i]);
    if (!g_sink.loggers[i]) PyErr_Clear();
  }
  log::set_sink(&g_sink);
  refresh_log_levels();
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref hook = Ref::steal(PyCFunction_New(&kCloseSink, nullptr));
  Ref registered = atexit && hook ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O",
                                                                   hook.get()))
                                  : Ref();
  if (!registered) PyErr_Clear();
}

void refresh_log_levels() {
  for (int i = 0; i < log::kTargetCount; ++i) {
    PyObject* logger = g_sink.loggers[i];
    log::Level threshold = log::Level::kOff;
    if (logger) {
      Ref lvl = Ref::steal(PyObject_CallMethod(logger, "getEffectiveLevel", nullptr));
      if (lvl && PyLong_Check(lvl.get())) threshold = threshold_for(PyLong_AsLong(lvl.get()));
      PyErr_Clear();
    }
    log::set_threshold(static_cast<log::Target>(i), threshold);
  }
}

}  // namespace vorn::py
