// Commit records to and from JSON values. Decoding reports the first
// problem only: a wrong-typed member as members are met in key order, then
// the first absent field in declaration order.
#include "core/store/commit_record.h"

#include <algorithm>
#include <iterator>

namespace tesmo {
namespace {

// What a value is, for "invalid type" messages.
std::string describe(const JsonValue& value) {
  switch (value.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return std::string("boolean `") + (*value.get_bool() ? "true" : "false") + "`";
    case JsonKind::Number:
      return (value.get_number()->kind() == JsonNumber::Kind::Float ? "floating point `" : "integer `") +
             canonical_json(value) + "`";
    case JsonKind::String: return "string " + canonical_json(value);
    case JsonKind::Array: return "sequence";
    case JsonKind::Object: return "map";
  }
  return "value";
}

Error invalid_type(const JsonValue& found, std::string_view expected) {
  return Error("invalid type: " + describe(found) + ", expected " + std::string(expected));
}

Error invalid_length(std::size_t n, std::string_view expected) {
  return Error("invalid length " + std::to_string(n) + ", expected " + std::string(expected));
}

Error missing_field(std::string_view name) { return Error("missing field `" + std::string(name) + "`"); }

Status decode(const JsonValue& value, std::string& out) {
  const std::string* s = value.get_string();
  if (!s) return invalid_type(value, "a string");
  out = *s;
  return {};
}

Status decode(const JsonValue& value, std::vector<std::string>& out) {
  const JsonArray* items = value.get_array();
  if (!items) return invalid_type(value, "a sequence");
  out.clear();
  out.reserve(items->size());
  for (const JsonValue& item : *items) {
    if (Status s = decode(item, out.emplace_back()); !s) return s;
  }
  return {};
}

Status decode(const JsonValue& value, Author& out);

// Decodes the array form: element i into field i, exactly `count` elements.
template <class... Fields>
Status decode_elements(const JsonArray& items, std::string_view expected, Fields&... fields) {
  std::size_t i = 0;
  Status status;
  const auto one = [&](auto& field) {
    if (!status) return;
    if (i >= items.size()) {
      status = invalid_length(items.size(), expected);
      return;
    }
    status = decode(items[i++], field);
  };
  (one(fields), ...);
  if (!status) return status;
  if (items.size() > sizeof...(Fields)) return invalid_length(items.size(), expected);
  return {};
}

Status decode(const JsonValue& value, Author& out) {
  if (const JsonArray* items = value.get_array()) {
    return decode_elements(*items, "struct Author with 2 elements", out.name, out.email);
  }
  const JsonObject* object = value.get_object();
  if (!object) return invalid_type(value, "struct Author");
  bool has_name = false, has_email = false;
  for (const auto& [key, member] : *object) {
    if (key == "name") {
      if (Status s = decode(member, out.name); !s) return s;
      has_name = true;
    } else if (key == "email") {
      if (Status s = decode(member, out.email); !s) return s;
      has_email = true;
    }
  }
  if (!has_name) return missing_field("name");
  if (!has_email) return missing_field("email");
  return {};
}

}  // namespace

JsonValue commit_to_json(const Commit& commit) {
  JsonArray parents(commit.parents.begin(), commit.parents.end());
  JsonObject author;
  author.insert("email", commit.author.email);
  author.insert("name", commit.author.name);
  // Inserted in key order, so each insert appends.
  JsonObject object;
  object.reserve(6);
  object.insert("author", std::move(author));
  object.insert("message", commit.message);
  object.insert("parents", std::move(parents));
  object.insert("schema", commit.schema);
  object.insert("timeline", commit.timeline);
  object.insert("timestamp", commit.timestamp);
  return object;
}

Result<Commit> commit_from_json(const JsonValue& value) {
  Commit c;
  if (const JsonArray* items = value.get_array()) {
    Status s = decode_elements(*items, "struct Commit with 6 elements", c.schema, c.timeline, c.parents,
                               c.author, c.timestamp, c.message);
    if (!s) return s.error();
    return c;
  }
  const JsonObject* object = value.get_object();
  if (!object) return invalid_type(value, "struct Commit");

  // Fields in declaration order; seen[i] records that kFields[i] was present.
  static constexpr std::string_view kFields[] = {"schema",  "timeline",  "parents",
                                                 "author", "timestamp", "message"};
  bool seen[std::size(kFields)] = {};
  for (const auto& [key, member] : *object) {
    const auto* name = std::find(std::begin(kFields), std::end(kFields), key);
    if (name == std::end(kFields)) continue;  // unknown members are ignored
    const std::size_t field = static_cast<std::size_t>(name - std::begin(kFields));
    Status s;
    switch (field) {
      case 0: s = decode(member, c.schema); break;
      case 1: s = decode(member, c.timeline); break;
      case 2: s = decode(member, c.parents); break;
      case 3: s = decode(member, c.author); break;
      case 4: s = decode(member, c.timestamp); break;
      default: s = decode(member, c.message); break;
    }
    if (!s) return s.error();
    seen[field] = true;
  }
  for (std::size_t field = 0; field < std::size(kFields); ++field) {
    if (!seen[field]) return missing_field(kFields[field]);
  }
  return c;
}

}  // namespace tesmo
