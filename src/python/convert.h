// Conversion between Python objects and JSON, one path per direction:
// walk.h holds the walk over a caller's object that to_value.cc (to a
// JsonValue) and to_text.cc (to canonical text, after plain.cc's fast path
// for plain documents) share; to_python.cc builds Python objects from JSON
// text or from a JsonValue with one builder.
#pragma once

#include <Python.h>

#include <memory>

#include "core/value/error.h"
#include "core/value/json.h"
#include "core/store/object.h"
#include "core/value/text_buffer.h"
#include "python/pyref.h"

#include <cstddef>
#include <string_view>

namespace tesmo::py {

// Containers may nest at most this deep, the depth the JSON reader accepts,
// so every value that converts can be stored and read back.
inline constexpr int kMaxNesting = 127;

// The most items a sequence may have. An array of n items has a canonical
// text of at least 2n + 1 bytes (a byte per item, the commas between them,
// the brackets), and no object may hold more than max_object_size() bytes,
// so a longer one could never be stored: it is refused as soon as its
// length is known, before anything is allocated for it.
inline std::size_t max_sequence_length() {
  const std::size_t most = max_object_size();
  return most == 0 ? 0 : (most - 1) / 2;
}

// Converts a caller's object. Accepts None, bool, int within the 64-bit
// ranges, float (NaN and infinities become null), str, list, tuple, dict,
// set, frozenset, and collections.abc Sequence and Mapping implementations.
// A refusal or a Python exception raised by the caller's objects comes back
// as an Error whose message is the text TesmoError carries, and no Python
// exception is left pending; except an exception that passes through (see
// errors.h), which is left pending, the Error being Error::pending().
Result<JsonValue> to_json_value(PyObject* obj);

// The canonical text (canonical_json) of the value to_json_value would give,
// written directly from the objects, with the same checks and messages.
Result<TextBuffer> to_canonical_text(PyObject* obj);

// The fast paths for plain documents: built only of None, bool, int, float,
// str, and exactly list, tuple and dict with keys of type str exactly, so
// that reading them runs none of the caller's code. They never raise.
// plain_canonical_text appends what to_canonical_text gives and returns
// true, or returns false, leaving `out` in any state, for anything it does
// not take; plain_converts is true when the object is plain and converts,
// false when it is not plain or holds a value that does not convert. For a
// plain object that does not convert, to_json_value gives the error and
// runs none of the caller's code either.
bool plain_canonical_text(PyObject* obj, TextBuffer& out);
bool plain_converts(PyObject* obj);

// plain_canonical_text for many small values: the caches of key texts and
// dict shapes that one call builds are kept from one value to the next.
class PlainTextWriter {
 public:
  PlainTextWriter();
  ~PlainTextWriter();
  PlainTextWriter(const PlainTextWriter&) = delete;
  PlainTextWriter& operator=(const PlainTextWriter&) = delete;
  bool write(PyObject* obj, TextBuffer& out);

 private:
  struct Walk;
  std::unique_ptr<Walk> walk_;
};

// New Python objects straight from JSON text: what to_python of parse_json
// of the text gives, without the value in between. The parse error, or
// Error::pending() when the interpreter fails to allocate.
Result<PyRef> python_from_json(std::string_view text);

// New Python objects for a value: dicts iterate their keys in ascending
// order, lists are allocated once at their final length, each distinct key
// text is one str. Error::pending() when the interpreter fails to allocate.
Result<PyRef> to_python(const JsonValue& value);

}  // namespace tesmo::py
