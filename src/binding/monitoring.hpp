// Reporting the module's operations to sys.monitoring tools.
//
// Each operation reports through the interpreter's monitoring C API as a
// Python function would, with its own code object (the function's
// `__code__`): a plain operation PY_START, then PY_RETURN or PY_UNWIND; a
// coroutine or generator PY_START when it first runs, PY_RESUME when it
// continues, PY_THROW when throw() or close() enters it, PY_YIELD when it
// suspends, PY_RETURN or PY_UNWIND when it ends. cProfile and the other
// tools registered with sys.monitoring then list the operations.
//
// The legacy hooks (sys.setprofile, sys.settrace) are built on the same
// events, but they describe each event by the thread's current frame, which
// is the caller's: they would see a second "call" of it. So no event is
// fired while the thread has one of them set.
//
// With no tool registered, an entry costs one call that compares the
// interpreter's monitoring version with the one the operation last saw.
#pragma once

#include <Python.h>

#include <cstdint>

namespace binding::monitoring {

// The events an operation reports, in the order of its state array.
enum Event : unsigned char { start, resume, return_, yield, throw_, unwind, kEventCount };

// One operation's monitoring scope: which tools listen to each event, as of
// `version`. A tool that returns sys.monitoring.DISABLE clears its bit here,
// for this operation only, until the tools change again.
struct State {
  PyMonitoringState events[kEventCount] = {};
  std::uint64_t version = 0;
  bool any = false;  // some tool listened to some event at `version`
};

// What refresh() reads the state from.
extern const std::uint8_t kEventTypes[kEventCount];

// The part of entering that runs only when some tool listens: true unless
// the thread has a legacy hook set.
bool no_legacy_hook() noexcept;

// Enters the operation's scope at an entry (a call, a send, a throw, a
// close): true when its events are to be fired.
inline bool enter(State& s) noexcept {
  const std::uint64_t seen = s.version;
  (void)PyMonitoring_EnterScope(s.events, &s.version, kEventTypes, kEventCount);
  if (s.version != seen) {
    s.any = false;
    for (const PyMonitoringState& e : s.events) s.any |= e.active != 0;
  }
  return s.any && no_legacy_hook();
}

// The scope of one entry, from its first event to its last.
class Scope {
 public:
  explicit Scope(State& s) noexcept : firing_(enter(s)) {}
  ~Scope() { (void)PyMonitoring_ExitScope(); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  // True when this entry's events are fired.
  bool firing() const noexcept { return firing_; }

 private:
  const bool firing_;
};

// The events; each returns -1 when a tool's callback raised (its error is
// then pending). The exception events take the pending exception, which
// stays pending unless a callback raised another.
inline int fire_start(State& s, PyObject* code) noexcept {
  return PyMonitoring_FirePyStartEvent(&s.events[start], code, 0);
}
inline int fire_resume(State& s, PyObject* code) noexcept {
  return PyMonitoring_FirePyResumeEvent(&s.events[resume], code, 0);
}
inline int fire_return(State& s, PyObject* code, PyObject* value) noexcept {
  return PyMonitoring_FirePyReturnEvent(&s.events[return_], code, 0, value);
}
inline int fire_yield(State& s, PyObject* code, PyObject* value) noexcept {
  return PyMonitoring_FirePyYieldEvent(&s.events[yield], code, 0, value);
}
inline int fire_throw(State& s, PyObject* code) noexcept {
  return PyMonitoring_FirePyThrowEvent(&s.events[throw_], code, 0);
}
inline int fire_unwind(State& s, PyObject* code) noexcept {
  return PyMonitoring_FirePyUnwindEvent(&s.events[unwind], code, 0);
}

}  // namespace binding::monitoring
