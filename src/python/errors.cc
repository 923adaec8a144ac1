// TesmoError and the conversion of failures into Python exceptions.
#include "python/errors.h"

#include <string>

#include "python/once.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {

namespace {

OnceSlot g_tesmo_error;

// str(obj) as UTF-8, or false: with the exception cleared, or with one that
// passes through left pending.
bool str_of(PyObject* obj, std::string& out) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) {
    clear_unless_passing_through();
    return false;
  }
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  if (!bytes) {
    clear_unless_passing_through();
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    clear_unless_passing_through();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// str() of the attribute, or "?" with the exception cleared, or with one
// that passes through left pending.
std::string attr_text(PyObject* obj, const char* name) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!attr) {
    clear_unless_passing_through();
    return "?";
  }
  std::string out;
  if (!str_of(attr.get(), out)) return "?";
  return out;
}

}  // namespace

PyObject* tesmo_error_type() {
  return g_tesmo_error.get([]() -> PyObject* {
#if TESMO_ENGINE_MODULE
    // The engine module raises the tesmo module's own class, so that one
    // `except tesmo.TesmoError` catches the failures of both.
    PyRef tesmo = PyRef::steal(PyImport_ImportModule("tesmo"));
    return tesmo ? PyObject_GetAttrString(tesmo.get(), "TesmoError") : nullptr;
#else
    // No docstring and no class dictionary: a bare subclass of Exception.
    return PyErr_NewException("tesmo.TesmoError", PyExc_Exception, nullptr);
#endif
  });
}

PyObject* raise_error(const Error& error) {
  // The exception that stopped the operation is already set: keep it.
  if (error.kind() == ErrorKind::kPending ||
      (error.kind() == ErrorKind::kInterrupted && PyErr_Occurred())) {
    return nullptr;
  }
  PyObject* type = tesmo_error_type();
  if (type == nullptr) return nullptr;
  const std::string& message = error.message();
  // "replace" keeps a message built from undecodable bytes raisable;
  // PyErr_SetObject keeps NUL bytes that PyErr_SetString would cut at.
  PyRef text = PyRef::steal(new_str(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

bool exception_passes_through() {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

bool clear_unless_passing_through() {
  if (exception_passes_through()) return false;
  PyErr_Clear();
  return true;
}

Error fetch_python_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Judged once normalized: making the exception object runs its class's
  // __init__, which may raise another in its place.
  PyErr_Restore(type, value, traceback);
  if (exception_passes_through()) return Error::pending();
  PyErr_Fetch(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), value_ref = PyRef::steal(value),
        tb_ref = PyRef::steal(traceback);
  std::string text = type ? attr_text(type, "__qualname__") : std::string("?");
  if (PyErr_Occurred()) return Error::pending();
  std::string detail;
  if (value && str_of(value, detail)) {
    text += ": " + detail;
  } else if (PyErr_Occurred()) {
    return Error::pending();
  } else {
    text += ": <exception str() failed>";
  }
  return Error(std::move(text));
}

PyObject* raise_converted_python_error() { return raise_error(fetch_python_error()); }

Result<std::string> type_name_of(PyObject* obj) {
  std::string name = attr_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
  if (PyErr_Occurred()) return Error::pending();
  return name;
}

}  // namespace tesmo::py
