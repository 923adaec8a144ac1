// The fast paths for plain documents: exactly dict (with exact str keys),
// list, tuple, str, int, float, bool and None, the shape of everything that
// json.loads, orjson or OpenTimelineIO's to_json_string give. Such a walk
// calls nothing that can run the caller's code, free an object or let
// another thread in, so it holds borrowed references only, and it never
// raises: any value it does not take (another type, an int beyond 64 bits,
// a str with lone surrogates, nesting past the limit, a list or tuple too
// long to store) ends it with false, and the caller converts the document
// the general way, which gives the same result or the same error.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/convert.h"
#include "python/pyref.h"
#include "python/text.h"

namespace tesmo::py {
namespace {

// The UTF-8 of a str, borrowed from the str itself where the interpreter
// lends it; false (and no exception pending) when it cannot be encoded.
class Utf8Reader {
 public:
  bool read(PyObject* str, std::string_view& out) {
    if (!utf8_view(str, out, keep_)) {
      PyErr_Clear();
      return false;
    }
    return true;
  }

 private:
  PyRef keep_;  // the encoded bytes, on interpreters that do not lend them
};

// A member name, quoted and followed by ':', as the canonical text has it,
// and its bare bytes, which order the members.
struct Key {
  std::string bare;
  std::string quoted;
};

// The keys of one call by the address of their str. Documents repeat a few
// dozen key objects many thousands of times (json.loads and OpenTimelineIO
// share them), so each is encoded once; a small table indexed by address
// answers most lookups before the map does. No object is freed during a
// plain walk, so an address names one key for the whole call.
class KeyTable {
 public:
  const Key* find(PyObject* key, Utf8Reader& utf8) {
    Recent& recent = recent_[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kRecent];
    if (recent.object == key) return recent.key;
    auto found = keys_.find(key);
    if (found == keys_.end()) {
      std::string_view bytes;
      if (!utf8.read(key, bytes)) return nullptr;
      Key text{std::string(bytes), {}};
      append_canonical_string(text.quoted, bytes);
      text.quoted.push_back(':');
      found = keys_.emplace(key, std::move(text)).first;  // nodes never move
    }
    recent = {key, &found->second};
    return &found->second;
  }

 private:
  struct Recent {
    PyObject* object = nullptr;
    const Key* key = nullptr;
  };
  static constexpr std::size_t kRecent = 256;
  Recent recent_[kRecent];
  std::unordered_map<PyObject*, Key> keys_;
};

// The ascending order of a dict's keys, remembered by the sequence of key
// objects in the dict's own order: the mappings of a document come in a
// handful of shapes (every time value has the same three keys, inserted in
// the same order), so most dicts are put in order by one lookup instead of
// a sort. Direct-mapped: a clash replaces the older shape.
class ShapeCache {
 public:
  static constexpr std::size_t kMaxKeys = 16;

  // The order for these keys, from the cache or sorted now; valid until
  // the next call.
  const std::uint8_t* order(PyObject* const* objects, const Key* const* keys, std::size_t n) {
    std::uint64_t h = n;
    for (std::size_t i = 0; i < n; ++i) {
      h = (h ^ (reinterpret_cast<std::uintptr_t>(objects[i]) >> 4)) * 0x9E3779B97F4A7C15u;
    }
    if (!shapes_) shapes_ = std::make_unique<Shape[]>(kShapes);
    Shape& shape = shapes_[h >> (64 - kShapeBits)];
    if (shape.n == n && std::equal(objects, objects + n, shape.objects)) return shape.order;
    shape.n = static_cast<std::uint32_t>(n);
    std::copy(objects, objects + n, shape.objects);
    for (std::size_t i = 0; i < n; ++i) shape.order[i] = static_cast<std::uint8_t>(i);
    // Insertion sort: a dict's keys are unique, so no two compare equal.
    for (std::size_t i = 1; i < n; ++i) {
      const std::uint8_t moving = shape.order[i];
      std::size_t j = i;
      for (; j > 0 && keys[moving]->bare < keys[shape.order[j - 1]]->bare; --j) {
        shape.order[j] = shape.order[j - 1];
      }
      shape.order[j] = moving;
    }
    return shape.order;
  }

 private:
  struct Shape {
    std::uint32_t n = 0;
    PyObject* objects[kMaxKeys];
    std::uint8_t order[kMaxKeys];
  };
  static constexpr int kShapeBits = 9;
  static constexpr std::size_t kShapes = std::size_t{1} << kShapeBits;
  std::unique_ptr<Shape[]> shapes_;
};

// Writes the canonical text of a plain document, members in key order as
// they are walked, or, without an output, only checks that it would.
class PlainWalk {
 public:
  explicit PlainWalk(TextBuffer* out) : out_(out) {}
  void set_output(TextBuffer* out) { out_ = out; }

  bool value(PyObject* obj, int depth) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return string(obj);
    if (type == &PyFloat_Type) return real(obj);
    if (type == &PyDict_Type) return mapping(obj, depth);
    if (type == &PyLong_Type) return integer(obj);
    if (type == &PyList_Type || type == &PyTuple_Type) return sequence(obj, depth);
    if (obj == Py_None) return put("null");
    if (type == &PyBool_Type) return put(obj == Py_True ? "true" : "false");
    // Subclasses of int, float and str convert by their value, which runs
    // none of their code; subclasses of containers are not plain.
    if (PyLong_Check(obj)) return integer(obj);
    if (PyFloat_Check(obj)) return real(obj);
    if (PyUnicode_Check(obj)) return string(obj);
    return false;
  }

 private:
  // The walk's time goes mostly to waiting for objects to come from memory:
  // a document's objects lie scattered over the heap. Asking for the next
  // few objects' first bytes (their type, and a short str's text) before
  // they are needed lets those waits overlap.
  static constexpr Py_ssize_t kAhead = 4;
  static void prefetch(PyObject* obj) { __builtin_prefetch(obj); }

  bool put(std::string_view text) {
    if (out_) out_->append(text);
    return true;
  }

  bool string(PyObject* obj) {
    std::string_view text;
    if (!utf8_.read(obj, text)) return false;
    if (out_) append_canonical_string(*out_, text);
    return true;
  }

  bool integer(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
      // Only non-negative ints go up to 2^64 - 1.
      if (overflow < 0) return false;
      const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      if (out_) append_canonical_number(*out_, JsonNumber::from_u64(u));
      return true;
    }
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    if (out_) append_canonical_number(*out_, JsonNumber::from_i64(v));
    return true;
  }

  bool real(PyObject* obj) {
    if (!out_) return true;
    const double d = PyFloat_AsDouble(obj);
    if (std::optional<JsonNumber> n = JsonNumber::from_double(d)) {
      append_canonical_number(*out_, *n);
    } else {
      out_->append("null");
    }
    return true;
  }

  bool sequence(PyObject* obj, int depth) {
    if (depth >= kMaxNesting) return false;
    const bool list = Py_TYPE(obj) == &PyList_Type;
    const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
    if (static_cast<std::size_t>(n) > max_sequence_length()) return false;
    const auto item_at = [&](Py_ssize_t i) { return list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i); };
    // Items are asked for a few places ahead of their turn (see prefetch).
    for (Py_ssize_t i = 0; i < std::min(n, kAhead); ++i) prefetch(item_at(i));
    if (out_) out_->push_back('[');
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (out_ && i > 0) out_->push_back(',');
      if (i + kAhead < n) prefetch(item_at(i + kAhead));
      if (!value(item_at(i), depth + 1)) return false;
    }
    if (out_) out_->push_back(']');
    return true;
  }

  bool mapping(PyObject* obj, int depth) {
    if (depth >= kMaxNesting) return false;
    // The members of the open dicts live on one stack, innermost last.
    const std::size_t base = members_.size();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *item = nullptr;
    while (PyDict_Next(obj, &pos, &key, &item)) {
      // A key of a subclass of str may compare in its own way.
      if (Py_TYPE(key) != &PyUnicode_Type) return drop(base);
      const Key* text = keys_.find(key, utf8_);
      if (text == nullptr) return drop(base);
      members_.push_back({key, item, text});
      prefetch(item);
    }
    const std::size_t n = members_.size() - base;
    bool ok = true;
    if (!out_) {
      for (std::size_t i = 0; i < n && ok; ++i) ok = value(members_[base + i].item, depth + 1);
    } else {
      out_->push_back('{');
      if (n <= ShapeCache::kMaxKeys) {
        PyObject* objects[ShapeCache::kMaxKeys];
        const Key* keys[ShapeCache::kMaxKeys];
        for (std::size_t i = 0; i < n; ++i) {
          objects[i] = members_[base + i].key;
          keys[i] = members_[base + i].text;
        }
        // A copy: the members' values may be dicts whose shapes take over
        // this one's slot in the cache while they are written.
        std::uint8_t order[ShapeCache::kMaxKeys];
        std::copy_n(shapes_.order(objects, keys, n), n, order);
        for (std::size_t k = 0; k < n && ok; ++k) ok = member(base + order[k], k, depth);
      } else {
        std::sort(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end(),
                  [](const Member& a, const Member& b) { return a.text->bare < b.text->bare; });
        for (std::size_t k = 0; k < n && ok; ++k) ok = member(base + k, k, depth);
      }
      out_->push_back('}');
    }
    members_.resize(base);
    return ok;
  }

  // The member at members_[at], the k-th written. members_ may grow while
  // its value is written, so it is read by index.
  bool member(std::size_t at, std::size_t k, int depth) {
    if (k > 0) out_->push_back(',');
    out_->append(members_[at].text->quoted);
    return value(members_[at].item, depth + 1);
  }

  bool drop(std::size_t base) {
    members_.resize(base);
    return false;
  }

  struct Member {
    PyObject* key;
    PyObject* item;
    const Key* text;
  };

  TextBuffer* out_;
  Utf8Reader utf8_;
  KeyTable keys_;
  ShapeCache shapes_;
  std::vector<Member> members_;
};

}  // namespace

bool plain_canonical_text(PyObject* obj, TextBuffer& out) { return PlainWalk(&out).value(obj, 0); }

bool plain_converts(PyObject* obj) { return PlainWalk(nullptr).value(obj, 0); }

struct PlainTextWriter::Walk : PlainWalk {
  Walk() : PlainWalk(nullptr) {}
};

PlainTextWriter::PlainTextWriter() : walk_(std::make_unique<Walk>()) {}
PlainTextWriter::~PlainTextWriter() = default;

bool PlainTextWriter::write(PyObject* obj, TextBuffer& out) {
  walk_->set_output(&out);
  const bool written = walk_->value(obj, 0);
  walk_->set_output(nullptr);
  return written;
}

}  // namespace tesmo::py
