// The parts of the walk over a caller's object that do not depend on what it
// builds: the collections.abc tests, type names, and ints beyond 64 bits.
#include "python/walk.h"

#include "python/once.h"

namespace tesmo::py {

namespace {

OnceSlot g_sequence_abc;
OnceSlot g_mapping_abc;

PyObject* abc_class(OnceSlot& slot, const char* name) {
  return slot.get([name]() -> PyObject* {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
  });
}

// int.to_bytes(obj, 16, "little", signed=...) succeeds; false with the
// interpreter's OverflowError pending otherwise. Called through int itself
// so that a subclass cannot change the answer.
bool fits_128_bits(PyObject* obj, bool is_signed) {
  PyRef method = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
  if (!method) return false;
  PyRef args = PyRef::steal(Py_BuildValue("(Ois)", obj, 16, "little"));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{sO}", "signed", is_signed ? Py_True : Py_False));
  if (!args || !kwargs) return false;
  PyRef bytes = PyRef::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
  return static_cast<bool>(bytes);
}

}  // namespace

Result<bool> is_abc_instance(PyObject* obj, Abc which) {
  PyObject* cls = which == Abc::kSequence ? abc_class(g_sequence_abc, "Sequence")
                                          : abc_class(g_mapping_abc, "Mapping");
  if (cls == nullptr) return fetch_python_error();
  const int answer = PyObject_IsInstance(obj, cls);
  if (answer < 0) {
    if (exception_passes_through()) return Error::pending();
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return answer == 1;
}

Result<std::string> qualname_of_type(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  std::string text;
  if (name && PyUnicode_Check(name.get()) && utf8_of(name.get(), text)) return text;
  if (!clear_unless_passing_through()) return Error::pending();
  return std::string("unknown");
}

Error wide_int_error(PyObject* obj) {
  PyErr_Clear();
  if (fits_128_bits(obj, false)) return Error("JSON number out of range");
  PyErr_Clear();
  if (fits_128_bits(obj, true)) return Error("JSON number out of range");
  return fetch_python_error();
}

}  // namespace tesmo::py
