// Python objects to a JsonValue tree: the walk with a sink that builds the
// tree in place.
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/stable_sort.h"
#include "python/walk.h"

namespace tesmo::py {

namespace {

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

}  // namespace

Result<JsonValue> to_json_value(PyObject* obj) {
  ValueSink sink;
  JsonValue root;
  if (Status s = Walker<ValueSink>(sink).walk(obj, &root); !s) return s.error();
  return root;
}

}  // namespace tesmo::py
