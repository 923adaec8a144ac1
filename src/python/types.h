// The module's classes. Each is created once per process on first use and
// kept until the process ends; the functions return borrowed references, or
// nullptr with an exception set.
#pragma once

#include <Python.h>

#include <vector>

#include "core/timeline/diff.h"
#include "core/store/repo.h"

namespace tesmo::py {

PyObject* repo_type();

// A new tesmo.Repo wrapping `repo`, or nullptr with an exception set.
PyObject* new_repo(Repo repo);

PyObject* change_type();

// A new list holding one new tesmo.Change per record, in order, or nullptr
// with an exception set.
PyObject* change_list(std::vector<ChangeRecord> records);

// The module function diff, with "tesmo" as its __module__ (new reference).
PyObject* new_diff_function();

}  // namespace tesmo::py
