// Types of the binding layer as static types.
#pragma once

#include "binding/ref.hpp"

namespace binding {

// Readies `type`, a static type defined as the interpreter's own are (a
// PyTypeObject with its slots filled in, living as long as the process). A
// static type's __module__ is the string before the last dot of its name,
// while a heap type's is whatever its dict holds under that key: for our
// functions, coroutines and generators that would be the descriptor of their
// instances' own writable __module__. Instances of a static type hold no
// reference to it: deallocators and traversals leave the type alone.
// Returns -1 with an error set on failure; a later call tries again.
int ready_static_type(PyTypeObject& type) noexcept;

}  // namespace binding
