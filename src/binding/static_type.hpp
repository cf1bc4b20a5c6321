// Types of the binding layer as static types.
#pragma once

#include "binding/ref.hpp"

namespace binding {

// Readies `type`, zero-initialised storage that lives as long as the process,
// as a static type described by `spec` (name, size, flags and slots, read as
// PyType_FromSpec reads them; the special members "__dictoffset__",
// "__weaklistoffset__" and "__vectorcalloffset__" set the offsets and are not
// attributes). A static type's __module__ is the string before the last dot of
// its name, while a heap type's is whatever its dict holds under that key:
// for our functions, coroutines and generators that would be the descriptor of
// their instances' own writable __module__. Instances of a static type hold no
// reference to it: deallocators and traversals leave the type alone.
// Returns -1 with an error set on failure.
int ready_static_type(PyTypeObject& type, PyAsyncMethods& async, const PyType_Spec& spec) noexcept;

}  // namespace binding
