// A view of plain Python objects for the OpenTimelineIO reader. Plain
// documents hold only dicts with exact str keys, lists, tuples, str, int,
// float, bool and None, so each question has the answer the converted
// JsonValue would give: a dict's member is the value under an equal key, a
// tuple is an array, True is not a number, and a float that is not finite
// converts to null, which is not a number either.
#include "python/otio_view.h"

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/timeline/cut_read.h"
#include "core/timeline/otio_read.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {
namespace {

// What one reading keeps: the key objects made for lookups, the encoded
// text that older interpreters cannot lend, and whether an allocation
// failed.
struct ReadContext {
  struct Key {
    const char* data;
    std::string text;
    PyRef object;
  };
  std::vector<Key> keys;
  std::vector<PyRef> kept;
  bool failed = false;
  std::unique_ptr<PlainTextWriter> writer;  // made on first use
  TextBuffer text;

  PyObject* key_object(std::string_view key) {
    // The reader asks for a dozen literal keys, so the text's address
    // usually finds it; the contents decide for any other.
    for (const Key& k : keys) {
      if (k.data == key.data() && k.text.size() == key.size()) return k.object.get();
    }
    for (const Key& k : keys) {
      if (k.text == key) return k.object.get();
    }
    PyObject* made = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
    if (made == nullptr) {
      failed = true;
      return nullptr;
    }
    // Interned, the key is the very object of every document whose keys
    // are interned too (those written as literals in Python code), and a
    // lookup finds it by identity without comparing text.
    PyUnicode_InternInPlace(&made);
    PyRef object = PyRef::steal(made);
    keys.push_back({key.data(), std::string(key), std::move(object)});
    return keys.back().object.get();
  }
};

class PyView {
 public:
  PyView(PyObject* object, ReadContext* context) : object_(object), context_(context) {}

  // After a failed allocation every view names nothing, so that no further
  // call meets the pending exception; the reading then reports it.
  explicit operator bool() const { return object_ != nullptr && !context_->failed; }
  bool is_object() const { return *this && PyDict_Check(object_); }

  PyView find(std::string_view key) const {
    if (!is_object()) return PyView(nullptr, context_);
    PyObject* k = context_->key_object(key);
    return PyView(k ? PyDict_GetItem(object_, k) : nullptr, context_);
  }

  std::optional<std::string_view> string() const {
    if (!*this || !PyUnicode_Check(object_)) return std::nullopt;
    std::string_view text;
    PyRef keep;
    if (!utf8_view(object_, text, keep)) {
      // Checked before reading, so only an allocation can fail here.
      context_->failed = true;
      return std::nullopt;
    }
    if (keep) context_->kept.push_back(std::move(keep));
    return text;
  }
  std::string take_string() const {
    std::optional<std::string_view> text = string();
    return text ? std::string(*text) : std::string();
  }

  std::optional<double> number() const {
    if (!*this || Py_TYPE(object_) == &PyBool_Type) return std::nullopt;
    if (PyLong_Check(object_)) {
      // Checked to fit in 64 bits, signed or not.
      const unsigned long long u = PyLong_AsUnsignedLongLong(object_);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return static_cast<double>(u);
      PyErr_Clear();
      return static_cast<double>(PyLong_AsLongLong(object_));
    }
    if (PyFloat_Check(object_)) {
      const double d = PyFloat_AsDouble(object_);
      if (!std::isfinite(d)) return std::nullopt;
      return d;
    }
    return std::nullopt;
  }

  std::optional<std::size_t> array_size() const {
    if (!*this) return std::nullopt;
    if (PyList_Check(object_)) return static_cast<std::size_t>(PyList_Size(object_));
    if (PyTuple_Check(object_)) return static_cast<std::size_t>(PyTuple_Size(object_));
    return std::nullopt;
  }
  PyView item(std::size_t i) const {
    const auto index = static_cast<Py_ssize_t>(i);
    return PyView(PyList_Check(object_) ? PyList_GetItem(object_, index) : PyTuple_GetItem(object_, index),
                  context_);
  }

  std::optional<bool> boolean() const {
    if (!*this || Py_TYPE(object_) != &PyBool_Type) return std::nullopt;
    return object_ == Py_True;
  }

  // Plain documents always have canonical text; a failure here is an
  // allocation's.
  std::string canonical() const {
    if (!*this) return std::string();
    if (!context_->writer) context_->writer = std::make_unique<PlainTextWriter>();
    TextBuffer& text = context_->text;
    text.resize(0);
    if (!context_->writer->write(object_, text)) {
      if (PyErr_Occurred()) context_->failed = true;
      return std::string();
    }
    return std::string(text.view());
  }

 private:
  PyObject* object_;  // borrowed: the caller holds the document
  ReadContext* context_;
};

}  // namespace

Result<TimelineModel> read_plain_timeline(PyObject* document) {
  ReadContext context;
  Result<TimelineModel> model = otio_read::read_timeline(PyView(document, &context));
  if (context.failed) return Error::pending();
  return model;
}

Result<Cut> read_plain_cut(PyObject* document) {
  ReadContext context;
  Result<Cut> cut = cut_read::read(PyView(document, &context));
  if (context.failed) return Error::pending();
  return cut;
}

}  // namespace tesmo::py
