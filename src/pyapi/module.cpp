// Module initialisation: creates the module and adds the classes that the
// class files registered, in their module order.
#include <algorithm>

#include "porcelain/files.hpp"
#include "pyapi/frame.hpp"

namespace qb::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorbelin",
    "",  // empty docstring
    0,   // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module object, kept once an initialisation has completed.
PyObject* g_module = nullptr;

// Adds every registered class that is a module attribute, in module order;
// stops at the first failure (an error is set, -1 returned).
int register_classes(PyObject* module) {
  std::vector<ClassRecord*> records;
  for (ClassRecord* r : class_registry())
    if (r->order > 0) records.push_back(r);
  std::stable_sort(records.begin(), records.end(),
                   [](const ClassRecord* a, const ClassRecord* b) { return a->order < b->order; });
  for (ClassRecord* r : records) {
    PyTypeObject* type = ensure_type(*r);
    if (type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, r->name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  return 0;
}

// A file read interrupted by a signal runs the interpreter's handlers; one
// that raised (KeyboardInterrupt) ends the read with its exception.
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyError{};
}

}  // namespace
}  // namespace qb::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quorbelin() {
  using namespace qb::py;
  return trap<PyObject*>(nullptr, []() -> PyObject* {
    if (g_module != nullptr) {
      PyErr_SetString(PyExc_ImportError,
                      "quorbelin may be initialised only once per interpreter process; "
                      "it cannot be reloaded or imported into a second interpreter");
      return nullptr;
    }
    qb::set_interrupt_hook(&check_signals);
    Ref module = Ref::steal(check(PyModule_Create(&g_module_def)));
    if (register_classes(module.get()) < 0) return nullptr;  // the module is released
    g_module = module.get();
    Py_INCREF(g_module);  // kept for the life of the process
    return module.release();
  });
}
