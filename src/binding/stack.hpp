// How deep the driver may go on the running thread: one level of the
// interpreter's recursion limit per entry, and a guard on the thread's real
// C stack.
//
// A chain of coroutines that drive, close or throw into one another recurses
// in C, one driver entry per link, where the same chain of Python coroutines
// would use Python frames. Each entry counts as one Python frame against
// sys.getrecursionlimit() (the thread state's own budget, shared with the
// interpreter's frames), and is refused while less than a safety margin of C
// stack is left below it, so host code gets RecursionError at any recursion
// limit and on any stack size instead of a crash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/compiler.hpp"
#include "binding/ref.hpp"

namespace binding {

// The running thread's stack window: addresses in [floor, floor + span) have
// at least the safety margin below them. Found once per thread (stack.cpp)
// and kept here for the thread that used it last, keyed by its thread
// state's unique id: threads take turns under the interpreter lock, so a
// switch costs one lookup of the other thread's own cached bounds.
struct StackWindow {
  std::uint64_t owner = 0;  // PyThreadState.id of the thread, 0 for none
  std::uintptr_t floor = 0;
  std::uintptr_t span = 0;
};
extern StackWindow current_stack;

#ifdef ZORVIC_STACK_ADDRESS_FALLBACK
ZORVIC_NOINLINE std::uintptr_t stack_address_fallback() noexcept;
#endif

// Whether `here` (an address on the running thread's stack) has the margin
// below it; finds the thread's bounds on first use or after a thread switch.
bool stack_room_slow(PyThreadState* ts, std::uintptr_t here, std::size_t extra) noexcept;

// Whether `extra` bytes more than the safety margin are left below `here`.
inline bool stack_has_room(PyThreadState* ts, std::uintptr_t here, std::size_t extra = 0) noexcept {
  if (ts->id == current_stack.owner && here - extra - current_stack.floor < current_stack.span) {
    return true;
  }
  return stack_room_slow(ts, here, extra);
}

// Whether at least half of the stack beyond the margin is left below `here`.
inline bool stack_half_free(PyThreadState* ts, std::uintptr_t here) noexcept {
  return stack_has_room(ts, here) && here - current_stack.floor >= current_stack.span / 2;
}

// Raises the interpreter's own RecursionError.
void set_recursion_error(PyThreadState* ts) noexcept;

// One level of recursion for its lifetime: one Python frame of the thread's
// recursion budget (exactly as the interpreter counts a frame: the level is
// taken even when refused, and given back by the destructor) and a check of
// the C stack. Refused with RecursionError "maximum recursion depth exceeded"
// when the budget is spent or the stack is short.
class RecursionLevel {
 public:
  RecursionLevel() noexcept : ts_(PyThreadState_GetUnchecked()) {
    ok_ = ts_->py_recursion_remaining-- > 0 ? stack_has_room(ts_, ZORVIC_STACK_ADDRESS())
                                            : over_budget();
    if (!ok_) set_recursion_error(ts_);
  }
  ~RecursionLevel() { ++ts_->py_recursion_remaining; }
  RecursionLevel(const RecursionLevel&) = delete;
  RecursionLevel& operator=(const RecursionLevel&) = delete;
  // False when refused (RecursionError is pending).
  explicit operator bool() const noexcept { return ok_; }

 private:
  // The budget is spent: refused, except while the interpreter itself is
  // raising a RecursionError, which may use up to 50 frames more.
  bool over_budget() const noexcept {
    return ts_->recursion_headroom > 0 && ts_->py_recursion_remaining >= -50 &&
           stack_has_room(ts_, ZORVIC_STACK_ADDRESS());
  }

  PyThreadState* const ts_;
  bool ok_;
};

}  // namespace binding
