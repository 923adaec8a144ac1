// The tesmo.Change class and the module function diff: the semantic diff as
// seen from Python. Every comparison runs to the end before the first
// Change is made.
#include <string>
#include <vector>

#include "args.h"
#include "convert.h"
#include "diff.h"
#include "errors.h"
#include "instance.h"
#include "once.h"
#include "otio.h"
#include "pyref.h"
#include "text.h"
#include "types.h"

namespace tesmo::py {

namespace {

OnceSlot g_change_type;

const ChangeRecord& record_of(PyObject* self) { return instance_value<ChangeRecord>(self); }

PyObject* change_get_op(PyObject* self, void*) {
  return guarded([&] { return new_str(op_name(record_of(self).kind())); });
}

PyObject* change_to_dict(PyObject* self, PyObject*) {
  return guarded([&] { return to_python(change_to_json(record_of(self))); });
}

PyObject* change_repr(PyObject* self) {
  return guarded([&] {
    return new_str("Change(op=\"" + std::string(op_name(record_of(self).kind())) + "\")");
  });
}

PyMethodDef change_methods[] = {
    {"to_dict", change_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Full structured payload as a Python dict. Same shape the CLI emits\n"
     "with --json. This is the most flexible accessor; per-field\n"
     "properties exist for ergonomics on common cases."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef change_getset[] = {
    {"op", change_get_op, nullptr,
     "The change's discriminator: \"trimmed\", \"moved\", \"added\", \"removed\",\n"
     "\"replaced\", \"effects_changed\", \"transition_added\",\n"
     "\"transition_removed\", \"track_added\", \"track_removed\".",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot change_slots[] = {
    {Py_tp_doc, const_cast<char*>("One semantic change between two timelines.")},
    {Py_tp_new, reinterpret_cast<void*>(forbidden_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ChangeRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(change_repr)},
    {Py_tp_methods, change_methods},
    {Py_tp_getset, change_getset},
    {0, nullptr},
};

PyType_Spec change_spec = {
    "tesmo.Change",
    static_cast<int>(sizeof(Instance<ChangeRecord>)),
    0,
    Py_TPFLAGS_DEFAULT,
    change_slots,
};

// ---------------------------------------------------------------------------
// diff

constexpr Param kDiffParams[] = {{"before", true}, {"after", true}};

PyObject* module_diff(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"diff", kDiffParams}, args, kwargs, argv)) return nullptr;
    Result<JsonValue> before = to_json_value(argv[0]);
    if (!before) return raise_error(before.error());
    Result<JsonValue> after = to_json_value(argv[1]);
    if (!after) return raise_error(after.error());
    Result<TimelineModel> before_model = read_otio_timeline(std::move(before).value());
    if (!before_model) return raise_error(before_model.error());
    Result<TimelineModel> after_model = read_otio_timeline(std::move(after).value());
    if (!after_model) return raise_error(after_model.error());
    return change_list(diff_timelines(*before_model, *after_model));
  });
}

PyMethodDef diff_def = {
    "diff", with_keywords(module_diff), METH_VARARGS | METH_KEYWORDS,
    "diff(before, after)\n--\n\n"
    "Compute the diff between two OTIO timelines passed as Python dicts.\n"
    "Returns a list of Change objects. No repo required."};

}  // namespace

PyObject* change_type() {
  return g_change_type.get([] { return PyType_FromSpec(&change_spec); });
}

PyObject* change_list(std::vector<ChangeRecord> records) {
  PyObject* type = change_type();
  if (type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* change = new_instance<ChangeRecord>(type, std::move(records[i]));
    if (change == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), change);
  }
  return list.release();
}

PyObject* new_diff_function() {
  PyRef module_name = PyRef::steal(PyUnicode_FromString("tesmo"));
  if (!module_name) return nullptr;
  return PyCMethod_New(&diff_def, nullptr, module_name.get(), nullptr);
}

}  // namespace tesmo::py
