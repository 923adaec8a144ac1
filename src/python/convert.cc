// Python <-> JSON value conversion. Type tests are checks of the object's
// type (flags, subtype checks, identity with bool), never duck typing, so
// objects that only look like numbers or sequences fall through to the
// collections.abc tests and then to refusal.
#include "convert.h"

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

// One conversion call: the nesting depth and the UTF-8 text of dict keys
// already seen. Documents repeat a few dozen key strings many thousands of
// times (json.loads even shares the str objects), so keys are encoded once
// per distinct object; the references held here keep each object, and so
// its address, alive for the whole call.
class ToJson {
 public:
  Result<JsonValue> convert(PyObject* obj) {
    if (obj == Py_None) return JsonValue();
    if (Py_TYPE(obj) == &PyBool_Type) return JsonValue(obj == Py_True);
    if (PyLong_Check(obj)) return convert_int(obj);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return nested(obj, &ToJson::convert_sequence);
    if (PyDict_Check(obj)) return nested(obj, &ToJson::convert_mapping);
    if (PyUnicode_Check(obj)) {
      std::string text;
      if (!utf8_of(obj, text)) return fetch_python_error();
      return JsonValue(std::move(text));
    }
    if (PyBytes_Check(obj)) return Error("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) {
      return Error("unexpected type: 'bytearray' object cannot be converted to 'PyBytes'");
    }
    if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (d == -1.0 && PyErr_Occurred()) return fetch_python_error();
      return JsonValue::from_double(d);
    }
    if (PyAnySet_Check(obj)) return nested(obj, &ToJson::convert_set);
    Error failure("");
    bool failed = false;
    if (is_instance_of_abc(obj, g_sequence_abc, "Sequence", failure, failed)) {
      return nested(obj, &ToJson::convert_sequence);
    }
    if (failed) return failure;
    if (is_instance_of_abc(obj, g_mapping_abc, "Mapping", failure, failed)) {
      return nested(obj, &ToJson::convert_mapping);
    }
    if (failed) return failure;
    return Error("unsupported type " + qualname_of_type(obj));
  }

 private:
  using Step = Result<JsonValue> (ToJson::*)(PyObject*);

  // Containers count towards the depth limit; a container holding itself
  // ends here too instead of recursing without end.
  Result<JsonValue> nested(PyObject* obj, Step step) {
    if (depth_ >= kMaxNesting) {
      return Error("value nested too deeply: containers may nest at most " +
                   std::to_string(kMaxNesting) + " levels");
    }
    ++depth_;
    Result<JsonValue> out = (this->*step)(obj);
    --depth_;
    return out;
  }

  Result<JsonValue> convert_int(PyObject* obj) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      return JsonValue::from_u64(u);
    }
    PyErr_Clear();
    const long long i = PyLong_AsLongLong(obj);
    if (!(i == -1 && PyErr_Occurred())) return JsonValue::from_i64(i);
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

  Result<JsonValue> convert_sequence(PyObject* obj) {
    const Py_ssize_t first = PySequence_Size(obj);
    if (first < 0) return fetch_python_error();
    const Py_ssize_t second = PySequence_Size(obj);
    if (second < 0) return fetch_python_error();
    if (first != second) {
      return Error("expected sequence of length " + std::to_string(first) + ", got " +
                   std::to_string(second));
    }
    JsonArray items;
    items.reserve(static_cast<std::size_t>(first));
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
      Result<JsonValue> value = convert(item.get());
      if (!value) return value.error();
      items.push_back(std::move(value).value());
    }
    return JsonValue(std::move(items));
  }

  Result<JsonValue> convert_set(PyObject* obj) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return fetch_python_error();
    JsonArray items;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      Result<JsonValue> value = convert(item.get());
      if (!value) return value.error();
      items.push_back(std::move(value).value());
    }
    if (PyErr_Occurred()) return fetch_python_error();
    return JsonValue(std::move(items));
  }

  Result<std::string> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
      return Error("unexpected type: '" + type_name_of(key) +
                   "' object cannot be converted to 'PyString'");
    }
    auto found = key_cache_.find(key);
    if (found != key_cache_.end()) return found->second;
    std::string text;
    if (!utf8_of(key, text)) return fetch_python_error();
    held_keys_.push_back(PyRef::borrow(key));
    key_cache_.emplace(key, text);
    return text;
  }

  Result<JsonValue> convert_mapping(PyObject* obj) {
    std::vector<JsonObject::Member> members;
    if (Py_TYPE(obj) == &PyDict_Type) {
      // A plain dict gives the same keys and values as its keys() and
      // values() lists, without building them.
      members.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
      Py_ssize_t pos = 0;
      PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
      while (PyDict_Next(obj, &pos, &borrowed_key, &borrowed_value)) {
        PyRef key = PyRef::borrow(borrowed_key), value = PyRef::borrow(borrowed_value);
        Result<JsonObject::Member> member = convert_member(key.get(), value.get());
        if (!member) return member.error();
        members.push_back(std::move(member).value());
      }
      return JsonValue(JsonObject(std::move(members)));
    }
    PyRef keys = PyRef::steal(PyMapping_Keys(obj));
    if (!keys) return fetch_python_error();
    PyRef values = PyRef::steal(PyMapping_Values(obj));
    if (!values) return fetch_python_error();
    const Py_ssize_t size = PyMapping_Size(obj);
    if (size < 0) return fetch_python_error();
    members.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef key = PyRef::steal(PySequence_GetItem(keys.get(), i));
      if (!key) return fetch_python_error();
      PyRef value = PyRef::steal(PySequence_GetItem(values.get(), i));
      if (!value) return fetch_python_error();
      Result<JsonObject::Member> member = convert_member(key.get(), value.get());
      if (!member) return member.error();
      members.push_back(std::move(member).value());
    }
    return JsonValue(JsonObject(std::move(members)));
  }

  Result<JsonObject::Member> convert_member(PyObject* key, PyObject* value) {
    Result<std::string> text = key_text(key);
    if (!text) return text.error();
    Result<JsonValue> converted = convert(value);
    if (!converted) return converted.error();
    return JsonObject::Member(std::move(text).value(), std::move(converted).value());
  }

  int depth_ = 0;
  std::unordered_map<PyObject*, std::string> key_cache_;
  std::vector<PyRef> held_keys_;
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

Result<JsonValue> to_json_value(PyObject* obj) { return ToJson().convert(obj); }

PyObject* to_python(const JsonValue& value) {
  const bool container = value.kind() == JsonKind::Array || value.kind() == JsonKind::Object;
  if (!container) return ToPython().convert(value);
  CollectorPause pause;
  return ToPython().convert(value);
}

}  // namespace tesmo::py
