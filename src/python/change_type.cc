// The tesmo.Change class and the module function diff: the semantic diff as
// seen from Python. Every comparison runs to the end before the first
// Change is made.
#include <optional>
#include <string>
#include <vector>

#include "core/timeline/diff.h"
#include "core/timeline/otio.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/instance.h"
#include "python/once.h"
#include "python/otio_view.h"
#include "python/pyref.h"
#include "python/text.h"
#include "python/types.h"

namespace tesmo::py {

namespace {

OnceSlot g_change_type;

const ChangeRecord& record_of(PyObject* self) { return instance_value<ChangeRecord>(self); }

PyObject* change_get_op(PyObject* self, void*) {
  return guarded([&] { return new_str(op_name(record_of(self).kind())); });
}

PyObject* change_to_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<PyRef> dict = to_python(change_to_json(record_of(self)));
    if (!dict) return raise_error(dict.error());
    return std::move(dict).value().release();
  });
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

// Converts both documents, then reads both, the first failure ending the
// call as TesmoError. Plain documents (the dicts json.loads gives) are read
// straight from the objects: checking that they convert and reading them
// runs none of the caller's code, so the result and every message are those
// of converting them, without building the JSON values. Any other document
// is converted, which for a plain one that does not convert gives its error
// without running any of the caller's code. If the second is not plain,
// its conversion may run code of the caller that changes the first, so the
// first is converted before that, as the order of the steps requires.
Status read_both(PyObject* before, PyObject* after, TimelineModel& before_model, TimelineModel& after_model) {
  std::optional<JsonValue> before_value, after_value;
  const auto convert = [](PyObject* document, std::optional<JsonValue>& value) -> Status {
    Result<JsonValue> converted = to_json_value(document);
    if (!converted) return converted.error();
    value = std::move(converted).value();
    return {};
  };
  if (!plain_converts(before)) {
    if (Status s = convert(before, before_value); !s) return s;
  }
  if (!plain_converts(after)) {
    if (!before_value) {
      if (Status s = convert(before, before_value); !s) return s;
    }
    if (Status s = convert(after, after_value); !s) return s;
  }
  const auto read = [](PyObject* document, std::optional<JsonValue>& value, TimelineModel& model) -> Status {
    Result<TimelineModel> read = value ? read_otio_timeline(std::move(*value)) : read_plain_timeline(document);
    if (!read) {
      // The view's only Python failure is an allocation's, reported by the
      // rule for exceptions raised while a caller's value is read.
      if (read.error().kind() == ErrorKind::kPending) return fetch_python_error();
      return read.error();
    }
    model = std::move(read).value();
    return {};
  };
  if (Status s = read(before, before_value, before_model); !s) return s;
  return read(after, after_value, after_model);
}

PyObject* module_diff(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[2];
    if (!match_arguments({"diff", kDiffParams}, args, kwargs, argv)) return nullptr;
    TimelineModel before_model, after_model;
    if (Status s = read_both(argv[0], argv[1], before_model, after_model); !s) return raise_error(s.error());
    return change_list(diff_timelines(before_model, after_model));
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
