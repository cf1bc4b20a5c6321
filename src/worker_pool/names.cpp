// Process-wide state: the constants and builtins that the module's operations
// use, created once while the module executes and kept for the life of the
// process.
#include "worker_pool/names.hpp"

#include <new>

namespace worker_pool {
namespace {

using binding::Ref;

const binding::Name kProperty{"property"};
const binding::Name kRound{"round"};
const binding::Name kSum{"sum"};

// Creates `target` once; a later exec (after a failed one) keeps the object.
template <class Make>
int once(Ref& target, Make make) noexcept {
  if (target) return 0;
  target = make();
  return target ? 0 : -1;
}

Ref make_slice(long start, bool has_start, long stop, bool has_stop) noexcept {
  Ref lower = has_start ? Ref::steal(PyLong_FromLong(start)) : Ref::none();
  if (!lower) return {};
  Ref upper = has_stop ? Ref::steal(PyLong_FromLong(stop)) : Ref::none();
  if (!upper) return {};
  return Ref::steal(PySlice_New(lower.get(), upper.get(), nullptr));
}

Ref up_to(long stop) noexcept { return make_slice(0, false, stop, true); }

}  // namespace

// The state is never destroyed: its references must not be dropped by a C++
// static destructor after the interpreter has finalised.
State& state() noexcept {
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* const the_state = new (storage) State();
  return *the_state;
}

int create_constants() noexcept {
  State& s = state();
  auto integer = [](long v) { return [v] { return Ref::steal(PyLong_FromLong(v)); }; };
  auto real = [](double v) { return [v] { return Ref::steal(PyFloat_FromDouble(v)); }; };
  if (once(s.empty_tuple, [] { return Ref::steal(PyTuple_New(0)); }) < 0 ||
      once(s.empty_bytes, [] { return Ref::steal(PyBytes_FromStringAndSize("", 0)); }) < 0 ||
      once(s.empty_str, [] { return Ref::steal(PyUnicode_FromStringAndSize("", 0)); }) < 0 ||
      once(s.float_0, real(0.0)) < 0 || once(s.float_100, real(100.0)) < 0 ||
      once(s.float_600, real(600.0)) < 0 || once(s.int_0, integer(0)) < 0 ||
      once(s.int_1, integer(1)) < 0 || once(s.int_2, integer(2)) < 0 ||
      once(s.int_3, integer(3)) < 0 || once(s.int_6, integer(6)) < 0 ||
      once(s.int_12, integer(12)) < 0 || once(s.int_20, integer(20)) < 0 ||
      once(s.int_50, integer(50)) < 0 || once(s.int_minus_100, integer(-100)) < 0 ||
      once(s.int_200, integer(200)) < 0 || once(s.int_500, integer(500)) < 0) {
    return -1;
  }
  return 0;
}

int fetch_builtins(PyObject* builtins) noexcept {
  State& s = state();
  struct Wanted {
    const binding::Name& name;
    Ref& slot;
  };
  const Wanted wanted[] = {{kProperty, s.property}, {kRound, s.round}, {kSum, s.sum}};
  for (const Wanted& w : wanted) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(builtins, w.name, &found) < 0) return -1;
    if (!found) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", w.name.get());
      return -1;
    }
    w.slot = Ref::steal(found);
  }
  return 0;
}

int create_slices() noexcept {
  State& s = state();
  if (once(s.slice_to_12, [] { return up_to(12); }) < 0 ||
      once(s.slice_to_200, [] { return up_to(200); }) < 0 ||
      once(s.slice_to_500, [] { return up_to(500); }) < 0 ||
      once(s.slice_to_6, [] { return up_to(6); }) < 0 ||
      once(s.slice_last_100, [] { return make_slice(-100, true, 0, false); }) < 0) {
    return -1;
  }
  return 0;
}

}  // namespace worker_pool
