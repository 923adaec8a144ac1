// The object store: values named by the SHA-256 of their canonical text and
// kept one per gzip file under objects/<2 digits>/<62 digits>. The store
// keeps no state; each call stands alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/value/error.h"
#include "core/value/json.h"

namespace tesmo {


// The most bytes of text one object may hold. Reading stops an object that
// inflates past it, so a small damaged or hostile file cannot take more
// memory than this; writing refuses a larger text, which no read would
// take back. A 100,000-clip timeline is about 85 MB of text.
inline constexpr std::size_t kDefaultMaxObjectSize = std::size_t{1} << 30;

// The limit in force (kDefaultMaxObjectSize unless set), for every later
// read and write of the process.
std::size_t max_object_size();
void set_max_object_size(std::size_t bytes);

// The id of an already built canonical text (the same digest, without
// building the text again).
std::string hash_text(std::string_view canonical_text);

// objects_dir / first two bytes of the body / rest of the body. Only the
// prefix and length are checked: "hash missing `sha256:` prefix: " + id, or
// "hash body too short: " + body when the body is under 3 bytes; a body
// whose first two bytes are not whole UTF-8 characters is also refused.
// Touches no file.
Result<std::string> object_path(std::string_view objects_dir, std::string_view id);

// Whether an object file is present: its metadata can be read, following
// symbolic links.
bool object_exists(const std::string& path);

// Stores the value and returns its id. An object already present is not
// written again nor read. Otherwise the gzip file is written beside its final
// path under a name starting with "." and renamed into place, so a reader
// never sees a part, and a failed write leaves nothing behind. Messages:
// "creating " + fan-out directory, "creating " + object path (the temporary
// file could not be made), or the OS error text of a failed write.
Result<std::string> write_object(const std::string& objects_dir, const JsonValue& value);

// The same for a value given as its canonical text, which the caller
// guarantees (canonical_json of some value); the text is stored as given.
Result<std::string> write_object_text(const std::string& objects_dir, std::string_view canonical_text);

// The text stored under `id`, not parsed. Messages: the object_path
// errors, "opening " + path (also for a file that is not a regular one),
// the gzip errors of read_gzip, and "object " + id + " inflates past " + the
// limit + " bytes, the most an object may hold".
Result<TextBuffer> read_object_text(const std::string& objects_dir, std::string_view id);

// The failure of stored text under `id` that does not parse as JSON, for
// every reader of object text: "parsing object " + id, `cause` kept.
Error object_parse_error(const Error& cause, std::string_view id);

// Loads the value stored under `id`. Messages: the object_path errors,
// "opening " + path, the gzip errors of read_gzip, "parsing object " + id
// when the content is not JSON the reader accepts. The content is not hashed
// again.
Result<JsonValue> read_object(const std::string& objects_dir, std::string_view id);

}  // namespace tesmo
