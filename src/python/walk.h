// The walk over a caller's object that every conversion from Python shares:
// which types are taken and how, the questions asked of the object and their
// order, and every refusal. A Sink decides what the walk builds (a JsonValue
// in to_value.cc, canonical text in to_text.cc). Type tests are checks of
// the object's type (flags, subtype checks, identity with bool), never duck
// typing, so objects that only look like numbers or sequences fall through
// to the collections.abc tests and then to refusal.
//
// A Sink provides Slot (where one value goes), Array and Object (an open
// container), and:
//   void null(Slot); void boolean(Slot, bool); void number(Slot, JsonNumber);
//   void string(Slot, std::string_view);
//   Array begin_array(Slot, std::size_t size_hint); Slot item(Array&);
//   void end_array(Array&);
//   Object begin_object(Slot, const KeyText* const* keys, std::size_t n)
//     (every key of the mapping, in its order, before any value);
//   Slot member(Object&, std::size_t position, const KeyText&);
//   void member_done(Object&); void end_object(Object&).
// After a failure the walk calls nothing more on the open containers, and
// after an exception that passes through (see errors.h) nothing more of the
// interpreter at all: it returns Error::pending() at once.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/value/error.h"
#include "core/value/json.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {

// A member name as the sinks take it: its UTF-8 text, and the same quoted
// for canonical text with the ':' that follows it.
struct KeyText {
  std::string text;
  std::string quoted;
};

// The collections.abc classes the walk asks about.
enum class Abc { kSequence, kMapping };

// isinstance(obj, collections.abc.<which>); an exception raised by the test
// is reported as unraisable and the answer is false, except one that passes
// through, which stays pending and is the error. The error may also be that
// of importing the class.
Result<bool> is_abc_instance(PyObject* obj, Abc which);

// The __qualname__ of an object's type, or "unknown"; the error is an
// exception that passes through, raised by a metaclass's code.
Result<std::string> qualname_of_type(PyObject* obj);

// The error for an int beyond the 64-bit ranges, the interpreter's error
// pending for it cleared: out of range within 128 bits, beyond that the
// interpreter's own overflow error.
Error wide_int_error(PyObject* obj);

// The number of an int within the 64-bit ranges, unsigned where it fits.
inline Result<JsonNumber> int_number(PyObject* obj) {
  const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
  if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return JsonNumber::from_u64(u);
  PyErr_Clear();
  const long long i = PyLong_AsLongLong(obj);
  if (!(i == -1 && PyErr_Occurred())) return JsonNumber::from_i64(i);
  return wide_int_error(obj);
}

// One conversion call over a caller's object: the checks, the questions
// asked of the object and their order, and every refusal, whatever the Sink
// builds from it. It keeps the nesting depth and the UTF-8 text of dict keys
// already seen: documents repeat a few dozen key strings many thousands of
// times (json.loads even shares the str objects), so keys are encoded once
// per distinct object; the references held here keep each object, and so
// its address, alive for the whole call.
template <class Sink>
class Walker {
 public:
  using Slot = typename Sink::Slot;

  explicit Walker(Sink& sink) : sink_(sink) {}

  Status walk(PyObject* obj, Slot slot) {
    if (obj == Py_None) {
      sink_.null(slot);
      return {};
    }
    if (Py_TYPE(obj) == &PyBool_Type) {
      sink_.boolean(slot, obj == Py_True);
      return {};
    }
    if (PyLong_Check(obj)) {
      Result<JsonNumber> n = int_number(obj);
      if (!n) return n.error();
      sink_.number(slot, *n);
      return {};
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) return nested(obj, slot, &Walker::walk_sequence);
    if (PyDict_Check(obj)) return nested(obj, slot, &Walker::walk_mapping);
    if (PyUnicode_Check(obj)) {
      std::string_view text;
      PyRef keep;
      if (!utf8_view(obj, text, keep)) return fetch_python_error();
      sink_.string(slot, text);
      return {};
    }
    if (PyBytes_Check(obj)) return Error("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) {
      return Error("unexpected type: 'bytearray' object cannot be converted to 'PyBytes'");
    }
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return fetch_python_error();
      std::optional<JsonNumber> n = JsonNumber::from_double(d);
      if (n) {
        sink_.number(slot, *n);
      } else {
        sink_.null(slot);
      }
      return {};
    }
    if (PyAnySet_Check(obj)) return nested(obj, slot, &Walker::walk_set);
    Result<bool> sequence = is_abc_instance(obj, Abc::kSequence);
    if (!sequence) return sequence.error();
    if (*sequence) return nested(obj, slot, &Walker::walk_sequence);
    Result<bool> mapping = is_abc_instance(obj, Abc::kMapping);
    if (!mapping) return mapping.error();
    if (*mapping) return nested(obj, slot, &Walker::walk_mapping);
    Result<std::string> name = qualname_of_type(obj);
    if (!name) return name.error();
    return Error("unsupported type " + *name);
  }

 private:
  using Step = Status (Walker::*)(PyObject*, Slot);

  // The room made up front for the items of a sequence other than a plain
  // list or tuple is capped: its length is only what it claims, and a lie
  // must not allocate. More items still fit, growing the array as they come.
  static constexpr std::size_t kMaxClaimedRoom = 4096;

  // Containers count towards the depth limit; a container holding itself
  // ends here too instead of recursing without end.
  Status nested(PyObject* obj, Slot slot, Step step) {
    if (depth_ >= kMaxNesting) {
      return Error("value nested too deeply: containers may nest at most " +
                   std::to_string(kMaxNesting) + " levels");
    }
    ++depth_;
    Status out = (this->*step)(obj, slot);
    --depth_;
    return out;
  }

  Status walk_sequence(PyObject* obj, Slot slot) {
    const Py_ssize_t first = PySequence_Size(obj);
    if (first < 0) return fetch_python_error();
    const Py_ssize_t second = PySequence_Size(obj);
    if (second < 0) return fetch_python_error();
    if (first != second) {
      return Error("expected sequence of length " + std::to_string(first) + ", got " +
                   std::to_string(second));
    }
    const auto length = static_cast<std::size_t>(first);
    if (length > max_sequence_length()) {
      return Error("sequence of length " + std::to_string(length) + " is too long to store (at most " +
                   std::to_string(max_sequence_length()) + " items)");
    }
    const bool exact_list = Py_TYPE(obj) == &PyList_Type;
    const bool exact_tuple = Py_TYPE(obj) == &PyTuple_Type;
    // A plain list or tuple holds its items, so room for all of them is
    // real; any other sequence may claim more items than it gives.
    const std::size_t room = exact_list || exact_tuple ? length : std::min(length, kMaxClaimedRoom);
    typename Sink::Array items = sink_.begin_array(slot, room);
    for (Py_ssize_t i = 0; i < first; ++i) {
      // Borrowed items of plain lists and tuples are taken as owned for the
      // time of their conversion: a caller's container converted further in
      // may change the list under us.
      PyRef item = exact_list    ? PyRef::borrow(PyList_GetItem(obj, i))
                   : exact_tuple ? PyRef::borrow(PyTuple_GetItem(obj, i))
                                 : PyRef::steal(PySequence_GetItem(obj, i));
      if (!item) return fetch_python_error();
      if (Status s = walk(item.get(), sink_.item(items)); !s) return s;
    }
    sink_.end_array(items);
    return {};
  }

  Status walk_set(PyObject* obj, Slot slot) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return fetch_python_error();
    typename Sink::Array items = sink_.begin_array(slot, 0);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      if (Status s = walk(item.get(), sink_.item(items)); !s) return s;
    }
    if (PyErr_Occurred()) return fetch_python_error();
    sink_.end_array(items);
    return {};
  }

  // The key's text, valid for the whole call. A small table indexed by the
  // object's address answers most lookups before the map is asked.
  Result<const KeyText*> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
      Result<std::string> name = type_name_of(key);
      if (!name) return name.error();
      return Error("unexpected type: '" + *name + "' object cannot be converted to 'PyString'");
    }
    RecentKey& recent = recent_keys_[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kRecentKeys];
    if (recent.key == key) return recent.text;
    auto found = key_cache_.find(key);
    if (found == key_cache_.end()) {
      KeyText text;
      if (!utf8_of(key, text.text)) return fetch_python_error();
      append_canonical_string(text.quoted, text.text);
      text.quoted.push_back(':');
      held_keys_.push_back(PyRef::borrow(key));
      // Map nodes never move, so pointers to them stay valid as it grows.
      found = key_cache_.emplace(key, std::move(text)).first;
    }
    recent = {key, &found->second};
    return &found->second;
  }

  // Every key and value is taken, and every key checked, before any value
  // is converted: what the conversion of one value does to the mapping
  // cannot change which members it has. The first failure of a key (or of
  // fetching a member) is reported after the values before it converted, as
  // a walk member by member would; an exception that passes through ends
  // the walk at once.
  Status walk_mapping(PyObject* obj, Slot slot) {
    const std::size_t base = values_.size();
    std::optional<Error> failure;
    if (Py_TYPE(obj) == &PyDict_Type) {
      // A plain dict gives the same keys and values as its keys() and
      // values() lists, without building them.
      Py_ssize_t pos = 0;
      PyObject *key = nullptr, *value = nullptr;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        Result<const KeyText*> text = key_text(key);
        if (!text) {
          failure = text.error();
          break;
        }
        keys_.push_back(*text);
        values_.push_back(PyRef::borrow(value));
      }
    } else {
      PyRef keys = PyRef::steal(PyMapping_Keys(obj));
      if (!keys) return fetch_python_error();
      PyRef values = PyRef::steal(PyMapping_Values(obj));
      if (!values) return fetch_python_error();
      const Py_ssize_t size = PyMapping_Size(obj);
      if (size < 0) return fetch_python_error();
      for (Py_ssize_t i = 0; i < size && !failure; ++i) {
        PyRef key = PyRef::steal(PySequence_GetItem(keys.get(), i));
        PyRef value = key ? PyRef::steal(PySequence_GetItem(values.get(), i)) : PyRef();
        Result<const KeyText*> text = value ? key_text(key.get()) : fetch_python_error();
        if (!text) {
          failure = text.error();
        } else {
          keys_.push_back(*text);
          values_.push_back(std::move(value));
        }
      }
    }
    if (failure && failure->kind() == ErrorKind::kPending) {
      keys_.resize(base);
      values_.resize(base);
      return *failure;
    }
    const std::size_t n = values_.size() - base;
    typename Sink::Object object = sink_.begin_object(slot, keys_.data() + base, n);
    Status status;
    for (std::size_t i = 0; i < n && status; ++i) {
      // values_ may grow while a value converts; the object itself is held.
      PyObject* value = values_[base + i].get();
      status = walk(value, sink_.member(object, i, *keys_[base + i]));
      if (status) sink_.member_done(object);
    }
    keys_.resize(base);
    values_.resize(base);
    if (!status) return status;
    if (failure) return *failure;
    sink_.end_object(object);
    return {};
  }

  struct RecentKey {
    PyObject* key = nullptr;
    const KeyText* text = nullptr;
  };
  static constexpr std::size_t kRecentKeys = 256;

  Sink& sink_;
  int depth_ = 0;
  std::unordered_map<PyObject*, KeyText> key_cache_;
  std::vector<PyRef> held_keys_;
  RecentKey recent_keys_[kRecentKeys];
  // The members of the open mappings, innermost last.
  std::vector<const KeyText*> keys_;
  std::vector<PyRef> values_;
};

}  // namespace tesmo::py
