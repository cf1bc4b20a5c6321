// Synthetic traceback entries.
//
// An entry is a real frame object over an empty code object whose single
// instruction maps to the wanted line, so the host's traceback printing,
// `traceback.extract_tb` and debuggers read file, function and line from it
// like from any other frame. Only public calls are used.
#include "binding/traceback.hpp"

#include <frameobject.h>  // PyFrame_New

#include <cstdint>
#include <new>

#include "binding/function.hpp"

namespace binding {
namespace {

// ---------------------------------------------------------------- code cache

// Code objects are cached per (function name pointer, line): the names are
// process-lifetime strings, and the set of pairs is small and fixed by the
// module's source. Nodes come from the interpreter's allocator and are never
// freed; the cache lives as long as the process.
struct CodeEntry {
  const char* function;
  int line;
  PyObject* code;  // strong reference
  CodeEntry* next;
};

constexpr std::size_t kBuckets = 128;
CodeEntry* g_buckets[kBuckets] = {};

std::size_t bucket_of(const char* function, int line) noexcept {
  auto h = reinterpret_cast<std::uintptr_t>(function);
  h ^= h >> 7;
  h += static_cast<std::uintptr_t>(line) * 2654435761u;
  return static_cast<std::size_t>(h % kBuckets);
}

// A new reference to the code object for the entry, or null with an error set.
Ref code_for(const char* function, int line) noexcept {
  std::size_t b = bucket_of(function, line);
  for (CodeEntry* e = g_buckets[b]; e; e = e->next) {
    if (e->function == function && e->line == line) return Ref::borrow(e->code);
  }
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, function, line)));
  if (!code) return code;
  // Caching is an optimisation: when the node cannot be allocated, the entry
  // is still added with an uncached code object.
  if (void* memory = PyMem_Malloc(sizeof(CodeEntry))) {
    g_buckets[b] = new (memory) CodeEntry{function, line, code.new_ref(), g_buckets[b]};
  }
  return code;
}

// The globals of the synthetic frames: the module namespace, or an empty dict
// when an entry is wanted before the namespace exists.
PyObject* frame_globals() noexcept {
  if (PyObject* g = module_globals()) return g;
  static PyObject* fallback = nullptr;
  if (!fallback) fallback = PyDict_New();
  return fallback;
}

// Adds the entry to the traceback of `exc` (owned, not pending). No error is
// pending on entry. On success `exc` carries the new entry; on failure the
// failure is discarded and `exc` is left as it was.
void add_entry(PyObject* exc, const char* function, int line) noexcept {
  Ref code = code_for(function, line);
  PyObject* globals = code ? frame_globals() : nullptr;
  Ref frame;
  if (globals) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  if (!frame) {
    PyErr_Clear();
    return;
  }
  // PyTraceBack_Here works on the pending exception: make `exc` pending for
  // the call, then take it back. It is held by our own reference throughout.
  PyErr_SetRaisedException(Py_NewRef(exc));
  int rc = PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  (void)rc;  // on failure `pending` is the new error (chained to exc): dropped
}

}  // namespace

void add_traceback(const char* function, int line) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  add_entry(exc, function, line);
  PyErr_SetRaisedException(exc);
}

void add_traceback_to(PyObject* exc, const char* function, int line) noexcept {
  if (!exc || !PyExceptionInstance_Check(exc)) return;
  // Whatever is pending now (normally nothing) is kept aside and restored.
  PyObject* saved = PyErr_GetRaisedException();
  add_entry(exc, function, line);
  PyErr_SetRaisedException(saved);
}

}  // namespace binding
