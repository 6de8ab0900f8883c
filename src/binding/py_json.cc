#include "binding/py_json.h"

#include <cmath>
#include <string>

namespace vorn::py {

namespace {

// Deep enough for any sensible document, shallow enough for the C stack.
constexpr int kMaxDepth = 256;

std::string type_qualname(PyObject* obj) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s) return std::string(s, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

class Converter {
 public:
  bool convert(PyObject* obj, Json* out, int depth) {
    if (depth > kMaxDepth) return fail("nesting deeper than 256 levels");
    if (obj == Py_None) {
      *out = nullptr;
      return true;
    }
    if (PyBool_Check(obj)) {
      *out = (obj == Py_True);
      return true;
    }
    if (PyLong_Check(obj)) return convert_int(obj, out);
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
      Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
      PyObject** items = PySequence_Fast_ITEMS(obj);
      *out = Json::array();
      auto& arr = out->get_ref<Json::array_t&>();
      arr.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        // A list may be mutated by code we call back into; hold the item.
        Ref item = Ref::borrow(PyList_Check(obj)
                                   ? (i < PyList_GET_SIZE(obj) ? PyList_GET_ITEM(obj, i) : nullptr)
                                   : items[i]);
        if (!item) break;
        arr.emplace_back();
        if (!convert(item.get(), &arr.back(), depth + 1)) return false;
      }
      return true;
    }
    if (PyDict_Check(obj)) return convert_dict(obj, out, depth);
    if (PyUnicode_Check(obj)) return convert_str(obj, out);
    if (PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj)) {
      return fail("unsupported type " + type_qualname(obj));
    }
    if (PyFloat_Check(obj)) {
      double d = PyFloat_AS_DOUBLE(obj);
      if (std::isfinite(d)) {
        *out = d;
      } else {
        *out = nullptr;
      }
      return true;
    }
    if (PyAnySet_Check(obj)) return convert_iterable(obj, out, depth);
    // A Python class with __getitem__ passes the sequence check as well; a mapping is
    // still an object, not the list of its keys.
    const int mapping = is_abc_mapping(obj);
    if (mapping < 0) return fail_from_python();
    if (mapping) return convert_mapping(obj, out, depth);
    if (PySequence_Check(obj)) return convert_iterable(obj, out, depth);
    if (PyMapping_Check(obj)) return convert_mapping(obj, out, depth);
    if (is_dataclass_instance(obj)) return convert_dataclass(obj, out, depth);
    return fail("unsupported type " + type_qualname(obj));
  }

  std::string error;

 private:
  bool fail(std::string message) {
    error = std::move(message);
    return false;
  }

  bool fail_from_python() { return fail(take_exception_text()); }

  bool convert_int(PyObject* obj, Json* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) return fail_from_python();
      if (v >= 0) {
        *out = static_cast<std::uint64_t>(v);
      } else {
        *out = static_cast<std::int64_t>(v);
      }
      return true;
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        *out = static_cast<std::uint64_t>(u);
        return true;
      }
      PyErr_Clear();
    }
    return fail("integer out of range: does not fit in 64 bits");
  }

  bool convert_str(PyObject* obj, Json* out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return fail_from_python();
    *out = std::string(s, static_cast<std::size_t>(n));
    return true;
  }

  bool convert_key(PyObject* key, std::string* out) {
    if (!PyUnicode_Check(key)) return fail("dict key must be a string, not " + type_qualname(key));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(key, &n);
    if (!s) return fail_from_python();
    out->assign(s, static_cast<std::size_t>(n));
    return true;
  }

  bool convert_dict(PyObject* obj, Json* out, int depth) {
    *out = Json::object();
    auto& map = out->get_ref<Json::object_t&>();
    // Iterate over a snapshot of the items: converting a value may run Python code.
    Ref items = Ref::steal(PyDict_Items(obj));
    if (!items) return fail_from_python();
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::string key;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      if (!convert_key(PyTuple_GET_ITEM(pair, 0), &key)) return false;
      Json value;
      if (!convert(PyTuple_GET_ITEM(pair, 1), &value, depth + 1)) return false;
      map.insert_or_assign(key, std::move(value));
    }
    return true;
  }

  bool convert_iterable(PyObject* obj, Json* out, int depth) {
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return fail_from_python();
    *out = Json::array();
    auto& arr = out->get_ref<Json::array_t&>();
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
      arr.emplace_back();
      if (!convert(item.get(), &arr.back(), depth + 1)) return false;
    }
    if (PyErr_Occurred()) return fail_from_python();
    return true;
  }

  bool convert_mapping(PyObject* obj, Json* out, int depth) {
    Ref items = Ref::steal(PyMapping_Items(obj));
    if (!items) return fail_from_python();
    *out = Json::object();
    auto& map = out->get_ref<Json::object_t&>();
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::string key;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
        return fail("malformed mapping item");
      if (!convert_key(PyTuple_GET_ITEM(pair, 0), &key)) return false;
      Json value;
      if (!convert(PyTuple_GET_ITEM(pair, 1), &value, depth + 1)) return false;
      map.insert_or_assign(key, std::move(value));
    }
    return true;
  }

  // 1 when `obj` is a collections.abc.Mapping, 0 when not, -1 with an exception set.
  static int is_abc_mapping(PyObject* obj) {
    // Lives for the rest of the process; guarded by the interpreter lock.
    static PyObject* mapping_abc = nullptr;
    if (!mapping_abc) {
      Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
      if (!abc) return -1;
      mapping_abc = PyObject_GetAttrString(abc.get(), "Mapping");
      if (!mapping_abc) return -1;
    }
    return PyObject_IsInstance(obj, mapping_abc);
  }

  static bool is_dataclass_instance(PyObject* obj) {
    if (PyType_Check(obj)) return false;
    int has =
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__dataclass_fields__");
    return has == 1;
  }

  bool convert_dataclass(PyObject* obj, Json* out, int depth) {
    Ref fields = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__dataclass_fields__"));
    if (!fields || !PyDict_Check(fields.get())) {
      if (PyErr_Occurred()) return fail_from_python();
      return fail("unsupported type " + type_qualname(obj));
    }
    *out = Json::object();
    auto& map = out->get_ref<Json::object_t&>();
    Ref names = Ref::steal(PyDict_Keys(fields.get()));
    if (!names) return fail_from_python();
    std::string key;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      PyObject* name = PyList_GET_ITEM(names.get(), i);
      if (!convert_key(name, &key)) return false;
      Ref value = Ref::steal(PyObject_GetAttr(obj, name));
      if (!value) return fail_from_python();
      Json v;
      if (!convert(value.get(), &v, depth + 1)) return false;
      map.insert_or_assign(key, std::move(v));
    }
    return true;
  }
};

}  // namespace

std::string take_exception_text() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), tr = Ref::steal(tb);
  std::string text = t ? reinterpret_cast<PyTypeObject*>(t.get())->tp_name : "Exception";
  if (auto dot = text.rfind('.'); dot != std::string::npos) text = text.substr(dot + 1);
  text += ": ";
  if (v) {
    Ref s = Ref::steal(PyObject_Str(v.get()));
    const char* c = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (c) {
      text += c;
    } else {
      PyErr_Clear();
      text += "<unprintable>";
    }
  }
  return text;
}

Result<Json, std::string> to_json(PyObject* obj) {
  Converter c;
  Json out;
  if (!c.convert(obj, &out, 0)) {
    PyErr_Clear();
    return std::move(c.error);
  }
  return out;
}

Ref from_json(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return Ref::borrow(Py_None);
    case Json::value_t::boolean:
      return Ref::borrow(value.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_integer:
      return Ref::steal(PyLong_FromLongLong(value.get<std::int64_t>()));
    case Json::value_t::number_unsigned:
      return Ref::steal(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case Json::value_t::number_float:
      return Ref::steal(PyFloat_FromDouble(value.get<double>()));
    case Json::value_t::string: {
      const auto& s = value.get_ref<const std::string&>();
      return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    }
    case Json::value_t::array: {
      const auto& arr = value.get_ref<const Json::array_t&>();
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(arr.size())));
      if (!list) return list;
      for (std::size_t i = 0; i < arr.size(); ++i) {
        Ref item = from_json(arr[i]);
        if (!item) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
    case Json::value_t::object: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return dict;
      for (const auto& [k, v] : value.get_ref<const Json::object_t&>()) {
        Ref key =
            Ref::steal(PyUnicode_DecodeUTF8(k.data(), static_cast<Py_ssize_t>(k.size()), nullptr));
        if (!key) return Ref();
        Ref item = from_json(v);
        if (!item) return Ref();
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return Ref();
      }
      return dict;
    }
    default:
      PyErr_SetString(PyExc_ValueError, "binary values have no Python form here");
      return Ref();
  }
}

}  // namespace vorn::py
