// The coroutine, coroutine-wrapper and generator types, and their one driver.
#pragma once

#include "binding/body.hpp"

namespace binding {

// Readies the three types. Returns -1 with an error set on failure.
int init_coroutine_types() noexcept;

PyTypeObject* coroutine_type() noexcept;
PyTypeObject* coroutine_wrapper_type() noexcept;
PyTypeObject* generator_type() noexcept;

}  // namespace binding
