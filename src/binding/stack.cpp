// The bounds of each thread's C stack, found once per thread, and the
// RecursionError the driver raises when a level is refused (stack.hpp).
#include "binding/stack.hpp"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif
#if defined(__linux__) && !defined(__GLIBC__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace binding {

StackWindow current_stack;

namespace {

// The stack that must be left below a driver entry: room for everything
// that can run between one entry and the next (the driver and a body, about
// 340 bytes a level; with a Python coroutine between two of ours, the
// interpreter's frames too, about 840 bytes) and for raising and handling
// the RecursionError where the check refuses (traceback entries, a worker's
// failure logged with its traceback, a warning, the unraisable hook): the
// deepest such path measured took 6.5 KB below the refused check, 9 KB in
// the sanitizer build (unoptimized, red zones around its locals). Host code
// at the bottom of a chain may need more (a logging handler writing through
// a TLS socket, say), hence several times that.
constexpr std::uintptr_t kMargin = 64 * 1024;

// Where no stack bounds can be asked for, this much is assumed below the
// first address seen on a thread.
constexpr std::uintptr_t kAssumedStack = 256 * 1024;

struct Bounds {
  std::uintptr_t low = 0;  // lowest usable address
  std::uintptr_t top = 0;  // one past the highest
};

// The running thread's stack, as the system reports it; `here` is an
// address on it, for the fallbacks.
Bounds find_bounds(std::uintptr_t here) noexcept {
  Bounds b;
#if defined(_WIN32)
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  // The guard pages and the stack-overflow handler's reserve sit at the
  // bottom of the reservation.
  b.low = low + 64 * 1024;
  b.top = high;
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  b.top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
  b.low = b.top - pthread_get_stacksize_np(self);
#elif defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0, guard = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
      b.low = reinterpret_cast<std::uintptr_t>(addr);
      b.top = b.low + size;
      // Some C libraries count the guard page in; stay clear of it either way.
      if (pthread_attr_getguardsize(&attr, &guard) == 0) b.low += guard;
    }
    pthread_attr_destroy(&attr);
  }
#if !defined(__GLIBC__)
  // musl reports for the main thread only the part of its stack mapped so
  // far; the kernel grows it on demand down to the stack limit.
  rlimit rl;
  if (b.top > b.low && getpid() == static_cast<pid_t>(syscall(SYS_gettid)) &&
      getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur > b.top - b.low && rl.rlim_cur < b.top) {
    b.low = b.top - rl.rlim_cur;
  }
#endif
#endif
  if (b.top <= b.low || here < b.low || here >= b.top) {
    // Unknown, or not the stack we run on: assume a small one from here.
    b.top = here + 1;
    b.low = here > kAssumedStack ? here - kAssumedStack : 0;
  }
  return b;
}

}  // namespace

#ifdef ZORVIC_STACK_ADDRESS_FALLBACK
std::uintptr_t stack_address_fallback() noexcept {
  volatile char probe = 0;
  return reinterpret_cast<std::uintptr_t>(&probe);
}
#endif

bool stack_room_slow(PyThreadState* ts, std::uintptr_t here, std::size_t extra) noexcept {
  // This thread's bounds, found on its first use of the driver.
  thread_local Bounds bounds = find_bounds(here);
  const std::uintptr_t floor = bounds.low + kMargin;
  if (bounds.top > floor) {
    current_stack.owner = ts->id;
    current_stack.floor = floor;
    current_stack.span = bounds.top - floor;
  }
  if (here >= bounds.top || here < bounds.low) {
    // Not this thread's stack (a stack of its own, switched to by a fiber
    // library): nothing known, nothing refused.
    return true;
  }
  return here - bounds.low >= kMargin + extra;
}

void set_recursion_error(PyThreadState* ts) noexcept {
  // As the interpreter raises it: the error may use frames beyond the limit
  // while it is being made.
  ++ts->recursion_headroom;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  --ts->recursion_headroom;
}

}  // namespace binding
