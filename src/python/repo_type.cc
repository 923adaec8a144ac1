// The tesmo.Repo class: opening repositories, and describing one.
#include <optional>
#include <string>

#include "args.h"
#include "errors.h"
#include "instance.h"
#include "once.h"
#include "pyref.h"
#include "quote.h"
#include "types.h"
#include "utf8.h"

namespace tesmo::py {

namespace {

OnceSlot g_repo_type;
OnceSlot g_path_class;

const Repo& repo_of(PyObject* self) { return instance_value<Repo>(self); }

// Wraps a core result into a new Repo, or raises its error.
PyObject* wrap(Result<Repo> result) {
  if (!result) return raise_error(result.error());
  return new_repo(std::move(result).value());
}

// ---------------------------------------------------------------------------
// Opening

constexpr Param kWorkdirParams[] = {{"workdir", true}};
constexpr Param kDiscoverParams[] = {{"start", false}};

PyObject* repo_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!match_arguments({"Repo.init", kWorkdirParams}, args, kwargs, argv)) return nullptr;
    std::string workdir;
    if (!convert_path("workdir", argv[0], workdir)) return nullptr;
    return wrap(init(workdir));
  });
}

PyObject* repo_discover(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!match_arguments({"Repo.discover", kDiscoverParams}, args, kwargs, argv)) return nullptr;
    std::optional<std::string> start;
    if (!convert_optional_path("start", argv[0], start)) return nullptr;
    return wrap(start ? discover(*start) : discover());
  });
}

PyObject* repo_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!match_arguments({"Repo.open", kWorkdirParams}, args, kwargs, argv)) return nullptr;
    std::string workdir;
    if (!convert_path("workdir", argv[0], workdir)) return nullptr;
    return wrap(open(workdir));
  });
}

// ---------------------------------------------------------------------------
// Description

PyObject* path_class() {
  return g_path_class.get([]() -> PyObject* {
    PyRef pathlib = PyRef::steal(PyImport_ImportModule("pathlib"));
    if (!pathlib) return nullptr;
    return PyObject_GetAttrString(pathlib.get(), "Path");
  });
}

PyObject* repo_get_root(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    PyObject* path_type = path_class();
    if (path_type == nullptr) return nullptr;
    const std::string& root = repo_of(self).root;
    const auto size = static_cast<Py_ssize_t>(root.size());
    // Valid UTF-8 is taken as is; anything else decodes the way the
    // interpreter decodes file names, keeping undecodable bytes as
    // surrogate escapes so the Path still names the same file.
    PyRef text = PyRef::steal(is_valid_utf8(root)
                                  ? PyUnicode_DecodeUTF8(root.data(), size, nullptr)
                                  : PyUnicode_DecodeFSDefaultAndSize(root.data(), size));
    if (!text) return nullptr;
    return PyObject_CallFunctionObjArgs(path_type, text.get(), nullptr);
  });
}

PyObject* repo_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const std::string text = "Repo(root=" + debug_quote(repo_of(self).root) + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  });
}

// ---------------------------------------------------------------------------
// The class

PyMethodDef repo_methods[] = {
    {"init", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repo_init)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "init(workdir)\n--\n\n"
     "Create a new repo at <workdir>/.tesmo/. Errors if it already exists."},
    {"discover", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repo_discover)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "discover(start=None)\n--\n\n"
     "Open a repo by walking up from <start> looking for .tesmo/."},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repo_open)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(workdir)\n--\n\n"
     "Open a repo whose .tesmo/ lives at exactly <path>/.tesmo. Convenience\n"
     "wrapper over discover() when the caller knows the workdir."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef repo_getset[] = {
    {"root", repo_get_root, nullptr, "Filesystem path to the .tesmo/ directory.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot repo_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(forbidden_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Repo>)},
    {Py_tp_repr, reinterpret_cast<void*>(repo_repr)},
    {Py_tp_methods, repo_methods},
    {Py_tp_getset, repo_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or
// weakref offset: instances carry nothing but the handle.
PyType_Spec repo_spec = {
    "tesmo.Repo",
    static_cast<int>(sizeof(Instance<Repo>)),
    0,
    Py_TPFLAGS_DEFAULT,
    repo_slots,
};

}  // namespace

PyObject* repo_type() {
  return g_repo_type.get([] { return PyType_FromSpec(&repo_spec); });
}

PyObject* new_repo(Repo repo) {
  PyObject* type = repo_type();
  if (type == nullptr) return nullptr;
  return new_instance<Repo>(type, std::move(repo));
}

}  // namespace tesmo::py
