// One-time creation of process-wide Python objects (the classes and the
// exception class). Creation may run Python code that lets another thread
// in (a garbage collection running a finaliser, say), so a second thread can
// arrive while the first is still creating. It then waits with the
// interpreter lock released, so the creating thread can finish; it never
// blocks on a C++ lock while holding the interpreter lock.
#pragma once

#include <Python.h>
#include <pythread.h>
#include <sched.h>

namespace tesmo::py {

class OnceSlot {
 public:
  // The stored object (borrowed, kept for the process), creating it with
  // `create` (which returns a new reference or nullptr with an exception set)
  // on first use. Must be called with the interpreter lock held.
  template <class Create>
  PyObject* get(Create&& create) {
    for (;;) {
      if (value_ != nullptr) return value_;
      if (!creating_) break;
      if (owner_ == PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError, "tesmo: recursive class creation");
        return nullptr;
      }
      Py_BEGIN_ALLOW_THREADS
      sched_yield();
      Py_END_ALLOW_THREADS
    }
    creating_ = true;
    owner_ = PyThread_get_thread_ident();
    PyObject* made = create();
    creating_ = false;
    value_ = made;  // nullptr on failure: the next call tries again
    return made;
  }

  PyObject* peek() const { return value_; }

 private:
  PyObject* value_ = nullptr;
  bool creating_ = false;
  unsigned long owner_ = 0;
};

}  // namespace tesmo::py
