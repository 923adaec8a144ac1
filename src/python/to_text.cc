// Python objects to canonical text: the fast path for plain documents
// (plain.cc), and for anything else the walk with a sink that writes the
// text as it goes.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/convert.h"
#include "python/stable_sort.h"
#include "python/walk.h"

namespace tesmo::py {

namespace {

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

}  // namespace

Result<TextBuffer> to_canonical_text(PyObject* obj) {
  // Documents committed one after another are mostly of one size; room for
  // the last one's text up front saves growing through the heap to it.
  // Room not written to costs address space only.
  // The hint is capped: where address space is counted as memory (strict
  // overcommit, RLIMIT_AS), a small commit after a huge one must not fail.
  static constexpr std::size_t kMaxSizeHint = std::size_t{64} << 20;
  static std::size_t last_size = 0;
  {
    TextBuffer text;
    text.make_room(std::min(last_size + last_size / 8, kMaxSizeHint));
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

}  // namespace tesmo::py
