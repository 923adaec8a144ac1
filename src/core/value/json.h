// The JSON value model shared by the whole core, its canonical text form and
// the reader for stored text. A value owns its children and copies deeply.
// Objects keep their members in ascending byte order of the keys at all
// times, so everything that walks them sees one order.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/value/error.h"
#include "core/value/text_buffer.h"

namespace tesmo {

// A JSON number that remembers whether it was an integer. The integer 1 and
// the float 1.0 are different numbers with different canonical texts.
class JsonNumber {
 public:
  enum class Kind { Unsigned, Negative, Float };

  static JsonNumber from_u64(std::uint64_t v) { return JsonNumber(Kind::Unsigned, v, 0, 0.0); }
  // Unsigned when v >= 0, Negative otherwise.
  static JsonNumber from_i64(std::int64_t v) {
    return v >= 0 ? from_u64(static_cast<std::uint64_t>(v)) : JsonNumber(Kind::Negative, 0, v, 0.0);
  }
  // A Float; nullopt when v is NaN or infinite, which no number may hold.
  static std::optional<JsonNumber> from_double(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return JsonNumber(Kind::Float, 0, 0, v);
  }

  Kind kind() const { return kind_; }
  // The stored value; each is meaningful only for its own kind.
  std::uint64_t as_u64() const { return u_; }
  std::int64_t as_i64() const { return i_; }
  double as_double() const { return d_; }
  // The value as a double, whatever the kind (large integers round).
  double to_double() const {
    switch (kind_) {
      case Kind::Unsigned: return static_cast<double>(u_);
      case Kind::Negative: return static_cast<double>(i_);
      case Kind::Float: break;
    }
    return d_;
  }

  // Same kind and same value; floats compare by bits, so 0.0 != -0.0.
  friend bool operator==(const JsonNumber& a, const JsonNumber& b) {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
      case Kind::Unsigned: return a.u_ == b.u_;
      case Kind::Negative: return a.i_ == b.i_;
      case Kind::Float: break;
    }
    return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
  }

 private:
  JsonNumber(Kind kind, std::uint64_t u, std::int64_t i, double d) : kind_(kind), u_(u), i_(i), d_(d) {}
  Kind kind_;
  std::uint64_t u_;
  std::int64_t i_;
  double d_;
};

struct JsonNull {
  friend bool operator==(JsonNull, JsonNull) { return true; }
};

struct JsonValue;
using JsonArray = std::vector<JsonValue>;

// A map from string keys to values with unique keys, held as a vector sorted
// by key bytes (std::string's < compares bytes as unsigned char). Appending
// keys in ascending order, as the reader does for canonical text, costs O(1)
// per member; any other insert costs a binary search plus a shift.
class JsonObject {
 public:
  using Member = std::pair<std::string, JsonValue>;
  using const_iterator = std::vector<Member>::const_iterator;

  JsonObject() = default;
  // Takes members in any order: sorts them stably by key and keeps the last
  // member of each run of equal keys, as repeated inserts would. O(n log n).
  explicit JsonObject(std::vector<Member> members);
  JsonObject(std::initializer_list<Member> members);
  // Takes members already in ascending key order with no key twice, as
  // they are; for builders that order them themselves.
  static JsonObject from_sorted(std::vector<Member> members);

  // Adds the member, or replaces the value of the member with this key.
  void insert(std::string key, JsonValue value);

  // The value under `key`, or nullptr.
  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);

  std::size_t size() const;
  bool empty() const;
  void reserve(std::size_t n);
  // Members in ascending key order. Keys are not mutable through iteration.
  const_iterator begin() const { return members_.begin(); }
  const_iterator end() const { return members_.end(); }

  friend bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  std::vector<Member> members_;
};

enum class JsonKind { Null, Bool, Number, String, Array, Object };

struct JsonValue {
  // The alternatives in JsonKind order.
  using Data = std::variant<JsonNull, bool, JsonNumber, std::string, JsonArray, JsonObject>;
  Data data;

  JsonValue() = default;  // Null
  JsonValue(JsonNull) {}
  // Only a real bool becomes Bool; pointers and integers do not convert here.
  template <class B, std::enable_if_t<std::is_same_v<B, bool>, int> = 0>
  JsonValue(B b) : data(b) {}
  // Any integer type: Unsigned or Negative by value.
  template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
  JsonValue(I i) : data(std::is_signed_v<I> ? JsonNumber::from_i64(static_cast<std::int64_t>(i))
                                            : JsonNumber::from_u64(static_cast<std::uint64_t>(i))) {}
  // A Float, or Null when the double is not finite.
  template <class F, std::enable_if_t<std::is_floating_point_v<F>, int> = 0>
  JsonValue(F f) : JsonValue(from_double(static_cast<double>(f))) {}
  JsonValue(JsonNumber n) : data(n) {}
  JsonValue(std::string s) : data(std::move(s)) {}
  JsonValue(std::string_view s) : data(std::string(s)) {}
  JsonValue(const char* s) : data(std::string(s)) {}
  JsonValue(JsonArray a) : data(std::move(a)) {}
  JsonValue(JsonObject o) : data(std::move(o)) {}

  static JsonValue from_u64(std::uint64_t v) { return JsonValue(JsonNumber::from_u64(v)); }
  static JsonValue from_i64(std::int64_t v) { return JsonValue(JsonNumber::from_i64(v)); }
  // A Float, or Null when v is NaN or infinite.
  static JsonValue from_double(double v) {
    std::optional<JsonNumber> n = JsonNumber::from_double(v);
    return n ? JsonValue(*n) : JsonValue();
  }

  JsonKind kind() const { return static_cast<JsonKind>(data.index()); }
  bool is_null() const { return kind() == JsonKind::Null; }

  // The content when the value has that kind, nullptr otherwise.
  const bool* get_bool() const { return std::get_if<bool>(&data); }
  const JsonNumber* get_number() const { return std::get_if<JsonNumber>(&data); }
  const std::string* get_string() const { return std::get_if<std::string>(&data); }
  const JsonArray* get_array() const { return std::get_if<JsonArray>(&data); }
  JsonArray* get_array() { return std::get_if<JsonArray>(&data); }
  const JsonObject* get_object() const { return std::get_if<JsonObject>(&data); }
  JsonObject* get_object() { return std::get_if<JsonObject>(&data); }

  friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.data == b.data; }
};

// JsonObject members that need JsonValue complete (some compilers
// instantiate vector members as soon as they see them). insert and find are
// inline because the reader calls insert once per member.

inline JsonObject JsonObject::from_sorted(std::vector<Member> members) {
  JsonObject object;
  object.members_ = std::move(members);
  return object;
}

inline std::size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }
inline void JsonObject::reserve(std::size_t n) { members_.reserve(n); }

inline void JsonObject::insert(std::string key, JsonValue value) {
  if (members_.empty() || members_.back().first < key) {
    members_.emplace_back(std::move(key), std::move(value));
    return;
  }
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

inline const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

inline JsonValue* JsonObject::find(std::string_view key) {
  return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

inline bool operator==(const JsonObject& a, const JsonObject& b) { return a.members_ == b.members_; }

// Open containers the reader accepts at once, the outermost included.
inline constexpr std::size_t kMaxJsonNesting = 127;

// The canonical text: no whitespace, members in key order, the fixed integer
// and float forms, minimal string escapes. Never fails. Equal values always
// give byte-equal text, which is what object ids are computed from.
std::string canonical_json(const JsonValue& value);

// The canonical text of a single string or number, appended to `out`: the
// pieces canonical_json is made of, for writers that walk other trees.
void append_canonical_string(std::string& out, std::string_view text);
void append_canonical_string(TextBuffer& out, std::string_view text);
void append_canonical_number(std::string& out, const JsonNumber& number);
void append_canonical_number(TextBuffer& out, const JsonNumber& number);

// Reads one JSON text (UTF-8, RFC 8259) followed by nothing but whitespace.
// Integers become Unsigned or Negative when they fit, Float otherwise; "-0"
// is the Float -0.0. A later duplicate key replaces an earlier one. At most
// kMaxJsonNesting containers may be open. The error message names what was
// wrong and the byte offset where it was found.
Result<JsonValue> parse_json(std::string_view text);

}  // namespace tesmo
