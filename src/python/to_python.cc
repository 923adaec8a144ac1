// JSON to Python objects, from text or from a JsonValue, through one
// builder.
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value/json_parser.h"
#include "python/convert.h"
#include "python/once.h"
#include "python/pyref.h"
#include "python/stable_sort.h"
#include "python/text.h"

namespace tesmo::py {

namespace {

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
    slots_[i] = &entries_.emplace_back(Entry{h, std::string(text), std::move(str)});
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
    std::vector<Entry*> slots(slots_.empty() ? 32 : slots_.size() * 2, nullptr);
    for (Entry* entry : slots_) {
      if (entry == nullptr) continue;
      std::size_t i = entry->hash & (slots.size() - 1);
      while (slots[i] != nullptr) i = (i + 1) & (slots.size() - 1);
      slots[i] = entry;
    }
    slots_ = std::move(slots);
  }

  std::vector<Entry*> slots_;
  std::deque<Entry> entries_;  // never moves an entry as it grows
  std::size_t count_ = 0;
};

// Builds the Python objects of one JSON document, the same whether it comes
// as text or as a JsonValue: dicts iterate their keys in ascending byte
// order, the later of two equal keys wins, each distinct key text is one
// shared str. The
// members of every open container wait on one stack, innermost last, and
// become a list or dict when it closes. The JSON reader drives it over
// text, and ValueWalk over a JsonValue. A failed allocation ends the build
// with the interpreter's exception set, as Error::pending().
class PythonBuilder {
 public:
  using Value = PyRef;
  // Room for the members of a small document's open containers at once.
  PythonBuilder() { stack_.reserve(32); }
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

  static Error failed() { return Error::pending(); }
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

// Hands a JsonValue to the builder as the JSON reader hands it the text of
// one: each container opened, its members given in order, then closed.
class ValueWalk {
 public:
  Result<PyRef> value(const JsonValue& value) {
    switch (value.kind()) {
      case JsonKind::Null: return builder_.null();
      case JsonKind::Bool: return builder_.boolean(*value.get_bool());
      case JsonKind::Number: return builder_.number(*value.get_number());
      case JsonKind::String: return builder_.string(*value.get_string());
      case JsonKind::Array: {
        PythonBuilder::Container array = builder_.open(false);
        for (const JsonValue& element : *value.get_array()) {
          Result<PyRef> item = this->value(element);
          if (!item) return item.error();
          builder_.push(array, std::move(item).value());
        }
        return builder_.close(std::move(array));
      }
      case JsonKind::Object: {
        PythonBuilder::Container object = builder_.open(true);
        for (const auto& [key, member] : *value.get_object()) {
          if (Status s = builder_.key(object, key); !s) return s.error();
          Result<PyRef> item = this->value(member);
          if (!item) return item.error();
          builder_.add(object, std::move(item).value());
        }
        return builder_.close(std::move(object));
      }
    }
    PyErr_SetString(PyExc_SystemError, "tesmo: JSON value of unknown kind");
    return Error::pending();
  }

 private:
  PythonBuilder builder_;
};

}  // namespace

Result<PyRef> python_from_json(std::string_view text) {
  CollectorPause pause;
  PythonBuilder builder;
  return json_parser::parse(text, builder);
}

Result<PyRef> to_python(const JsonValue& value) {
  const bool container = value.kind() == JsonKind::Array || value.kind() == JsonKind::Object;
  if (!container) return ValueWalk().value(value);
  CollectorPause pause;
  return ValueWalk().value(value);
}

}  // namespace tesmo::py
