// The tesmo.Repo class: opening repositories, and describing one.
#include <optional>
#include <string>
#include <vector>

#include "core/store/object.h"
#include "core/value/quote.h"
#include "core/value/utf8.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/once.h"
#include "python/pyref.h"
#include "python/text.h"
#include "python/types.h"

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
// History and branches

// A new 2-tuple taking both references, or nullptr when either is missing.
PyObject* pair_of(PyRef first, PyRef second) {
  if (!first || !second) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SetItem(pair, 0, first.release());
  PyTuple_SetItem(pair, 1, second.release());
  return pair;
}

Result<PyRef> commit_dict(const Commit& record) { return to_python(commit_to_json(record)); }

// Matches a method taking one string parameter and converts it.
bool one_string(const char* method, const Param (&params)[1], PyObject* args, PyObject* kwargs,
                std::string& out) {
  PyObject* argv[1];
  if (!match_arguments({method, params}, args, kwargs, argv)) return false;
  return convert_string(params[0].name, argv[0], out);
}

constexpr Param kCommitParams[] = {
    {"timeline", true}, {"message", true}, {"author_name", false}, {"author_email", false}};
constexpr Param kRefstrParams[] = {{"refstr", true}};
constexpr Param kLogParams[] = {{"refstr", false}};
constexpr Param kNameParams[] = {{"name", true}};
constexpr Param kCreateBranchParams[] = {{"name", true}, {"at", false}};

PyObject* repo_commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    if (!match_arguments({"Repo.commit", kCommitParams}, args, kwargs, argv)) return nullptr;
    std::string message;
    std::optional<std::string> author_name, author_email;
    if (!convert_string("message", argv[1], message) ||
        !convert_optional_string("author_name", argv[2], author_name) ||
        !convert_optional_string("author_email", argv[3], author_email)) {
      return nullptr;
    }
    Result<TextBuffer> timeline = to_canonical_text(argv[0]);
    if (!timeline) return raise_error(timeline.error());
    Result<std::string> id = commit_timeline(repo_of(self), timeline->view(), std::move(author_name),
                                             std::move(author_email), std::move(message));
    if (!id) return raise_error(id.error());
    return new_str(*id);
  });
}

constexpr Param kDiffRefsParams[] = {{"before_ref", true}, {"after_ref", true}};

PyObject* repo_diff_refs(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"Repo.diff_refs", kDiffRefsParams}, args, kwargs, argv)) return nullptr;
    std::string before, after;
    if (!convert_string("before_ref", argv[0], before) ||
        !convert_string("after_ref", argv[1], after)) {
      return nullptr;
    }
    Result<std::vector<ChangeRecord>> changes = diff_refs(repo_of(self), before, after);
    if (!changes) return raise_error(changes.error());
    return change_list(std::move(changes).value());
  });
}

PyObject* repo_read_timeline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string ref;
    if (!one_string("Repo.read_timeline", kRefstrParams, args, kwargs, ref)) return nullptr;
    // The stored text becomes Python objects directly, without a JSON value
    // in between.
    Result<TimelineText> stored = read_timeline_text(repo_of(self), ref);
    if (!stored) return raise_error(stored.error());
    Result<PyRef> timeline = python_from_json(stored->text.view());
    if (timeline) return std::move(timeline).value().release();
    if (timeline.error().kind() == ErrorKind::kPending) return raise_error(timeline.error());
    return raise_error(object_parse_error(timeline.error(), stored->id));
  });
}

PyObject* repo_read_commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string ref;
    if (!one_string("Repo.read_commit", kRefstrParams, args, kwargs, ref)) return nullptr;
    Result<Commit> record = read_commit(repo_of(self), ref);
    if (!record) return raise_error(record.error());
    Result<PyRef> dict = commit_dict(*record);
    if (!dict) return raise_error(dict.error());
    return std::move(dict).value().release();
  });
}

PyObject* repo_resolve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string ref;
    if (!one_string("Repo.resolve", kRefstrParams, args, kwargs, ref)) return nullptr;
    Result<std::string> id = resolve(repo_of(self), ref);
    if (!id) return raise_error(id.error());
    return new_str(*id);
  });
}

PyObject* repo_log(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!match_arguments({"Repo.log", kLogParams}, args, kwargs, argv)) return nullptr;
    std::optional<std::string> start;
    if (!convert_optional_string("refstr", argv[0], start)) return nullptr;
    Result<std::vector<LogEntry>> entries =
        log(repo_of(self), start ? std::optional<std::string_view>(*start) : std::nullopt);
    if (!entries) return raise_error(entries.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(entries->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries->size(); ++i) {
      const LogEntry& entry = (*entries)[i];
      // Each part is checked before the next is made: no C-API call runs
      // with an exception pending.
      PyRef id = PyRef::steal(new_str(entry.id));
      if (!id) return nullptr;
      Result<PyRef> record = commit_dict(entry.commit);
      if (!record) return raise_error(record.error());
      PyObject* pair = pair_of(std::move(id), std::move(record).value());
      if (pair == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* repo_create_branch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"Repo.create_branch", kCreateBranchParams}, args, kwargs, argv)) {
      return nullptr;
    }
    std::string name, at = "HEAD";
    if (!convert_string("name", argv[0], name)) return nullptr;
    // `at` defaults to "HEAD" when omitted; an explicit None is refused.
    if (argv[1] != nullptr && !convert_string("at", argv[1], at)) return nullptr;
    Result<std::string> id = create_branch(repo_of(self), name, at);
    if (!id) return raise_error(id.error());
    return new_str(*id);
  });
}

PyObject* repo_delete_branch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!one_string("Repo.delete_branch", kNameParams, args, kwargs, name)) return nullptr;
    if (Status s = delete_branch(repo_of(self), name); !s) return raise_error(s.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* repo_list_branches(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto branches = list_branches(repo_of(self));
    if (!branches) return raise_error(branches.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(branches->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < branches->size(); ++i) {
      const auto& [name, id] = (*branches)[i];
      PyRef name_text = PyRef::steal(new_str(name));
      if (!name_text) return nullptr;
      PyObject* pair = pair_of(std::move(name_text), PyRef::steal(new_str(id)));
      if (pair == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* repo_current_branch(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<std::optional<std::string>> name = current_branch(repo_of(self));
    if (!name) return raise_error(name.error());
    if (!*name) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    return new_str(**name);
  });
}

PyObject* repo_switch_branch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!one_string("Repo.switch_branch", kNameParams, args, kwargs, name)) return nullptr;
    if (Status s = switch_branch(repo_of(self), name); !s) return raise_error(s.error());
    Py_INCREF(Py_None);
    return Py_None;
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
    return new_str("Repo(root=" + debug_quote(repo_of(self).root) + ")");
  });
}

// ---------------------------------------------------------------------------
// The class

PyMethodDef repo_methods[] = {
    {"init", with_keywords(repo_init),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "init(workdir)\n--\n\n"
     "Create a new repo at <workdir>/.tesmo/. Errors if it already exists."},
    {"discover", with_keywords(repo_discover),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "discover(start=None)\n--\n\n"
     "Open a repo by walking up from <start> looking for .tesmo/."},
    {"open", with_keywords(repo_open),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(workdir)\n--\n\n"
     "Open a repo whose .tesmo/ lives at exactly <path>/.tesmo. Convenience\n"
     "wrapper over discover() when the caller knows the workdir."},
    {"commit", with_keywords(repo_commit),
     METH_VARARGS | METH_KEYWORDS,
     "commit($self, timeline, message, author_name=None, author_email=None)\n--\n\n"
     "Snapshot a timeline (Python dict) and create a commit on the\n"
     "current branch. Returns the new commit's hash."},
    {"diff_refs", with_keywords(repo_diff_refs), METH_VARARGS | METH_KEYWORDS,
     "diff_refs($self, before_ref, after_ref)\n--\n\n"
     "Diff between two refs in this repo (branch name, commit hash, HEAD).\n"
     "Returns a list of Change objects."},
    {"read_timeline", with_keywords(repo_read_timeline),
     METH_VARARGS | METH_KEYWORDS,
     "read_timeline($self, refstr)\n--\n\n"
     "Read the timeline at a given ref as a Python dict."},
    {"read_commit", with_keywords(repo_read_commit),
     METH_VARARGS | METH_KEYWORDS,
     "read_commit($self, refstr)\n--\n\n"
     "Read the commit at <ref> as a Commit dict."},
    {"resolve", with_keywords(repo_resolve),
     METH_VARARGS | METH_KEYWORDS,
     "resolve($self, refstr)\n--\n\n"
     "Resolve a ref string (HEAD, branch, short hash, full hash) to a\n"
     "full hash."},
    {"log", with_keywords(repo_log),
     METH_VARARGS | METH_KEYWORDS,
     "log($self, refstr=None)\n--\n\n"
     "Walk commits from <ref> (default HEAD) newest-first.\n"
     "Each entry is a (hash, commit_dict) tuple."},
    {"create_branch", with_keywords(repo_create_branch),
     METH_VARARGS | METH_KEYWORDS,
     "create_branch($self, name, at=\"HEAD\")\n--\n\n"
     "Create a branch at <start_ref> (default HEAD). Returns the commit\n"
     "hash the branch was created at."},
    {"delete_branch", with_keywords(repo_delete_branch),
     METH_VARARGS | METH_KEYWORDS,
     "delete_branch($self, name)\n--\n\n"
     "Delete a branch. Refuses to delete the current branch."},
    {"list_branches", repo_list_branches, METH_NOARGS,
     "list_branches($self)\n--\n\n"
     "List branches as (name, hash) tuples, sorted alphabetically."},
    {"current_branch", repo_current_branch, METH_NOARGS,
     "current_branch($self)\n--\n\n"
     "Return the current branch name, or None if HEAD is detached."},
    {"switch_branch", with_keywords(repo_switch_branch),
     METH_VARARGS | METH_KEYWORDS,
     "switch_branch($self, name)\n--\n\n"
     "Switch HEAD to an existing branch."},
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
