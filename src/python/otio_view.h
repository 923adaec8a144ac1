// Reading an OpenTimelineIO document straight from the caller's objects,
// without converting it first.
#pragma once

#include <Python.h>

#include "core/value/error.h"
#include "core/timeline/cut.h"
#include "core/timeline/otio.h"

namespace tesmo::py {

// The model read_otio_timeline gives for the conversion of `document`, with
// the same messages, read from the objects themselves. Only for documents
// plain_converts accepts: the reading then runs none of the caller's code.
// The failure of an allocation is Error::pending(), its exception set.
Result<TimelineModel> read_plain_timeline(PyObject* document);

// The comparison model read_cut gives, read the same way.
Result<Cut> read_plain_cut(PyObject* document);

}  // namespace tesmo::py
