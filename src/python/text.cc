// str <-> UTF-8 at the module boundary.
#include "text.h"

#include "pyref.h"

namespace tesmo::py {

bool bytes_of(PyObject* bytes, std::string& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool utf8_of(PyObject* str, std::string& out) {
  // The 3.9 limited API has no view of a str's UTF-8; this makes one copy.
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
  return bytes && bytes_of(bytes.get(), out);
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace tesmo::py
