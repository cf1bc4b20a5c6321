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

// `obj[slice]` through the type's mapping subscript; TypeError
// "'<type>' object is unsliceable" when the type has none.
binding::Ref get_slice(PyObject* obj, PyObject* slice) noexcept;

}  // namespace worker_pool
