// The JSON reader building JsonValue trees.
#include "core/value/json.h"
#include "core/value/json_parser.h"

namespace tesmo {
namespace {

class ValueBuilder {
 public:
  using Value = JsonValue;
  // Object members are gathered in arrival order and made into a JsonObject
  // when the object closes: inserting each member at its sorted place as it
  // arrives would shift the members after it, a cost quadratic in the member
  // count when keys come in descending order.
  struct Container {
    bool is_object;
    JsonArray array;
    std::vector<JsonObject::Member> members;
    bool keys_ascending = true;  // each key so far above the one before
    std::string key;             // of the member whose value comes next
  };

  Value null() { return JsonValue(); }
  Value boolean(bool b) { return JsonValue(b); }
  Result<Value> number(JsonNumber n) { return JsonValue(n); }
  Result<Value> string(std::string_view text) { return JsonValue(std::string(text)); }

  Container open(bool is_object) { return Container{is_object, {}, {}, true, {}}; }
  Status key(Container& object, std::string_view key) {
    object.key.assign(key);
    return {};
  }
  void add(Container& object, Value&& value) {
    if (!object.members.empty() && !(object.members.back().first < object.key)) object.keys_ascending = false;
    object.members.emplace_back(std::move(object.key), std::move(value));
  }
  void push(Container& array, Value&& value) { array.array.push_back(std::move(value)); }

  // Keys in ascending order, as canonical text has them, are taken as they
  // are; any other order is sorted once, the last of equal keys kept.
  Result<Value> close(Container&& c) {
    if (!c.is_object) return JsonValue(std::move(c.array));
    if (!c.keys_ascending) return JsonValue(JsonObject(std::move(c.members)));
    return JsonValue(JsonObject::from_sorted(std::move(c.members)));
  }
};

}  // namespace

Result<JsonValue> parse_json(std::string_view text) {
  ValueBuilder builder;
  return json_parser::parse(text, builder);
}

}  // namespace tesmo
