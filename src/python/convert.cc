// Python <-> JSON value conversion. Type tests are checks of the object's
// type (flags, subtype checks, identity with bool), never duck typing, so
// objects that only look like numbers or sequences fall through to the
// collections.abc tests and then to refusal.
#include "convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "errors.h"
#include "once.h"
#include "pyref.h"
#include "text.h"

namespace tesmo::py {

namespace {

OnceSlot g_sequence_abc;
OnceSlot g_mapping_abc;
OnceSlot g_gc_module;

// Keeps the cyclic garbage collector off while a large result is built.
// Building it allocates many containers, each allocation counts towards a
// collection, and every collection would walk the whole half-built result
// although it cannot hold a cycle yet. No user code runs meanwhile. The
// collector's previous state is restored at the end.
class CollectorPause {
 public:
  CollectorPause() {
    gc_ = g_gc_module.get([] { return PyImport_ImportModule("gc"); });
    if (gc_ == nullptr) {
      PyErr_Clear();
      return;
    }
    PyRef enabled = PyRef::steal(PyObject_CallMethod(gc_, "isenabled", nullptr));
    if (enabled && PyObject_IsTrue(enabled.get()) == 1) {
      PyRef done = PyRef::steal(PyObject_CallMethod(gc_, "disable", nullptr));
      paused_ = static_cast<bool>(done);
    }
    PyErr_Clear();
  }
  ~CollectorPause() {
    if (!paused_) return;
    // Keep a pending exception of the conversion across the call.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef done = PyRef::steal(PyObject_CallMethod(gc_, "enable", nullptr));
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  PyObject* gc_ = nullptr;
  bool paused_ = false;
};

PyObject* abc_class(OnceSlot& slot, const char* name) {
  return slot.get([name]() -> PyObject* {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
  });
}

// isinstance(obj, collections.abc.<name>); an exception raised by the test is
// reported as unraisable and the answer is false.
bool is_instance_of_abc(PyObject* obj, OnceSlot& slot, const char* name, Error& failure,
                        bool& failed) {
  PyObject* cls = abc_class(slot, name);
  if (cls == nullptr) {
    failure = fetch_python_error();
    failed = true;
    return false;
  }
  const int answer = PyObject_IsInstance(obj, cls);
  if (answer < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return answer == 1;
}

std::string qualname_of_type(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  std::string text;
  if (name && PyUnicode_Check(name.get()) && utf8_of(name.get(), text)) return text;
  PyErr_Clear();
  return "unknown";
}

// A member name as the sinks take it: its UTF-8 text, and the same quoted
// for canonical text with the ':' that follows it.
struct KeyText {
  std::string text;
  std::string quoted;
};

// Builds a JsonValue tree.
class ValueSink {
 public:
  using Value = JsonValue;
  using Array = JsonArray;
  using Members = std::vector<JsonObject::Member>;

  Value null() { return JsonValue(); }
  Value boolean(bool b) { return JsonValue(b); }
  Value number(JsonNumber n) { return JsonValue(n); }
  Value string(std::string_view text) { return JsonValue(std::string(text)); }

  Array begin_array(std::size_t hint) {
    Array items;
    items.reserve(hint);
    return items;
  }
  void before_item(Array&) {}
  void item(Array& items, Value value) { items.push_back(std::move(value)); }
  Value end_array(Array items) { return JsonValue(std::move(items)); }

  Members begin_object(std::size_t hint) {
    Members members;
    members.reserve(hint);
    return members;
  }
  void key(Members& members, const KeyText& key) { members.emplace_back(key.text, JsonValue()); }
  void member(Members& members, Value value) { members.back().second = std::move(value); }
  Value end_object(Members members) { return JsonValue(JsonObject(std::move(members))); }
};

// Writes the canonical text straight from the Python objects, without a tree
// in between; byte for byte the text canonical_json gives for the tree that
// ValueSink builds. Members are written in the mapping's order, each with its
// key, and an object whose keys did not come in ascending order is put in
// order when it closes, the later of two equal keys kept, as an object's
// insert would.
class TextSink {
 public:
  struct Value {};
  struct Array {
    bool empty = true;
  };
  struct Members {
    std::size_t open;   // offset just after the '{'
    std::size_t first;  // this object's first entry in members_
  };

  explicit TextSink(std::string& out) : out_(out) {}

  Value null() {
    out_.append("null");
    return {};
  }
  Value boolean(bool b) {
    out_.append(b ? "true" : "false");
    return {};
  }
  Value number(JsonNumber n) {
    append_canonical_number(out_, n);
    return {};
  }
  Value string(std::string_view text) {
    append_canonical_string(out_, text);
    return {};
  }

  Array begin_array(std::size_t) {
    out_.push_back('[');
    return {};
  }
  void before_item(Array& items) {
    if (!items.empty) out_.push_back(',');
    items.empty = false;
  }
  void item(Array&, Value) {}
  Value end_array(Array) {
    out_.push_back(']');
    return {};
  }

  Members begin_object(std::size_t) {
    out_.push_back('{');
    return {out_.size(), members_.size()};
  }
  // `key` must stay valid until the object closes.
  void key(Members& object, const KeyText& key) {
    if (members_.size() > object.first) out_.push_back(',');
    members_.push_back({key.text, out_.size(), 0});
    out_.append(key.quoted);
  }
  void member(Members&, Value) { members_.back().end = out_.size(); }
  Value end_object(Members object) {
    put_in_order(object);
    members_.resize(object.first);
    out_.push_back('}');
    return {};
  }

 private:
  // One member's text, key included, at out_[begin, end).
  struct Span {
    std::string_view key;
    std::size_t begin;
    std::size_t end;
  };

  void put_in_order(const Members& object) {
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(object.first);
    const auto last = members_.end();
    const auto by_key = [](const Span& a, const Span& b) { return a.key < b.key; };
    if (std::adjacent_find(first, last, [&](const Span& a, const Span& b) { return !by_key(a, b); }) == last) {
      return;  // already ascending, no equal keys
    }
    // Stable, so that of equal keys the later one ends up last.
    if (last - first <= 16) {
      for (auto it = first + 1; it < last; ++it) {
        Span moving = *it;
        auto hole = it;
        for (; hole > first && by_key(moving, *(hole - 1)); --hole) *hole = *(hole - 1);
        *hole = moving;
      }
    } else {
      std::stable_sort(first, last, by_key);
    }
    // Drop the members replaced by a later equal key, then lay the rest out
    // in order. The largest member moves once, straight to its new place;
    // the others go through the scratch buffer. Near the root of a document
    // one member holds nearly all of the text, so this copies it once
    // instead of twice and keeps the scratch buffer small.
    auto kept = first;
    for (auto it = first; it < last; ++it) {
      if (it + 1 < last && it[1].key == it->key) continue;
      *kept++ = *it;
    }
    auto largest = first;
    for (auto it = first; it < kept; ++it) {
      if (it->end - it->begin > largest->end - largest->begin) largest = it;
    }
    scratch_.clear();
    for (auto it = first; it < kept; ++it) {
      if (it != largest) scratch_.append(out_, it->begin, it->end - it->begin);
    }
    std::size_t at = object.open;
    for (auto it = first; it < largest; ++it) at += it->end - it->begin + 1;
    const std::size_t largest_size = largest->end - largest->begin;
    if (at != largest->begin) std::memmove(out_.data() + at, out_.data() + largest->begin, largest_size);
    at = object.open;
    std::size_t from = 0;
    for (auto it = first; it < kept; ++it) {
      const std::size_t size = it->end - it->begin;
      if (it != first) out_[at++] = ',';
      if (it != largest) {
        std::memcpy(out_.data() + at, scratch_.data() + from, size);
        from += size;
      }
      at += size;
    }
    out_.resize(at);
  }

  std::string& out_;
  std::vector<Span> members_;  // the open objects' members, innermost last
  std::string scratch_;
};

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
  using Value = typename Sink::Value;

  explicit Walker(Sink& sink) : sink_(sink) {}

  Result<Value> walk(PyObject* obj) {
    if (obj == Py_None) return sink_.null();
    if (Py_TYPE(obj) == &PyBool_Type) return sink_.boolean(obj == Py_True);
    if (PyLong_Check(obj)) {
      Result<JsonNumber> n = convert_int(obj);
      if (!n) return n.error();
      return sink_.number(*n);
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) return nested(obj, &Walker::walk_sequence);
    if (PyDict_Check(obj)) return nested(obj, &Walker::walk_mapping);
    if (PyUnicode_Check(obj)) {
      std::string_view text;
      PyRef keep;
      if (!utf8_view(obj, text, keep)) return fetch_python_error();
      return sink_.string(text);
    }
    if (PyBytes_Check(obj)) return Error("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) {
      return Error("unexpected type: 'bytearray' object cannot be converted to 'PyBytes'");
    }
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return fetch_python_error();
      std::optional<JsonNumber> n = JsonNumber::from_double(d);
      return n ? sink_.number(*n) : sink_.null();
    }
    if (PyAnySet_Check(obj)) return nested(obj, &Walker::walk_set);
    Error failure("");
    bool failed = false;
    if (is_instance_of_abc(obj, g_sequence_abc, "Sequence", failure, failed)) {
      return nested(obj, &Walker::walk_sequence);
    }
    if (failed) return failure;
    if (is_instance_of_abc(obj, g_mapping_abc, "Mapping", failure, failed)) {
      return nested(obj, &Walker::walk_mapping);
    }
    if (failed) return failure;
    return Error("unsupported type " + qualname_of_type(obj));
  }

 private:
  using Step = Result<Value> (Walker::*)(PyObject*);

  // Containers count towards the depth limit; a container holding itself
  // ends here too instead of recursing without end.
  Result<Value> nested(PyObject* obj, Step step) {
    if (depth_ >= kMaxNesting) {
      return Error("value nested too deeply: containers may nest at most " +
                   std::to_string(kMaxNesting) + " levels");
    }
    ++depth_;
    Result<Value> out = (this->*step)(obj);
    --depth_;
    return out;
  }

  static Result<JsonNumber> convert_int(PyObject* obj) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return JsonNumber::from_u64(u);
    PyErr_Clear();
    const long long i = PyLong_AsLongLong(obj);
    if (!(i == -1 && PyErr_Occurred())) return JsonNumber::from_i64(i);
    PyErr_Clear();
    // Beyond 64 bits: within 128 bits the value is merely out of range;
    // beyond that the interpreter's own overflow error is reported.
    if (fits_128_bits(obj, false)) return Error("JSON number out of range");
    PyErr_Clear();
    if (fits_128_bits(obj, true)) return Error("JSON number out of range");
    return fetch_python_error();
  }

  // int.to_bytes(obj, 16, "little", signed=...) succeeds; false with the
  // interpreter's OverflowError pending otherwise. Called through int itself
  // so that a subclass cannot change the answer.
  static bool fits_128_bits(PyObject* obj, bool is_signed) {
    PyRef method = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
    if (!method) return false;
    PyRef args = PyRef::steal(Py_BuildValue("(Ois)", obj, 16, "little"));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{sO}", "signed", is_signed ? Py_True : Py_False));
    if (!args || !kwargs) return false;
    PyRef bytes = PyRef::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
    return static_cast<bool>(bytes);
  }

  Result<Value> walk_sequence(PyObject* obj) {
    const Py_ssize_t first = PySequence_Size(obj);
    if (first < 0) return fetch_python_error();
    const Py_ssize_t second = PySequence_Size(obj);
    if (second < 0) return fetch_python_error();
    if (first != second) {
      return Error("expected sequence of length " + std::to_string(first) + ", got " +
                   std::to_string(second));
    }
    typename Sink::Array items = sink_.begin_array(static_cast<std::size_t>(first));
    const bool exact_list = Py_TYPE(obj) == &PyList_Type;
    const bool exact_tuple = Py_TYPE(obj) == &PyTuple_Type;
    for (Py_ssize_t i = 0; i < first; ++i) {
      // Borrowed items of plain lists and tuples are taken as owned for the
      // time of their conversion: a caller's container converted further in
      // may change the list under us.
      PyRef item = exact_list    ? PyRef::borrow(PyList_GetItem(obj, i))
                   : exact_tuple ? PyRef::borrow(PyTuple_GetItem(obj, i))
                                 : PyRef::steal(PySequence_GetItem(obj, i));
      if (!item) return fetch_python_error();
      sink_.before_item(items);
      Result<Value> value = walk(item.get());
      if (!value) return value.error();
      sink_.item(items, std::move(value).value());
    }
    return sink_.end_array(std::move(items));
  }

  Result<Value> walk_set(PyObject* obj) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return fetch_python_error();
    typename Sink::Array items = sink_.begin_array(0);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      sink_.before_item(items);
      Result<Value> value = walk(item.get());
      if (!value) return value.error();
      sink_.item(items, std::move(value).value());
    }
    if (PyErr_Occurred()) return fetch_python_error();
    return sink_.end_array(std::move(items));
  }

  // The key's text, valid for the whole call. A small table indexed by the
  // object's address answers most lookups before the map is asked.
  Result<const KeyText*> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
      return Error("unexpected type: '" + type_name_of(key) +
                   "' object cannot be converted to 'PyString'");
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

  Result<Value> walk_mapping(PyObject* obj) {
    if (Py_TYPE(obj) == &PyDict_Type) {
      // A plain dict gives the same keys and values as its keys() and
      // values() lists, without building them.
      typename Sink::Members members = sink_.begin_object(static_cast<std::size_t>(PyDict_Size(obj)));
      Py_ssize_t pos = 0;
      PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
      while (PyDict_Next(obj, &pos, &borrowed_key, &borrowed_value)) {
        PyRef key = PyRef::borrow(borrowed_key), value = PyRef::borrow(borrowed_value);
        if (Status s = walk_member(members, key.get(), value.get()); !s) return s.error();
      }
      return sink_.end_object(std::move(members));
    }
    PyRef keys = PyRef::steal(PyMapping_Keys(obj));
    if (!keys) return fetch_python_error();
    PyRef values = PyRef::steal(PyMapping_Values(obj));
    if (!values) return fetch_python_error();
    const Py_ssize_t size = PyMapping_Size(obj);
    if (size < 0) return fetch_python_error();
    typename Sink::Members members = sink_.begin_object(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef key = PyRef::steal(PySequence_GetItem(keys.get(), i));
      if (!key) return fetch_python_error();
      PyRef value = PyRef::steal(PySequence_GetItem(values.get(), i));
      if (!value) return fetch_python_error();
      if (Status s = walk_member(members, key.get(), value.get()); !s) return s.error();
    }
    return sink_.end_object(std::move(members));
  }

  Status walk_member(typename Sink::Members& members, PyObject* key, PyObject* value) {
    Result<const KeyText*> text = key_text(key);
    if (!text) return text.error();
    sink_.key(members, **text);
    Result<Value> converted = walk(value);
    if (!converted) return converted.error();
    sink_.member(members, std::move(converted).value());
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
};

// One to_python call. Key strings repeat throughout a document, so each
// distinct key text becomes one str object shared by every dict using it;
// str objects are immutable, and sharing them also shares their hash.
class ToPython {
 public:
  ~ToPython() {
    for (auto& entry : keys_) Py_DECREF(entry.second);
  }

  PyObject* convert(const JsonValue& value) {
    switch (value.kind()) {
      case JsonKind::Null:
        Py_INCREF(Py_None);
        return Py_None;
      case JsonKind::Bool:
        return PyBool_FromLong(*value.get_bool() ? 1 : 0);
      case JsonKind::Number: {
        const JsonNumber& n = *value.get_number();
        switch (n.kind()) {
          case JsonNumber::Kind::Unsigned: return PyLong_FromUnsignedLongLong(n.as_u64());
          case JsonNumber::Kind::Negative: return PyLong_FromLongLong(n.as_i64());
          case JsonNumber::Kind::Float: return PyFloat_FromDouble(n.as_double());
        }
        break;
      }
      case JsonKind::String: {
        const std::string& s = *value.get_string();
        return new_str(s);
      }
      case JsonKind::Array: return convert_array(*value.get_array());
      case JsonKind::Object: return convert_object(*value.get_object());
    }
    PyErr_SetString(PyExc_SystemError, "tesmo: JSON value of unknown kind");
    return nullptr;
  }

 private:
  PyObject* convert_array(const JsonArray& array) {
    std::vector<PyRef> items;
    items.reserve(array.size());
    for (const JsonValue& element : array) {
      PyRef item = PyRef::steal(convert(element));
      if (!item) return nullptr;
      items.push_back(std::move(item));
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return list.release();
  }

  PyObject* key_object(const std::string& text) {
    auto found = keys_.find(text);
    if (found != keys_.end()) return found->second;
    PyObject* key = new_str(text);
    if (key != nullptr) keys_.emplace(text, key);
    return key;
  }

  PyObject* convert_object(const JsonObject& object) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [text, member] : object) {
      PyObject* key = key_object(text);
      if (key == nullptr) return nullptr;
      PyRef value = PyRef::steal(convert(member));
      if (!value || PyDict_SetItem(dict.get(), key, value.get()) != 0) return nullptr;
    }
    return dict.release();
  }

  // Views into the value being converted, which outlives this object.
  std::unordered_map<std::string_view, PyObject*> keys_;
};

}  // namespace

Result<JsonValue> to_json_value(PyObject* obj) {
  ValueSink sink;
  return Walker<ValueSink>(sink).walk(obj);
}

Result<std::string> to_canonical_text(PyObject* obj) {
  // Timelines are committed again and again at about the same size; starting
  // from the last text's size saves the copies of growing the buffer. Unused
  // reserved pages are never touched, so an overestimate costs no memory.
  static std::size_t last_size = 0;
  std::string text;
  text.reserve(last_size + last_size / 8 + 256);
  TextSink sink(text);
  Result<TextSink::Value> done = Walker<TextSink>(sink).walk(obj);
  if (!done) return done.error();
  last_size = text.size();
  return text;
}

PyObject* to_python(const JsonValue& value) {
  const bool container = value.kind() == JsonKind::Array || value.kind() == JsonKind::Object;
  if (!container) return ToPython().convert(value);
  CollectorPause pause;
  return ToPython().convert(value);
}

}  // namespace tesmo::py
