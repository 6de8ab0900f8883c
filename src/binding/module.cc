#include "binding/errors.h"
#include "binding/handle.h"
#include "binding/log_sink.h"
#include "binding/py_strings.h"

namespace vorn::py {
namespace {

int exec_module(PyObject* module) {
  if (!init_strings()) return -1;
  install_log_sink();
  if (PyType_Ready(&HandleType) < 0) return -1;
  if (PyModule_AddType(module, &HandleType) < 0) return -1;
  Ref error_type = Ref::steal(vorn_core_error_type());
  if (!error_type) return -1;
  if (PyModule_AddObjectRef(module, "VornCoreError", error_type.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vorn_core",
    "The `vorn_core` extension module.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorn::py

PyMODINIT_FUNC PyInit_vorn_core() {
  return PyModuleDef_Init(&vorn::py::kModule);
}
