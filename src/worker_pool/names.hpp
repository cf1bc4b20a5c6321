// Process-wide state: the constants and host objects that the module's
// operations use, created once when the module executes and kept for the life
// of the process. Interned strings are binding::Name objects declared where
// they are used; intern_all() creates them all with the other constants.
#pragma once

#include "binding/ref.hpp"

namespace worker_pool {

struct State {
  // The builtins fetched once at load instead of being looked up at each use.
  binding::Ref property, round, sum;

  // Slices applied through the mapping subscript: [:12], [:200], [:500], [:6], [-100:].
  binding::Ref slice_to_12, slice_to_200, slice_to_500, slice_to_6, slice_last_100;

  // Numeric constants.
  binding::Ref float_0, float_100, float_600;
  binding::Ref int_0, int_1, int_2, int_3, int_6, int_12, int_20, int_50, int_minus_100, int_200,
      int_500;

  // Shared strings that are values, not names.
  binding::Ref empty_str, empty_tuple, empty_bytes;
};

// The one State of the process (its fields are null until the module executes).
State& state() noexcept;

// Creates the constants (exec step 5). -1 with an error set on failure.
int create_constants() noexcept;
// Fetches property, round and sum (exec step 8) and creates the slices (step 9).
int fetch_builtins(PyObject* builtins) noexcept;
int create_slices() noexcept;

}  // namespace worker_pool
