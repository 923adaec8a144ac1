// Checks on objects that arrive from another repository, made before any of
// them is stored. The store itself never re-hashes what it reads: its
// objects were written by this code, from canonical text. Text fetched from
// elsewhere earns the same trust only once it is shown to be canonical JSON
// that hashes to the id naming it, and a commit record only once its fields
// have the forms this code writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/store/commit_record.h"
#include "core/value/error.h"

namespace tesmo {

// "sha256:" followed by exactly 64 lower-case hexadecimal digits.
bool is_full_id(std::string_view id);

// Whether text is exactly canonical_json of the value it reads as: the same
// answer as comparing canonical_json(parse_json(text)) with text, reached
// without building the value, in memory that does not grow with the text.
bool is_canonical_json(std::string_view text);

// The most text a commit record from elsewhere may hold. A record names a
// timeline, its parents, an author, a time and a message: a megabyte is
// far beyond any real one, and it bounds the tree its check builds.
inline constexpr std::size_t kMaxRecordText = std::size_t{1} << 20;

// Whether `text` is a timestamp of the stored form, "%Y-%m-%dT%H:%M:%SZ",
// with a month, day, hour, minute and second in range.
bool is_stored_timestamp(std::string_view text);

// The text is the canonical JSON text of some value and its SHA-256 is
// `id`. Failures: "object " + id + " is not a full object id" (for a
// malformed id), "object " + id + " holds text whose id is " + the actual
// id, "object " + id + " is not canonical JSON" (wrapping the parse error
// when it does not parse at all).
Status verify_object_text(std::string_view text, std::string_view id);

// At most kMaxRecordText bytes, verify_object_text, then the text must be a
// commit record as this code
// writes one: an object of exactly the six fields, the schema "tesmo.commit.1", a timeline id and
// parent ids of full form, no parent named twice, a stored timestamp, and
// UTF-8 throughout (which the JSON reader already ensures). Failures:
// those of verify_object_text, then "object " + id + " is not a commit
// record" wrapping the field error, "commit " + id + " is not a record as
// tesmo writes one (...)", or "commit " + id + " has " + what is wrong.
Result<Commit> verify_commit_text(std::string_view text, std::string_view id);

}  // namespace tesmo
