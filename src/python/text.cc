// str <-> UTF-8 at the module boundary.
#include "python/text.h"

#include <dlfcn.h>

#include <cstdio>

#include "python/pyref.h"

namespace tesmo::py {

namespace {

using Utf8ViewFn = const char* (*)(PyObject*, Py_ssize_t*);

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. It gives the UTF-8
// of a str without building a bytes object (for ASCII text, the str's own
// storage), which makes converting large documents much cheaper. The module
// is built for 3.9, so the function is looked up when first needed and used
// only on interpreters of 3.10 or later, where it is part of the stable ABI.
Utf8ViewFn utf8_view_fn() {
  static const Utf8ViewFn fn = []() -> Utf8ViewFn {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return nullptr;
    if (major < 3 || (major == 3 && minor < 10)) return nullptr;
    return reinterpret_cast<Utf8ViewFn>(::dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }();
  return fn;
}

}  // namespace

bool bytes_of(PyObject* bytes, std::string& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool utf8_view(PyObject* str, std::string_view& out, PyRef& keep) {
  if (Utf8ViewFn view = utf8_view_fn()) {
    Py_ssize_t size = 0;
    const char* data = view(str, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  keep = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!keep) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(keep.get(), &data, &size) != 0) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool utf8_of(PyObject* str, std::string& out) {
  std::string_view view;
  PyRef keep;
  if (!utf8_view(str, view, keep)) return false;
  out.assign(view);
  return true;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace tesmo::py
