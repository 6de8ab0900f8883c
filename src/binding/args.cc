#include "binding/args.h"

#include <vector>

namespace vorn::py {

bool bind_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, std::size_t required, PyObject** out) {
  const std::size_t count = names.size();
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function, count,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t index = count;
      std::size_t i = 0;
      for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
          index = i;
          break;
        }
        ++i;
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     key);
        return false;
      }
      if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                     names.begin()[index]);
        return false;
      }
      out[index] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   names.begin()[i], i + 1);
      return false;
    }
  }
  return true;
}

bool arg_str(const char* function, const char* name, PyObject* obj, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  *out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool arg_opt_str(const char* function, const char* name, PyObject* obj,
                 std::optional<std::string_view>* out) {
  if (!obj || obj == Py_None) {
    out->reset();
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or None, not %.200s", function,
                 name, Py_TYPE(obj)->tp_name);
    return false;
  }
  std::string_view v;
  if (!arg_str(function, name, obj, &v)) return false;
  *out = v;
  return true;
}

bool arg_u64(const char* function, const char* name, PyObject* obj, std::uint64_t* out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", function, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be a non-negative 64-bit integer",
                 function, name);
    return false;
  }
  *out = v;
  return true;
}

bool arg_i64(const char* function, const char* name, PyObject* obj, std::int64_t* out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", function, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must fit in a signed 64-bit integer",
                 function, name);
    return false;
  }
  *out = v;
  return true;
}

}  // namespace vorn::py
