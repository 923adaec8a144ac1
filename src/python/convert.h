// Conversion between Python objects and JSON values, both directions.
#pragma once

#include <Python.h>

#include "core/error.h"
#include "core/json.h"
#include "core/text_buffer.h"

#include <string_view>

namespace tesmo::py {

// Containers may nest at most this deep, the depth the JSON reader accepts,
// so every value that converts can be stored and read back.
inline constexpr int kMaxNesting = 127;

// Converts a caller's object. Accepts None, bool, int within the 64-bit
// ranges, float (NaN and infinities become null), str, list, tuple, dict,
// set, frozenset, and collections.abc Sequence and Mapping implementations.
// A refusal or a Python exception raised by the caller's objects comes back
// as an Error whose message is the text TesmoError carries; no Python
// exception is left pending.
Result<JsonValue> to_json_value(PyObject* obj);

// Whether the object is plain: built only of None, bool, int, float, str,
// and exactly list, tuple and dict with keys of type str exactly, so that
// reading it can run none of the caller's code. True when it is plain and
// converts; the conversion's error when it is plain up to a value that does
// not convert; false when it is not plain, found before any of the caller's
// code ran. Builds nothing.
Result<bool> check_plain(PyObject* obj);

// The canonical text (canonical_json) of the value to_json_value would give,
// written directly from the objects, with the same checks and messages.
Result<TextBuffer> to_canonical_text(PyObject* obj);

// The fast paths for plain documents (see check_plain), which run none of
// the caller's code and never raise. plain_canonical_text appends what
// to_canonical_text gives and returns true, or returns false, leaving
// `out` in any state, for anything it does not take; plain_converts is true
// when check_plain would be, false when check_plain must decide.
bool plain_canonical_text(PyObject* obj, TextBuffer& out);
bool plain_converts(PyObject* obj);

// New Python objects straight from JSON text: what to_python of parse_json
// of the text gives, without the value in between. A new reference, or the
// parse error; when the interpreter fails to allocate, an error with its
// exception set.
Result<PyObject*> python_from_json(std::string_view text);

// New Python objects for a value: dicts iterate their keys in ascending
// order, lists are allocated once at their final length. Returns a new
// reference, or nullptr with an exception set (only when memory runs out).
PyObject* to_python(const JsonValue& value);

}  // namespace tesmo::py
