// The module's classes. Each is created once per process on first use and
// kept until the process ends; the functions return borrowed references, or
// nullptr with an exception set.
#pragma once

#include <Python.h>

#include "repo.h"

namespace tesmo::py {

PyObject* repo_type();

// A new tesmo.Repo wrapping `repo`, or nullptr with an exception set.
PyObject* new_repo(Repo repo);

}  // namespace tesmo::py
