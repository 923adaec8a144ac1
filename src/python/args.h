// Argument matching and conversion shared by every function of the module.
// Methods take (args, kwargs); a Signature names the parameters, all
// positional-or-keyword, and match_arguments() assigns the passed objects
// to them with the interpreter's own TypeError texts. The convert_*
// functions then turn one matched object into a C++ value.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>

namespace tesmo::py {

struct Param {
  const char* name;
  bool required;
};

struct Signature {
  const char* name;  // as shown in messages, without "()": "Repo.commit", "diff"
  std::span<const Param> params;
};

// Fills out[i] with a borrowed reference to the argument of params[i], or
// nullptr when an optional parameter was omitted. `out` has one slot per
// parameter. On failure returns false with TypeError set:
//   "<name>() takes N positional arguments but M were given" (or
//   "takes from R to N ..."), "<name>() got multiple values for argument 'p'",
//   "<name>() got an unexpected keyword argument 'k'",
//   "<name>() missing N required positional argument(s): 'a', 'b', and 'c'".
bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions of one matched argument. Each returns false with an exception
// set. A TypeError is raised as "argument '<param>': <complaint>"; any other
// failure (a UnicodeEncodeError for lone surrogates) is raised unchanged.
//
// A str (subclasses too), as UTF-8. Other types: "'<type>' object cannot be
// converted to 'PyString'".
bool convert_string(const char* param, PyObject* obj, std::string& out);
// nullptr (omitted) or None is absent; otherwise as convert_string.
bool convert_optional_string(const char* param, PyObject* obj, std::optional<std::string>& out);
// A str or os.PathLike giving a str, encoded with the file-system encoding.
// bytes (also from __fspath__) are refused as the wrong type; a NUL inside
// raises ValueError("embedded null byte") as the os functions do.
bool convert_path(const char* param, PyObject* obj, std::string& out);
// nullptr (omitted) or None is absent; otherwise as convert_path.
bool convert_optional_path(const char* param, PyObject* obj, std::optional<std::string>& out);

// A (self, args, kwargs) function as the PyCFunction a METH_VARARGS |
// METH_KEYWORDS entry of a method table stores.
inline PyCFunction with_keywords(PyCFunctionWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace tesmo::py
