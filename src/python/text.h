// Moving text across the boundary: str objects to UTF-8 bytes and back.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "python/pyref.h"

namespace tesmo::py {

// The UTF-8 bytes of a str. False with the interpreter's exception set
// (UnicodeEncodeError for lone surrogates).
bool utf8_of(PyObject* str, std::string& out);

// The same bytes without a copy where the interpreter allows: the view stays
// valid while both the str and `keep` live (`keep` holds the encoded bytes
// on interpreters that cannot lend the str's own UTF-8).
bool utf8_view(PyObject* str, std::string_view& out, PyRef& keep);

// The bytes of a bytes object. False with an exception set.
bool bytes_of(PyObject* bytes, std::string& out);

// A new str from UTF-8 text; invalid sequences become U+FFFD. New reference,
// or nullptr with an exception set.
PyObject* new_str(std::string_view text);

}  // namespace tesmo::py
