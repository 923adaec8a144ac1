// tesmo_cli._engine: the comparison engine for the command line and its
// views, and the history operations of its merge. It sits beside the tesmo module, which it leaves exactly as it is,
// and raises the tesmo module's TesmoError.
#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/store/lock.h"
#include "core/store/object.h"
#include "core/store/repo.h"
#include "core/store/verify.h"
#include "core/timeline/compare.h"
#include "core/timeline/cut.h"
#include "core/timeline/merge.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/lock_pause.h"
#include "python/otio_view.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {
namespace {

// Reads a document as tesmo.diff does: plain documents straight from the
// objects, anything else converted first, the first failure ending the
// call.
Result<Cut> read_document(PyObject* document) {
  Result<Cut> cut = Error("");
  if (plain_converts(document)) {
    cut = read_plain_cut(document);
  } else {
    Result<JsonValue> value = to_json_value(document);
    if (!value) return value.error();
    cut = read_cut(*value);
  }
  if (!cut && cut.error().kind() == ErrorKind::kPending) return fetch_python_error();
  return cut;
}

// The records as a new list of dicts.
PyObject* records(const Cut& before, const Cut& after) {
  const Comparison comparison = compare_cuts(before, after);
  JsonArray list;
  list.reserve(comparison.edits.size());
  for (const Edit& edit : comparison.edits) list.push_back(edit_json(before, after, edit));
  Result<PyRef> made = to_python(JsonValue(std::move(list)));
  if (!made) return raise_error(made.error());
  return made.value().release();
}

constexpr Param kCompareParams[] = {{"before", true}, {"after", true}};

PyObject* engine_compare(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"compare", kCompareParams}, args, kwargs, argv)) return nullptr;
    // The first document is read before the second is converted, whose
    // conversion may run code of the caller's.
    Result<Cut> before = read_document(argv[0]);
    if (!before) return raise_error(before.error());
    Result<Cut> after = read_document(argv[1]);
    if (!after) return raise_error(after.error());
    return records(*before, *after);
  });
}

constexpr Param kTimelinesParams[] = {{"root", true}, {"timeline_ids", true}, {"from_empty", false}};

// The same tracks with nothing on them: what the first version of a history
// is compared with, so that its clips read as added.
Cut emptied(const Cut& cut) {
  Cut empty;
  for (const CutTrack& track : cut.tracks) {
    CutTrack bare;
    bare.name = track.name;
    bare.kind = track.kind;
    bare.label = track.label;
    empty.tracks.push_back(std::move(bare));
  }
  return empty;
}

PyObject* engine_compare_timelines(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[3];
    if (!match_arguments({"compare_timelines", kTimelinesParams}, args, kwargs, argv)) return nullptr;
    int from_empty = 0;
    if (argv[2] != nullptr && (from_empty = PyObject_IsTrue(argv[2])) < 0) return nullptr;
    std::string root;
    if (!convert_path("root", argv[0], root)) return nullptr;
    PyRef sequence = PyRef::steal(PySequence_List(argv[1]));
    if (!sequence) return nullptr;
    std::vector<std::string> ids;
    const Py_ssize_t count = PyList_Size(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      std::string id;
      if (!convert_string("timeline_ids", PyList_GetItem(sequence.get(), i), id)) return nullptr;
      ids.push_back(std::move(id));
    }
    // The repository's own directory, as Repo.root names it: no search.
    const std::string objects = objects_dir(Repo{root});

    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    // Each timeline is read once and compared with the one after it.
    StoredCutReader reader(objects);
    std::optional<Cut> previous;
    std::string previous_id;
    for (const std::string& id : ids) {
      Cut cut;
      if (previous && id == previous_id) {
        cut = *previous;
      } else {
        Result<Cut> read = reader.read(id);
        if (!read) return raise_error(Error("timeline " + id + ": " + read.error().message()));
        cut = std::move(read).value();
      }
      if (!previous && from_empty) {
        PyRef list = PyRef::steal(records(emptied(cut), cut));
        if (!list || PyList_Append(out.get(), list.get()) != 0) return nullptr;
      }
      if (previous) {
        PyRef list = PyRef::steal(previous_id == id ? PyList_New(0) : records(*previous, cut));
        if (!list || PyList_Append(out.get(), list.get()) != 0) return nullptr;
      }
      previous = std::move(cut);
      previous_id = id;
    }
    return out.release();
  });
}

constexpr Param kMergeParams[] = {{"base", true}, {"ours", true}, {"theirs", true}, {"favor", false}};

// A document as a value: plain documents straight from the objects.
Result<JsonValue> document_value(PyObject* document) {
  Result<JsonValue> value = to_json_value(document);
  if (!value && value.error().kind() == ErrorKind::kPending) return fetch_python_error();
  return value;
}

PyObject* engine_merge(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    if (!match_arguments({"merge", kMergeParams}, args, kwargs, argv)) return nullptr;
    std::optional<std::string> favor_text;
    if (!convert_optional_string("favor", argv[3], favor_text)) return nullptr;
    MergeFavor favor = MergeFavor::Ours;
    if (favor_text && *favor_text == "theirs") {
      favor = MergeFavor::Theirs;
    } else if (favor_text && *favor_text != "ours") {
      PyErr_SetString(PyExc_ValueError, "favor must be \"ours\", \"theirs\" or None");
      return nullptr;
    }
    JsonValue documents[3];
    for (int i = 0; i < 3; ++i) {
      Result<JsonValue> value = document_value(argv[i]);
      if (!value) return raise_error(value.error());
      documents[i] = std::move(value).value();
    }
    Result<MergeResult> merged = merge_timelines(documents[0], documents[1], documents[2], favor);
    if (!merged) return raise_error(merged.error());
    JsonArray conflicts, warnings;
    for (const MergeConflict& c : merged->conflicts) conflicts.push_back(conflict_json(c));
    for (const MergeWarning& w : merged->warnings) warnings.push_back(warning_json(w));
    JsonObject out;
    out.insert("conflicts", JsonValue(std::move(conflicts)));
    out.insert("timeline", std::move(merged->timeline));
    out.insert("warnings", JsonValue(std::move(warnings)));
    Result<PyRef> made = to_python(JsonValue(std::move(out)));
    if (!made) return raise_error(made.error());
    return made.value().release();
  });
}

// ---------------------------------------------------------------------------
// History with merges: the store's operations the command's merge needs,
// on the repository whose .tesmo directory is `root` (Repo.root), no search.

// The strings of a sequence argument.
bool convert_strings(const char* param, PyObject* obj, std::vector<std::string>& out) {
  PyRef list = PyRef::steal(PySequence_List(obj));
  if (!list) return false;
  const Py_ssize_t count = PyList_Size(list.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string item;
    if (!convert_string(param, PyList_GetItem(list.get(), i), item)) return false;
    out.push_back(std::move(item));
  }
  return true;
}

constexpr Param kCommitMergeParams[] = {{"root", true},        {"timeline", true},
                                        {"message", true},     {"parents", true},
                                        {"author_name", false}, {"author_email", false}};

PyObject* engine_commit_merge(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[6];
    if (!match_arguments({"commit_merge", kCommitMergeParams}, args, kwargs, argv)) return nullptr;
    std::string root, message;
    std::vector<std::string> parents;
    std::optional<std::string> author_name, author_email;
    if (!convert_path("root", argv[0], root) || !convert_string("message", argv[2], message) ||
        !convert_strings("parents", argv[3], parents) ||
        !convert_optional_string("author_name", argv[4], author_name) ||
        !convert_optional_string("author_email", argv[5], author_email)) {
      return nullptr;
    }
    // Stored exactly as Repo.commit stores a timeline: its canonical text.
    Result<TextBuffer> timeline = to_canonical_text(argv[1]);
    if (!timeline) return raise_error(timeline.error());
    const Repo repo{root};
    Result<std::string> timeline_id = write_object_text(objects_dir(repo), timeline->view());
    if (!timeline_id) return raise_error(timeline_id.error());
    Author author{author_name ? std::move(*author_name) : std::string(kDefaultAuthorName),
                  author_email ? std::move(*author_email) : std::string(kDefaultAuthorEmail)};
    Result<std::string> id =
        commit_merge(repo, *timeline_id, std::move(author), std::move(message), parents);
    if (!id) return raise_error(id.error());
    return new_str(*id);
  });
}

constexpr Param kPairParams[] = {{"root", true}, {"a", true}, {"b", true}};

// Matches (root, a, b) and converts them.
bool root_and_pair(const char* function, PyObject* args, PyObject* kwargs, std::string& root,
                   std::string& a, std::string& b) {
  PyObject* argv[3];
  if (!match_arguments({function, kPairParams}, args, kwargs, argv)) return false;
  return convert_path("root", argv[0], root) && convert_string("a", argv[1], a) &&
         convert_string("b", argv[2], b);
}

PyObject* engine_merge_base(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string root, a, b;
    if (!root_and_pair("merge_base", args, kwargs, root, a, b)) return nullptr;
    Result<std::optional<std::string>> found = merge_base(Repo{root}, a, b);
    if (!found) return raise_error(found.error());
    if (!*found) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    return new_str(**found);
  });
}

PyObject* engine_is_ancestor(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string root, a, b;
    if (!root_and_pair("is_ancestor", args, kwargs, root, a, b)) return nullptr;
    Result<bool> found = is_ancestor(Repo{root}, a, b);
    if (!found) return raise_error(found.error());
    return PyBool_FromLong(*found ? 1 : 0);
  });
}

constexpr Param kFastForwardParams[] = {
    {"root", true}, {"branch", true}, {"old_id", true}, {"new_id", true}};

PyObject* engine_fast_forward(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    if (!match_arguments({"fast_forward", kFastForwardParams}, args, kwargs, argv)) return nullptr;
    std::string root, branch, old_id, new_id;
    if (!convert_path("root", argv[0], root) || !convert_string("branch", argv[1], branch) ||
        !convert_string("old_id", argv[2], old_id) || !convert_string("new_id", argv[3], new_id)) {
      return nullptr;
    }
    if (Status s = fast_forward(Repo{root}, branch, old_id, new_id); !s) return raise_error(s.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

// ---------------------------------------------------------------------------
// Exchange with other repositories: stored text out as it is, and text from
// elsewhere in only once verified.

// A bytes argument as its contents. Only bytes: text from elsewhere is never
// re-encoded on its way in.
bool convert_bytes(const char* param, PyObject* obj, std::string_view& out) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes", param);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* commit_dict(const Commit& commit) {
  Result<PyRef> made = to_python(commit_to_json(commit));
  if (!made) return raise_error(made.error());
  return made.value().release();
}

constexpr Param kObjectTextParams[] = {{"root", true}, {"id", true}};

PyObject* engine_object_text(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"object_text", kObjectTextParams}, args, kwargs, argv)) return nullptr;
    std::string root, id;
    if (!convert_path("root", argv[0], root) || !convert_string("id", argv[1], id)) return nullptr;
    Result<TextBuffer> text = read_object_text(objects_dir(Repo{root}), id);
    if (!text) return raise_error(text.error());
    const std::string_view view = text->view();
    return PyBytes_FromStringAndSize(view.data(), static_cast<Py_ssize_t>(view.size()));
  });
}

constexpr Param kVerifyParams[] = {{"text", true}, {"id", true}};

// Reads (text, id) for the verifiers.
bool text_and_id(const char* function, PyObject* args, PyObject* kwargs, std::string_view& text,
                 std::string& id) {
  PyObject* argv[2];
  if (!match_arguments({function, kVerifyParams}, args, kwargs, argv)) return false;
  return convert_bytes("text", argv[0], text) && convert_string("id", argv[1], id);
}

PyObject* engine_verify_timeline(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string_view text;
    std::string id;
    if (!text_and_id("verify_timeline", args, kwargs, text, id)) return nullptr;
    if (Status s = verify_object_text(text, id); !s) return raise_error(s.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* engine_verify_commit(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string_view text;
    std::string id;
    if (!text_and_id("verify_commit", args, kwargs, text, id)) return nullptr;
    Result<Commit> commit = verify_commit_text(text, id);
    if (!commit) return raise_error(commit.error());
    return commit_dict(*commit);
  });
}

constexpr Param kStoreParams[] = {{"root", true}, {"text", true}, {"id", true}, {"kind", true}};

PyObject* engine_store_verified(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    if (!match_arguments({"store_verified", kStoreParams}, args, kwargs, argv)) return nullptr;
    std::string root, id, kind;
    std::string_view text;
    if (!convert_path("root", argv[0], root) || !convert_bytes("text", argv[1], text) ||
        !convert_string("id", argv[2], id) || !convert_string("kind", argv[3], kind)) {
      return nullptr;
    }
    if (kind != "timeline" && kind != "commit") {
      PyErr_SetString(PyExc_ValueError, "kind must be \"timeline\" or \"commit\"");
      return nullptr;
    }
    // Checked again here, whatever the caller checked before: nothing
    // reaches the store through this call unverified.
    if (kind == "commit") {
      Result<Commit> commit = verify_commit_text(text, id);
      if (!commit) return raise_error(commit.error());
    } else if (Status s = verify_object_text(text, id); !s) {
      return raise_error(s.error());
    }
    Result<std::string> stored = write_object_text(objects_dir(Repo{root}), text);
    if (!stored) return raise_error(stored.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

constexpr Param kBranchNameParams[] = {{"name", true}};

PyObject* engine_check_branch_name(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!match_arguments({"check_branch_name", kBranchNameParams}, args, kwargs, argv)) return nullptr;
    std::string name;
    if (!convert_string("name", argv[0], name)) return nullptr;
    if (Status s = check_branch_name(name); !s) return raise_error(s.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyMethodDef methods[] = {
    {"compare", with_keywords(engine_compare), METH_VARARGS | METH_KEYWORDS,
     "compare(before, after)\n--\n\n"
     "The change records that turn one OTIO timeline into another, as a list of dicts."},
    {"compare_timelines", with_keywords(engine_compare_timelines), METH_VARARGS | METH_KEYWORDS,
     "compare_timelines(root, timeline_ids, from_empty=False)\n--\n\n"
     "Compares stored timelines of the repository whose .tesmo directory is root\n"
     "(Repo.root), each with the next:\n"
     "a list of len(timeline_ids) - 1 record lists. With from_empty, the first\n"
     "is compared first with its own tracks emptied, and the list has one more.\n"
     "Each timeline is read once."},
    {"merge", with_keywords(engine_merge), METH_VARARGS | METH_KEYWORDS,
     "merge(base, ours, theirs, favor=None)\n--\n\n"
     "The three-way merge of OTIO timelines: a dict of \"timeline\", \"conflicts\"\n"
     "and \"warnings\". At each conflict the timeline holds the favored side\n"
     "(\"ours\", the default, or \"theirs\"); \"merged_track\" and \"merged_index\"\n"
     "say where (None where the result does not hold the clip)."},
    {"commit_merge", with_keywords(engine_commit_merge), METH_VARARGS | METH_KEYWORDS,
     "commit_merge(root, timeline, message, parents, author_name=None, author_email=None)\n--\n\n"
     "Stores the timeline (a dict) as Repo.commit does and records a commit of it\n"
     "on the current branch with exactly these parents (two or more). The first\n"
     "must be the branch's commit when the repository lock is taken, or nothing\n"
     "is recorded. Returns the commit's id."},
    {"merge_base", with_keywords(engine_merge_base), METH_VARARGS | METH_KEYWORDS,
     "merge_base(root, a, b)\n--\n\n"
     "The nearest common ancestor of the commits two refs name, walking every\n"
     "parent; None when their histories are unrelated."},
    {"is_ancestor", with_keywords(engine_is_ancestor), METH_VARARGS | METH_KEYWORDS,
     "is_ancestor(root, a, b)\n--\n\n"
     "Whether the commit a names is in the history of the one b names (itself included)."},
    {"fast_forward", with_keywords(engine_fast_forward), METH_VARARGS | METH_KEYWORDS,
     "fast_forward(root, branch, old_id, new_id)\n--\n\n"
     "Moves the branch from old_id to new_id, a commit whose history holds old_id,\n"
     "under the repository lock; refused when the branch is no longer at old_id."},
    {"object_text", with_keywords(engine_object_text), METH_VARARGS | METH_KEYWORDS,
     "object_text(root, id)\n--\n\n"
     "The canonical text stored under the object id, as bytes."},
    {"verify_timeline", with_keywords(engine_verify_timeline), METH_VARARGS | METH_KEYWORDS,
     "verify_timeline(text, id)\n--\n\n"
     "Raises TesmoError unless text (bytes) is canonical JSON whose id is id."},
    {"verify_commit", with_keywords(engine_verify_commit), METH_VARARGS | METH_KEYWORDS,
     "verify_commit(text, id)\n--\n\n"
     "The commit record text (bytes) holds, as a dict, once verified as verify_timeline\n"
     "does and as a record of the stored schema, with full ids and a stored timestamp."},
    {"store_verified", with_keywords(engine_store_verified), METH_VARARGS | METH_KEYWORDS,
     "store_verified(root, text, id, kind)\n--\n\n"
     "Verifies text as a \"timeline\" or a \"commit\" named id, then stores it as an\n"
     "object of the repository whose .tesmo directory is root."},
    {"check_branch_name", with_keywords(engine_check_branch_name), METH_VARARGS | METH_KEYWORDS,
     "check_branch_name(name)\n--\n\n"
     "Raises TesmoError unless name obeys the branch-name rules."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tesmo_cli._engine", "The comparison engine of the tesmo command line.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tesmo::py

PyMODINIT_FUNC PyInit__engine() {
  // TesmoError comes from the tesmo module; importing it first makes a
  // missing or broken tesmo fail the import here rather than a later call.
  PyObject* tesmo = PyImport_ImportModule("tesmo");
  if (tesmo == nullptr) return nullptr;
  Py_DECREF(tesmo);
  PyObject* module = PyModule_Create(&tesmo::py::module_def);
  if (module != nullptr) tesmo::set_lock_pause(&tesmo::py::pause_for_lock);
  return module;
}
