#ifndef VORN_BINDING_ERRORS_H_
#define VORN_BINDING_ERRORS_H_

#include <string_view>

#include "api/vorn_error.h"
#include "binding/py_ref.h"

namespace vorn::py {

// The one place where failures of the core become Python exceptions.

// `VornCoreError`, created once per process on first need (new reference).
PyObject* vorn_core_error_type();

// The internal-fault type: derives from BaseException, so `except Exception` in the
// front end does not swallow a broken invariant of the core.
PyObject* internal_fault_type();

// Sets a VornCoreError carrying `error`'s code and message as the pending exception.
// Always returns nullptr so callers can `return raise(...)`.
std::nullptr_t raise(const VornError& error);
std::nullptr_t raise(ErrorCode code, std::string_view message);
std::nullptr_t raise(const InternalFault& fault);

// Converts the C++ exception being handled (inside a catch block) into the internal-fault
// exception. Returns nullptr.
std::nullptr_t raise_current_exception();

}  // namespace vorn::py

// Wraps a binding entry point so no C++ exception escapes into the interpreter.
#define VORN_PY_GUARD_BEGIN try {
#define VORN_PY_GUARD_END                         \
  }                                               \
  catch (...) {                                   \
    return ::vorn::py::raise_current_exception(); \
  }

#endif  // VORN_BINDING_ERRORS_H_
