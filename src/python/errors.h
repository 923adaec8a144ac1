// The Python boundary for failures: TesmoError, the one operation that turns
// a core Error into it, the rule for Python exceptions raised while a
// caller's value is converted, and the guard that keeps C++ exceptions from
// unwinding through the interpreter.
//
// Every binding function that can fail returns a Result (or Status); one
// that fails with a Python exception already set returns Error::pending(),
// never an empty message, and raise_error hands that exception on.
//
// An exception raised by the caller's code is reported as TesmoError only
// when it is an Exception. A BaseException that is not one
// (KeyboardInterrupt, SystemExit, GeneratorExit, or a class of the caller's
// own) asks the program to stop rather than reports a failure, so it passes
// through unchanged: it stays pending, the operation ends with
// Error::pending() at once, and nothing more is asked of the interpreter
// (references are only released) before raise_error hands it on.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "core/value/error.h"

namespace tesmo::py {

// The class tesmo.TesmoError, created on first use and kept for the whole
// process (borrowed reference), or nullptr with an exception set.
PyObject* tesmo_error_type();

// Sets TesmoError(error's outermost message) as the pending exception,
// except for an error whose exception is already set: one of kind
// kPending, and one of kind kInterrupted when an exception is pending (the
// KeyboardInterrupt of a signal handler that cut a wait short); those are
// left as they are. Always returns nullptr so callers can
// `return raise_error(e);`.
PyObject* raise_error(const Error& error);

// Whether the pending exception passes through (see above): one is pending
// and it is not an Exception.
bool exception_passes_through();

// Clears the pending exception unless it passes through. True when none is
// pending afterwards.
bool clear_unless_passing_through();

// Replaces the pending Python exception with TesmoError whose text is the
// exception type's __qualname__, ": ", then str() of the exception (or
// "<exception str() failed>"). The original is not chained. One that passes
// through is left as it is. Returns nullptr.
PyObject* raise_converted_python_error();

// The text raise_converted_python_error() would use for the pending
// exception, which is cleared. For conversions that carry their error as a
// core Error rather than raising at once. An exception that passes through
// stays pending and the result is Error::pending(); so too when looking up
// the type's __qualname__ or str() of the exception raises one, which then
// takes the place of the original.
Error fetch_python_error();

// The __name__ of an object's type, for argument and conversion messages.
// The lookup may run the caller's code (a metaclass's): an exception it
// raises gives "?", except one that passes through, which stays pending and
// is the error.
Result<std::string> type_name_of(PyObject* obj);

// Runs `fn`, turning a C++ exception into a Python one: bad_alloc becomes
// MemoryError, and so does length_error, a size beyond what a vector or
// string can hold; anything else becomes SystemError (an internal fault,
// never TesmoError). No C++ exception may unwind through CPython's frames.
//
// The one unwinding let through is the forced unwind with which the
// interpreter ends a thread (pthread_exit) that wants the interpreter lock
// back while the interpreter shuts down, as a daemon thread waiting for a
// repository lock does: it must run on, closing what the frames hold, or
// the process aborts.
template <class Fn>
auto guarded(Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "tesmo internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "tesmo internal error");
  }
  return decltype(fn())();
}

}  // namespace tesmo::py
