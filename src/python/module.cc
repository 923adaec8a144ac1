// The module entry point: PyInit_tesmo builds the module once per process
// and hands the same object to every later import.
#include <Python.h>


#include <cstdint>

#include "core/store/lock.h"
#include "python/errors.h"
#include "python/lock_pause.h"
#include "python/instance.h"
#include "python/pyref.h"
#include "python/types.h"

namespace tesmo::py {

PyObject* forbidden_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* as_object = reinterpret_cast<PyObject*>(type);
  PyRef module = PyRef::steal(PyObject_GetAttrString(as_object, "__module__"));
  PyRef name = module ? PyRef::steal(PyObject_GetAttrString(as_object, "__qualname__")) : PyRef();
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%S.%S' instances", module.get(), name.get());
  return nullptr;
}

namespace {

// Single-phase initialisation without module state or a method table.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tesmo",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
bool g_have_interpreter = false;
std::int64_t g_interpreter_id = 0;

// PyModule_AddObject steals only on success; this takes a borrowed object.
bool add_borrowed(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) != 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

PyObject* init_module() {
  // The classes and the module belong to the interpreter that first
  // imported the module; objects cannot be shared with another.
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (!g_have_interpreter) {
    g_have_interpreter = true;
    g_interpreter_id = id;
  } else if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "tesmo does not support sub-interpreters: it can only be imported "
                    "in the interpreter that first imported it");
    return nullptr;
  }

  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (!add_borrowed(module.get(), "Repo", repo_type())) return nullptr;
  if (!add_borrowed(module.get(), "Change", change_type())) return nullptr;
  // Added under the name the function object reports for itself.
  PyRef diff = PyRef::steal(new_diff_function());
  if (!diff) return nullptr;
  PyRef diff_name = PyRef::steal(PyObject_GetAttrString(diff.get(), "__name__"));
  if (!diff_name) return nullptr;
  if (PyObject_SetAttr(module.get(), diff_name.get(), diff.get()) != 0) return nullptr;
  if (!add_borrowed(module.get(), "TesmoError", tesmo_error_type())) return nullptr;
  set_lock_pause(&pause_for_lock);
  g_module = module.release();
  Py_INCREF(g_module);  // one reference kept for later imports
  return g_module;
}

}  // namespace
}  // namespace tesmo::py

PyMODINIT_FUNC PyInit_tesmo(void) {
  return tesmo::py::guarded([] { return tesmo::py::init_module(); });
}
