// The pause between two tries for the repository lock, for both extension
// modules (each holds its own copy of the core, so each installs it).
#pragma once

#include <Python.h>
#include <time.h>

namespace tesmo::py {

// Sleeps with the interpreter lock released (no Python object is touched
// while it is released), so other threads may run while this one waits; a
// pending signal (Ctrl-C) stops the wait with its exception set, and the
// operation then ends without changing anything.
inline bool pause_for_lock(int milliseconds) {
  const struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  Py_BEGIN_ALLOW_THREADS
  ::nanosleep(&pause, nullptr);
  Py_END_ALLOW_THREADS
  return PyErr_CheckSignals() == 0;
}

}  // namespace tesmo::py
