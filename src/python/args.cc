// Argument matching with the interpreter's TypeError messages, and the
// string and path argument kinds.
#include "python/args.h"

#include <string_view>
#include <vector>

#include "python/errors.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string>& names) {
  const std::size_t count = names.size();
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count == 2) {
        out += " and ";
      } else {
        out += i + 1 == count ? ", and " : ", ";
      }
    }
    out += "'" + names[i] + "'";
  }
  return out;
}

bool type_error(const std::string& message) {
  PyRef text = PyRef::steal(new_str(message));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return false;
}

// Rewrites a pending TypeError as "argument '<param>': <its message>";
// other exceptions stay as they are. Always returns false.
bool prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), value_ref = PyRef::steal(value),
        tb_ref = PyRef::steal(traceback);
  PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
  return false;
}

bool wrong_type(PyObject* obj, std::string_view type_name = {}) {
  std::string name(type_name);
  if (name.empty()) {
    Result<std::string> found = type_name_of(obj);
    if (!found) return false;  // an exception that passes through is pending
    name = std::move(found).value();
  }
  return type_error("'" + name + "' object cannot be converted to 'PyString'");
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const std::size_t count = sig.params.size();
  const std::string name = std::string(sig.name) + "()";
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    std::size_t required = 0;
    for (const Param& p : sig.params) required += p.required ? 1 : 0;
    std::string takes = required == count
                            ? std::to_string(count)
                            : "from " + std::to_string(required) + " to " + std::to_string(count);
    return type_error(name + " takes " + takes + " positional arguments but " +
                      std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::string keyword;
      if (!PyUnicode_Check(key)) return type_error(name + " keywords must be strings");
      if (!utf8_of(key, keyword)) return false;
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (keyword == sig.params[i].name) {
          index = i;
          break;
        }
      }
      if (index == count) {
        return type_error(name + " got an unexpected keyword argument '" + keyword + "'");
      }
      if (out[index] != nullptr) {
        return type_error(name + " got multiple values for argument '" + keyword + "'");
      }
      out[index] = value;
    }
  }

  std::vector<std::string> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (sig.params[i].required && out[i] == nullptr) missing.emplace_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    return type_error(name + " missing " + std::to_string(missing.size()) + " required positional " +
                      (missing.size() == 1 ? "argument" : "arguments") + ": " +
                      quoted_list(missing));
  }
  return true;
}

bool convert_string(const char* param, PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    wrong_type(obj);
    return prefix_type_error(param);
  }
  if (!utf8_of(obj, out)) return prefix_type_error(param);
  return true;
}

bool convert_optional_string(const char* param, PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string value;
  if (!convert_string(param, obj, value)) return false;
  out = std::move(value);
  return true;
}

bool convert_path(const char* param, PyObject* obj, std::string& out) {
  PyRef fspath = PyRef::steal(PyOS_FSPath(obj));
  if (!fspath) return prefix_type_error(param);
  if (PyBytes_Check(fspath.get())) {
    wrong_type(obj, "bytes");
    return prefix_type_error(param);
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded || !bytes_of(encoded.get(), out)) return prefix_type_error(param);
  // As for the interpreter's own file functions: a NUL would cut the path.
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool convert_optional_path(const char* param, PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string value;
  if (!convert_path(param, obj, value)) return false;
  out = std::move(value);
  return true;
}

}  // namespace tesmo::py
