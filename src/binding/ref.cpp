// Interned module strings.
//
// Every binding::Name links itself into one process-wide list when its static
// storage is initialised; no Python object exists yet at that point. The
// module's exec step calls intern_all() once the interpreter is ready, which
// creates the strings and computes their hashes up front so that dictionary
// lookups with them never fail on hashing later.
#include "binding/ref.hpp"

namespace binding {
namespace {

// Constant-initialised (zero), so it is valid before any dynamic initialiser
// of any translation unit runs.
Name* g_first_name = nullptr;

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(g_first_name) { g_first_name = this; }

void attribute_error_context(PyObject* o, PyObject* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  auto* error = reinterpret_cast<PyAttributeErrorObject*>(exc);
  if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError) && !error->name && !error->obj) {
    if (PyObject_SetAttrString(exc, "name", name) < 0 ||
        PyObject_SetAttrString(exc, "obj", o) < 0) {
      Py_DECREF(exc);  // the failure to add them is what propagates, as in the interpreter
      return;
    }
  }
  PyErr_SetRaisedException(exc);
}

int intern_all() noexcept {
  for (Name* n = g_first_name; n; n = n->next_) {
    // A second exec after a failed one finds the strings already made.
    if (!n->obj_) {
      n->obj_ = PyUnicode_InternFromString(n->text_);
      if (!n->obj_) return -1;
    }
    if (PyObject_Hash(n->obj_) == -1) return -1;
  }
  return 0;
}

}  // namespace binding
