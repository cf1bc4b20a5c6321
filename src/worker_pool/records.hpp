// The worker records: WorkerState, WorkerTask, WorkerStatus and the
// WorkerExecutor alias, built through the host's enum and dataclasses
// machinery while the module executes.
#pragma once

#include "binding/ref.hpp"

namespace worker_pool {

// Each builder creates one record and binds it as a module global in
// `globals`. On failure it returns -1 with the error pending and leaves in
// `line` the source line of the step that failed; the caller adds the entry.
int build_worker_state(PyObject* globals, int& line) noexcept;      // lines 33 to 39
int build_worker_task(PyObject* globals, int& line) noexcept;       // lines 42 to 56
int build_worker_status(PyObject* globals, int& line) noexcept;     // lines 71 to 87
int build_worker_executor(PyObject* globals, int& line) noexcept;   // line 108

// True when `cls` is the WorkerStatus class the module made and nothing it
// relies on has changed since: no attribute of the class or its bases set or
// deleted (its version tag), the metaclass still `type`, and the `__init__`
// that dataclass generated still running its own code. Then
// `cls(task_id, state, name)` binds exactly as the keyword call does.
bool status_takes_positional(PyObject* cls) noexcept;

// `obj[slice]` through the type's mapping subscript; TypeError
// "'<type>' object is unsliceable" when the type has none.
binding::Ref get_slice(PyObject* obj, PyObject* slice) noexcept;

}  // namespace worker_pool
