#include "binding/errors.h"

#include <exception>
#include <string>

namespace vorn::py {

namespace {

constexpr const char* kErrorDoc =
    "Vorn core error. Carries the stable `code` (\"VORN-E0NN\") and `message` as attributes "
    "\xe2\x80\x94 the Python mirror of the core's VornError.";

// Both types live for the rest of the process once created (the module keeps no
// per-interpreter state), guarded by the interpreter lock.
PyObject* g_error_type = nullptr;
PyObject* g_fault_type = nullptr;

}  // namespace

PyObject* vorn_core_error_type() {
  if (!g_error_type) {
    g_error_type =
        PyErr_NewExceptionWithDoc("vorn_core.VornCoreError", kErrorDoc, PyExc_Exception, nullptr);
  }
  Py_XINCREF(g_error_type);
  return g_error_type;
}

PyObject* internal_fault_type() {
  if (!g_fault_type) {
    g_fault_type = PyErr_NewExceptionWithDoc(
        "vorn_core.VornCoreInternalError",
        "A broken invariant inside the vorn core. Not a user error; derives from BaseException.",
        PyExc_BaseException, nullptr);
  }
  Py_XINCREF(g_fault_type);
  return g_fault_type;
}

std::nullptr_t raise(ErrorCode code, std::string_view message) {
  Ref type = Ref::steal(vorn_core_error_type());
  if (!type) return nullptr;
  std::string text(error_code_text(code));
  text += ": ";
  text += message;
  Ref exc = Ref::steal(
      PyObject_CallFunction(type.get(), "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!exc) return nullptr;
  std::string_view code_text = error_code_text(code);
  Ref code_obj = Ref::steal(
      PyUnicode_FromStringAndSize(code_text.data(), static_cast<Py_ssize_t>(code_text.size())));
  Ref msg_obj = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!code_obj || !msg_obj) return nullptr;
  if (PyObject_SetAttrString(exc.get(), "code", code_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "message", msg_obj.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(type.get(), exc.get());
  return nullptr;
}

std::nullptr_t raise(const VornError& error) {
  return raise(error.code, error.message);
}

std::nullptr_t raise(const InternalFault& fault) {
  Ref type = Ref::steal(internal_fault_type());
  if (type) PyErr_SetString(type.get(), fault.message.c_str());
  return nullptr;
}

std::nullptr_t raise_current_exception() {
  try {
    throw;
  } catch (const InternalFault& f) {
    return raise(f);
  } catch (const std::exception& e) {
    return raise(InternalFault{std::string("internal error: ") + e.what()});
  } catch (...) {
    return raise(InternalFault{"internal error: unknown failure"});
  }
}

}  // namespace vorn::py
