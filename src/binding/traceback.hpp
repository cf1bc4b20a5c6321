// Synthetic traceback entries: one frame with a file name, a function name and
// a source line, added to the pending exception's traceback. Built from public
// calls only (PyCode_NewEmpty, PyFrame_New, PyTraceBack_Here); the code
// objects are cached per (function name, line).
#pragma once

#include "binding/ref.hpp"

namespace binding {

// The file name every entry carries.
inline constexpr const char* kSourceFile = "zorvic/core/worker_pool.py";

// Adds one entry to the traceback of the pending exception. Does nothing when
// no exception is pending. `function` must live for the life of the process.
// The pending exception is unchanged, whatever happens while adding.
void add_traceback(const char* function, int line) noexcept;

// The same for a caught exception object that is not pending.
void add_traceback_to(PyObject* exc, const char* function, int line) noexcept;

}  // namespace binding
