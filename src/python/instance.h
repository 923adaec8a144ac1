// Instances of the module's classes: a PyObject header followed by one C++
// value. The classes have no constructor callable from Python; instances are
// made here, and every class shares the same dealloc.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "python/pyref.h"

namespace tesmo::py {

template <class T>
struct Instance {
  PyObject_HEAD
  T value;
};

template <class T>
T& instance_value(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// A new instance of `type` holding `value`, or nullptr with an exception set.
template <class T>
PyObject* new_instance(PyObject* type, T value) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);  // zeroed memory holding a reference to `type`
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<Instance<T>*>(self)->value) T(std::move(value));
  return self;
}

// Destroys the C++ value, frees the memory, then drops the instance's
// reference to its heap type, in that order.
template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

// tp_new of every class: refuses construction from Python with the text the
// interpreter uses for a class without a constructor.
PyObject* forbidden_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace tesmo::py
