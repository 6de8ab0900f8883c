#ifndef VORN_BINDING_ARGS_H_
#define VORN_BINDING_ARGS_H_

#include "binding/py_ref.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::py {

// Binds vectorcall arguments to parameter names, by position or keyword. On success every
// slot of `out` holds a borrowed reference or null for an omitted optional parameter.
// Otherwise raises the interpreter's TypeError naming the function and parameter.
bool bind_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, std::size_t required, PyObject** out);

// Argument readers: each raises a TypeError (or OverflowError for out-of-range integers)
// naming the parameter and returns false on a wrong type. `None` counts as absent for
// the optional ones.
bool arg_str(const char* function, const char* name, PyObject* obj, std::string_view* out);
bool arg_opt_str(const char* function, const char* name, PyObject* obj,
                 std::optional<std::string_view>* out);
bool arg_u64(const char* function, const char* name, PyObject* obj, std::uint64_t* out);
bool arg_i64(const char* function, const char* name, PyObject* obj, std::int64_t* out);

}  // namespace vorn::py

#endif  // VORN_BINDING_ARGS_H_
