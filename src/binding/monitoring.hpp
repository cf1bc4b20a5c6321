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
// With no tool registered, an entry costs one comparison. The thread
// state's `eval_breaker` word holds the interpreter's monitoring version (in
// its high bits, flags in the low ones), so while its version bits read as
// they did at the operation's last check nothing can have changed; the interpreter's own
// scope check, PyMonitoring_EnterScope, runs only when it reads otherwise.
#pragma once

#include <Python.h>

#include <atomic>
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
  std::uintptr_t breaker = ~std::uintptr_t(0);  // the version bits at the last check
  bool any = false;  // some tool listened to some event at `version`
};

// The scope check proper, for when the thread's eval_breaker has changed
// since the last one: enters the interpreter's scope, which refreshes
// `events` when the version moved, and leaves it (the state it fills stays
// with the operation, and each entry's events are fired through it).
void refresh(State& s, std::uintptr_t breaker) noexcept;

// The low bits of the thread state's eval_breaker are flags (a signal, a
// scheduled collection, an asynchronous exception); the interpreter's
// monitoring version counts in the bits above them (3.13's layout).
inline constexpr std::uintptr_t kVersionBits = ~((std::uintptr_t(1) << 8) - 1);

// At an entry (a call, a send, a throw, a close) on the thread `ts`: true
// when its events are to be fired. A legacy hook is set on a thread only
// while some tool bit is (they are tools of the same machinery), so the
// hooks are looked at only then.
inline bool enter(State& s, PyThreadState* ts) noexcept {
  // Other threads set its flag bits; a relaxed load, as the interpreter's.
  const std::uintptr_t breaker =
      std::atomic_ref<std::uintptr_t>(ts->eval_breaker).load(std::memory_order_relaxed) &
      kVersionBits;
  if (breaker != s.breaker) refresh(s, breaker);
  return s.any && !ts->c_profilefunc && !ts->c_tracefunc;
}
inline bool enter(State& s) noexcept { return enter(s, PyThreadState_GetUnchecked()); }

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
