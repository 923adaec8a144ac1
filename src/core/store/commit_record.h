// The commit record and its JSON form. A commit is stored as an ordinary
// object; this file only converts between the record and its value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/value/error.h"
#include "core/value/json.h"

namespace tesmo {

// The schema tag every commit is written with.
inline constexpr std::string_view COMMIT_SCHEMA = "tesmo.commit.1";

struct Author {
  std::string name;
  std::string email;

  friend bool operator==(const Author&, const Author&) = default;
};

// Fields in declaration order; the array form and the order of
// missing-field errors follow it.
struct Commit {
  std::string schema;
  std::string timeline;              // object id of the timeline snapshot
  std::vector<std::string> parents;  // object ids; empty for a root commit
  Author author;
  std::string timestamp;             // UTC, "%Y-%m-%dT%H:%M:%SZ"
  std::string message;

  friend bool operator==(const Commit&, const Commit&) = default;
};

// The object with exactly the six members (author with its two). No check
// is made on any field.
JsonValue commit_to_json(const Commit& commit);

// Decodes an object (members with other names ignored) or an array of the
// six fields in order. Errors: "missing field `<name>`" for the first absent
// field in declaration order; "invalid type: <found>, expected <what>" (a
// string, a sequence, struct Author, struct Commit; null is a wrong type);
// "invalid length <n>, expected struct Commit with 6 elements" (or struct
// Author with 2 elements) for an array of any other length. The schema value
// is not checked here.
Result<Commit> commit_from_json(const JsonValue& value);

}  // namespace tesmo
