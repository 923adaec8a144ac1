// tesmo_cli._engine: the comparison engine for the command line and its
// views. It sits beside the tesmo module, which it leaves exactly as it is,
// and raises the tesmo module's TesmoError.
#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/store/object.h"
#include "core/store/repo.h"
#include "core/timeline/compare.h"
#include "core/timeline/cut.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/otio_view.h"
#include "python/pyref.h"

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
  return PyModule_Create(&tesmo::py::module_def);
}
