// Python <-> JSON value conversion. Type tests are checks of the object's
// type (flags, subtype checks, identity with bool), never duck typing, so
// objects that only look like numbers or sequences fall through to the
// collections.abc tests and then to refusal.
#include "python/convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/json_parser.h"
#include "python/errors.h"
#include "python/once.h"
#include "python/pyref.h"
#include "python/text.h"

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

// Sorts stably. The mappings of a document are mostly small, and for them
// an insertion sort is quicker than std::stable_sort, which allocates.
template <class It, class Less>
void sort_stably(It first, It last, Less less) {
  if (last - first > 16) {
    std::stable_sort(first, last, less);
    return;
  }
  for (It it = first; it != last; ++it) {
    auto moving = std::move(*it);
    It hole = it;
    for (; hole != first && less(moving, *(hole - 1)); --hole) *hole = std::move(*(hole - 1));
    *hole = std::move(moving);
  }
}

// A member name as the sinks take it: its UTF-8 text, and the same quoted
// for canonical text with the ':' that follows it.
struct KeyText {
  std::string text;
  std::string quoted;
};

// Builds a JsonValue tree in place: each value is written into the slot its
// container made for it, so nothing is moved after it is built.
class ValueSink {
 public:
  using Slot = JsonValue*;
  struct Array {
    JsonArray* items;
  };
  struct Object {
    Slot target;
    std::vector<JsonObject::Member> members;  // in key order, values filled in later
    std::size_t map;                          // start of this object's positions in slot_of_
  };

  // A slot may hold an earlier value of a repeated key; every write replaces it.
  void null(Slot slot) { *slot = JsonValue(); }
  void boolean(Slot slot, bool b) { slot->data = b; }
  void number(Slot slot, JsonNumber n) { slot->data = n; }
  void string(Slot slot, std::string_view text) { slot->data.emplace<std::string>(text); }

  Array begin_array(Slot slot, std::size_t hint) {
    JsonArray& items = slot->data.emplace<JsonArray>();
    items.reserve(hint);
    return {&items};
  }
  Slot item(Array& array) { return &array.items->emplace_back(); }
  void end_array(Array&) {}

  // Lays the members out in key order before any value is converted, so
  // each value is built where it stays. Of equal keys the later position
  // writes last, so it replaces the earlier one, as an insert would.
  Object begin_object(Slot slot, const KeyText* const* keys, std::size_t n) {
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = i;
    sort_stably(order_.begin(), order_.end(),
                [keys](std::size_t a, std::size_t b) { return keys[a]->text < keys[b]->text; });
    Object object{slot, {}, slot_of_.size()};
    object.members.reserve(n);
    slot_of_.resize(object.map + n);
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t position = order_[k];
      if (k == 0 || keys[order_[k - 1]]->text != keys[position]->text) {
        object.members.emplace_back(keys[position]->text, JsonValue());
      }
      slot_of_[object.map + position] = object.members.size() - 1;
    }
    return object;
  }
  Slot member(Object& object, std::size_t position, const KeyText&) {
    return &object.members[slot_of_[object.map + position]].second;
  }
  void member_done(Object&) {}
  void end_object(Object& object) {
    slot_of_.resize(object.map);
    object.target->data = JsonObject::from_sorted(std::move(object.members));
  }

 private:
  std::vector<std::size_t> order_;    // scratch of begin_object
  std::vector<std::size_t> slot_of_;  // the open objects' member index per position
};

// Writes the canonical text straight from the Python objects, without a tree
// in between; byte for byte the text canonical_json gives for the tree that
// ValueSink builds. Members are written in the mapping's order, each with
// its key, and an object whose keys did not come in ascending order is put
// in order when it closes, the later of two equal keys kept, as an object's
// insert would.
class TextSink {
 public:
  struct Slot {};
  struct Array {
    bool empty = true;
  };
  struct Object {
    std::size_t open;   // offset just after the '{'
    std::size_t first;  // this object's first entry in members_
  };

  explicit TextSink(TextBuffer& out) : out_(out) {}

  void null(Slot) { out_.append("null"); }
  void boolean(Slot, bool b) { out_.append(b ? "true" : "false"); }
  void number(Slot, JsonNumber n) { append_canonical_number(out_, n); }
  void string(Slot, std::string_view text) { append_canonical_string(out_, text); }

  Array begin_array(Slot, std::size_t) {
    out_.push_back('[');
    return {};
  }
  Slot item(Array& array) {
    if (!array.empty) out_.push_back(',');
    array.empty = false;
    return {};
  }
  void end_array(Array&) { out_.push_back(']'); }

  Object begin_object(Slot, const KeyText* const*, std::size_t) {
    out_.push_back('{');
    return {out_.size(), members_.size()};
  }
  // `key` must stay valid until the object closes.
  Slot member(Object& object, std::size_t, const KeyText& key) {
    if (members_.size() > object.first) out_.push_back(',');
    members_.push_back({key.text, out_.size(), 0});
    out_.append(key.quoted);
    return {};
  }
  void member_done(Object&) { members_.back().end = out_.size(); }
  void end_object(Object& object) {
    put_in_order(object);
    members_.resize(object.first);
    out_.push_back('}');
  }

 private:
  // One member's text, key included, at out_[begin, end).
  struct Span {
    std::string_view key;
    std::size_t begin;
    std::size_t end;
  };

  void put_in_order(const Object& object) {
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(object.first);
    const auto last = members_.end();
    const auto by_key = [](const Span& a, const Span& b) { return a.key < b.key; };
    if (std::adjacent_find(first, last, [&](const Span& a, const Span& b) { return !by_key(a, b); }) == last) {
      return;  // already ascending, no equal keys
    }
    // Stable, so that of equal keys the later one ends up last.
    sort_stably(first, last, by_key);
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
      if (it != largest) scratch_.append(out_.data() + it->begin, it->end - it->begin);
    }
    std::size_t at = object.open;
    for (auto it = first; it < largest; ++it) at += it->end - it->begin + 1;
    const std::size_t largest_size = largest->end - largest->begin;
    if (at != largest->begin) std::memmove(out_.data() + at, out_.data() + largest->begin, largest_size);
    at = object.open;
    std::size_t from = 0;
    for (auto it = first; it < kept; ++it) {
      const std::size_t size = it->end - it->begin;
      if (it != first) out_.data()[at++] = ',';
      if (it != largest) {
        std::memcpy(out_.data() + at, scratch_.data() + from, size);
        from += size;
      }
      at += size;
    }
    out_.resize(at);
  }

  TextBuffer& out_;
  std::vector<Span> members_;  // the open objects' members, innermost last
  std::string scratch_;
};

// Builds nothing: a walk with it only checks that the object converts.
class NullSink {
 public:
  struct Slot {};
  struct Array {};
  struct Object {};
  void null(Slot) {}
  void boolean(Slot, bool) {}
  void number(Slot, JsonNumber) {}
  void string(Slot, std::string_view) {}
  Array begin_array(Slot, std::size_t) { return {}; }
  Slot item(Array&) { return {}; }
  void end_array(Array&) {}
  Object begin_object(Slot, const KeyText* const*, std::size_t) { return {}; }
  Slot member(Object&, std::size_t, const KeyText&) { return {}; }
  void member_done(Object&) {}
  void end_object(Object&) {}
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
  using Slot = typename Sink::Slot;

  explicit Walker(Sink& sink) : sink_(sink) {}

  // Makes the walk stop, before it would run any code of the caller, at the
  // first value that is not made of plain None, bool, int, float, str, list,
  // tuple and dict (with keys of type str exactly): containers of other
  // types, sets and objects that only collections.abc could accept.
  void plain_only() { plain_only_ = true; }
  // Whether the walk failed because it stopped so.
  bool stopped() const { return stopped_; }

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
      Result<JsonNumber> n = convert_int(obj);
      if (!n) return n.error();
      sink_.number(slot, *n);
      return {};
    }
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
      if (plain_only_ && Py_TYPE(obj) != &PyList_Type && Py_TYPE(obj) != &PyTuple_Type) return stop();
      return nested(obj, slot, &Walker::walk_sequence);
    }
    if (PyDict_Check(obj)) {
      if (plain_only_ && Py_TYPE(obj) != &PyDict_Type) return stop();
      return nested(obj, slot, &Walker::walk_mapping);
    }
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
    if (plain_only_) return stop();
    if (PyAnySet_Check(obj)) return nested(obj, slot, &Walker::walk_set);
    Error failure("");
    bool failed = false;
    if (is_instance_of_abc(obj, g_sequence_abc, "Sequence", failure, failed)) {
      return nested(obj, slot, &Walker::walk_sequence);
    }
    if (failed) return failure;
    if (is_instance_of_abc(obj, g_mapping_abc, "Mapping", failure, failed)) {
      return nested(obj, slot, &Walker::walk_mapping);
    }
    if (failed) return failure;
    return Error("unsupported type " + qualname_of_type(obj));
  }

 private:
  using Step = Status (Walker::*)(PyObject*, Slot);

  Status stop() {
    stopped_ = true;
    return Error("not plain");
  }

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

  Status walk_sequence(PyObject* obj, Slot slot) {
    const Py_ssize_t first = PySequence_Size(obj);
    if (first < 0) return fetch_python_error();
    const Py_ssize_t second = PySequence_Size(obj);
    if (second < 0) return fetch_python_error();
    if (first != second) {
      return Error("expected sequence of length " + std::to_string(first) + ", got " +
                   std::to_string(second));
    }
    typename Sink::Array items = sink_.begin_array(slot, static_cast<std::size_t>(first));
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

  // Every key and value is taken, and every key checked, before any value
  // is converted: what the conversion of one value does to the mapping
  // cannot change which members it has. The first failure of a key (or of
  // fetching a member) is reported after the values before it converted, as
  // a walk member by member would.
  Status walk_mapping(PyObject* obj, Slot slot) {
    const std::size_t base = values_.size();
    std::optional<Error> failure;
    if (Py_TYPE(obj) == &PyDict_Type) {
      // A plain dict gives the same keys and values as its keys() and
      // values() lists, without building them.
      Py_ssize_t pos = 0;
      PyObject *key = nullptr, *value = nullptr;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        // A key of a subclass of str may compare in its own way.
        if (plain_only_ && PyUnicode_Check(key) && Py_TYPE(key) != &PyUnicode_Type) return stop();
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
  bool plain_only_ = false;
  bool stopped_ = false;
  int depth_ = 0;
  std::unordered_map<PyObject*, KeyText> key_cache_;
  std::vector<PyRef> held_keys_;
  RecentKey recent_keys_[kRecentKeys];
  // The members of the open mappings, innermost last.
  std::vector<const KeyText*> keys_;
  std::vector<PyRef> values_;
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

// The str objects of the keys of one parse, by their text: a document
// repeats a few dozen key texts many thousands of times, so each becomes one
// str shared by every dict holding it (sharing also shares its hash). Open
// addressing over the key bytes, found without copying them.
class KeyStrings {
 public:
  struct Entry {
    std::uint64_t hash = 0;
    std::string text;
    PyRef str;
  };

  // The entry for this text, made on first sight; null when the interpreter
  // cannot allocate the str (its exception is then set).
  Entry* find(std::string_view text) {
    const std::uint64_t h = hash(text);
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = h & (slots_.size() - 1);
    for (;; i = (i + 1) & (slots_.size() - 1)) {
      Entry* entry = slots_[i];
      if (entry == nullptr) break;
      if (entry->hash == h && entry->text == text) return entry;
    }
    PyRef str = PyRef::steal(new_str(text));
    if (!str) return nullptr;
    entries_.push_back(std::make_unique<Entry>(Entry{h, std::string(text), std::move(str)}));
    slots_[i] = entries_.back().get();
    ++count_;
    return slots_[i];
  }

 private:
  // Keys are short: their first and last 8 bytes and their length tell
  // them apart well enough, read in two loads.
  static std::uint64_t hash(std::string_view text) {
    std::uint64_t head = 0, tail = 0;
    if (text.size() >= 8) {
      std::memcpy(&head, text.data(), 8);
      std::memcpy(&tail, text.data() + text.size() - 8, 8);
    } else {
      std::memcpy(&head, text.data(), text.size());
    }
    std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15u) ^ text.size()) * 0xff51afd7ed558ccdu;
    return h ^ (h >> 32);
  }

  void grow() {
    std::vector<Entry*> slots(slots_.empty() ? 64 : slots_.size() * 2, nullptr);
    for (Entry* entry : slots_) {
      if (entry == nullptr) continue;
      std::size_t i = entry->hash & (slots.size() - 1);
      while (slots[i] != nullptr) i = (i + 1) & (slots.size() - 1);
      slots[i] = entry;
    }
    slots_ = std::move(slots);
  }

  std::vector<Entry*> slots_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::size_t count_ = 0;
};

// Builds Python objects straight from JSON text, as to_python of the parsed
// value would: dicts iterate their keys in ascending byte order, the later
// of two equal keys wins, each distinct key text is one shared str. The
// members of every open container wait on one stack, innermost last, and
// become a list or dict when it closes. A failed allocation ends the parse
// with the interpreter's exception set and an empty error.
class PythonBuilder {
 public:
  using Value = PyRef;
  struct Container {
    bool is_object;
    std::size_t base;                          // its first member on the stack
    KeyStrings::Entry* key = nullptr;          // of the member whose value comes next
    bool keys_ascending = true;
  };

  Value null() { return PyRef::borrow(Py_None); }
  Value boolean(bool b) { return PyRef::borrow(b ? Py_True : Py_False); }
  Result<Value> number(JsonNumber n) {
    PyObject* number = nullptr;
    switch (n.kind()) {
      case JsonNumber::Kind::Unsigned: number = PyLong_FromUnsignedLongLong(n.as_u64()); break;
      case JsonNumber::Kind::Negative: number = PyLong_FromLongLong(n.as_i64()); break;
      case JsonNumber::Kind::Float: number = PyFloat_FromDouble(n.as_double()); break;
    }
    return made(number);
  }
  Result<Value> string(std::string_view text) { return made(new_str(text)); }

  Container open(bool is_object) { return Container{is_object, stack_.size()}; }
  Status key(Container& object, std::string_view text) {
    KeyStrings::Entry* entry = keys_.find(text);
    if (entry == nullptr) return failed();
    if (stack_.size() > object.base && !ascending(stack_.back().key->text, entry->text)) {
      object.keys_ascending = false;
    }
    object.key = entry;
    return {};
  }
  void add(Container& object, Value&& value) { stack_.push_back({object.key, std::move(value)}); }
  void push(Container&, Value&& value) { stack_.push_back({nullptr, std::move(value)}); }

  Result<Value> close(Container&& c) {
    const auto first = stack_.begin() + static_cast<std::ptrdiff_t>(c.base);
    const std::size_t n = stack_.size() - c.base;
    struct Pop {
      std::vector<Member>& stack;
      std::size_t base;
      ~Pop() { stack.resize(base); }
    } pop{stack_, c.base};
    if (!c.is_object) {
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (!list) return failed();
      for (std::size_t i = 0; i < n; ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), first[i].value.release());
      }
      return list;
    }
    if (!c.keys_ascending) {
      // Stable: of equal keys the later is inserted later and replaces the
      // earlier's value in the dict.
      sort_stably(first, stack_.end(),
                  [](const Member& a, const Member& b) { return a.key->text < b.key->text; });
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return failed();
    for (auto it = first; it != stack_.end(); ++it) {
      if (PyDict_SetItem(dict.get(), it->key->str.get(), it->value.get()) != 0) return failed();
    }
    return dict;
  }

 private:
  struct Member {
    KeyStrings::Entry* key;  // null in arrays
    PyRef value;
  };

  static Error failed() { return Error(""); }
  static Result<Value> made(PyObject* object) {
    if (object == nullptr) return failed();
    return PyRef::steal(object);
  }
  // a < b by unsigned bytes; neighbouring keys mostly differ in their first.
  static bool ascending(const std::string& a, const std::string& b) {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
      return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
  }

  KeyStrings keys_;
  std::vector<Member> stack_;
};

}  // namespace

Result<JsonValue> to_json_value(PyObject* obj) {
  ValueSink sink;
  JsonValue root;
  if (Status s = Walker<ValueSink>(sink).walk(obj, &root); !s) return s.error();
  return root;
}

Result<bool> check_plain(PyObject* obj) {
  if (plain_converts(obj)) return true;
  // Not plain, or plain up to a value that does not convert: this walk
  // tells which, and gives that value's error.
  NullSink sink;
  Walker<NullSink> walker(sink);
  walker.plain_only();
  if (Status s = walker.walk(obj, {}); !s) {
    if (walker.stopped()) return false;
    return s.error();
  }
  return true;
}

Result<TextBuffer> to_canonical_text(PyObject* obj) {
  // Documents committed one after another are mostly of one size; room for
  // the last one's text up front saves growing through the heap to it.
  // Room not written to costs address space only.
  static std::size_t last_size = 0;
  {
    TextBuffer text;
    text.make_room(last_size + last_size / 8);
    if (plain_canonical_text(obj, text)) {
      last_size = text.size();
      return text;
    }
  }
  // Anything else, and a plain document that does not convert (so that the
  // first failure in the mapping's order is the one reported), is walked in
  // order and sorted as it goes.
  TextBuffer text;
  TextSink sink(text);
  if (Status s = Walker<TextSink>(sink).walk(obj, {}); !s) return s.error();
  return text;
}

Result<PyObject*> python_from_json(std::string_view text) {
  CollectorPause pause;
  PythonBuilder builder;
  Result<PyRef> value = json_parser::parse(text, builder);
  if (!value) return value.error();
  return value->release();
}

PyObject* to_python(const JsonValue& value) {
  const bool container = value.kind() == JsonKind::Array || value.kind() == JsonKind::Object;
  if (!container) return ToPython().convert(value);
  CollectorPause pause;
  return ToPython().convert(value);
}

}  // namespace tesmo::py
